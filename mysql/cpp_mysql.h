// A stream-style wrapper over the MySQL client library: statements are composed with <<,
// the next item can be marked for escaping, and execute() sends what was composed.
#pragma once

#include <mysql.h>

#include <sys/types.h>

#include <concepts>
#include <exception>
#include <map>
#include <memory>
#include <sstream>
#include <string>

struct DbSettings;

namespace kelvor::mysql {

// A failed database operation; what() is the message. Unless it is an mReplyLost, the
// outcome is known: the statement never reached the server, or the server answered with
// this error (for a CALL, after running the statements before the failing one).
class mError : public std::exception {
public:
  // The message is `text`.
  explicit mError(std::string text);
  // "Mysql error <n>: <server text>\n<context>", or "Unknown error\n<context>" when the
  // handle holds no error.
  mError(MYSQL* handle, const char* context);
  const char* what() const noexcept override;

private:
  std::string message_;
};

// The statement went out but its answer was lost (connection cut, server gone, timeout):
// the server may or may not have applied it. It is never sent again.
class mReplyLost : public mError {
public:
  using mError::mError;
};

// One column of a fetched row; `text` is empty when the column is SQL NULL.
struct Value {
  std::string text;
  bool is_null = false;
};

// A fetched row: column name to value.
using Row = std::map<std::string, Value>;

// A complete result set with its field descriptions; release it before its connection.
class Result {
public:
  explicit Result(MYSQL_RES* result);
  MYSQL_RES* get() const { return result_.get(); }
  MYSQL_FIELD* fields() const { return fields_; }

private:
  struct Free {
    void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
  };
  std::unique_ptr<MYSQL_RES, Free> result_;
  MYSQL_FIELD* fields_;
};

// One connection to the panel database, owned by the process that opened it.
//
// The settings of the first connection (password included) are kept in memory: every later
// connection is opened with them, reading no file, so it still works after the process
// has switched to an unprivileged user. A later connection (after disconnect(), after a
// statement raised, or opened by execute() because the server had closed the previous
// one) is a new session: session variables such as @curdate and open transactions do
// not survive it. Only the panel's set-up and add_session_statement() are replayed.
class Connection {
public:
  enum Mode { ESCAPE_VALUE = 0, ESCAPE_NAME = 1, PLAIN = 2 };

  // Connects at once when `connect_now` (throws mError "connection failed").
  explicit Connection(bool connect_now);
  // Closes the connection; in a forked child only the child's own memory is released.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The open handle, connecting first when there is none; throws mError on failure.
  MYSQL* handle();
  // Closes the connection now, keeping the settings; the next statement opens a new one.
  void disconnect();
  // Executes `statement` now and again at the start of every later connection, e.g.
  // "SET @curdate=CURDATE()" (evaluated when the connection opens); the statement being
  // composed is left as it is. Throws as execute().
  void add_session_statement(const std::string& statement);

  // Appends an item to the statement, escaped as the pending mode says; the mode then
  // returns to PLAIN. If escaping fails, the whole statement composed so far is dropped.
  Connection& operator<<(const char* text);
  Connection& operator<<(const std::string& text);
  // A character is appended as itself.
  Connection& operator<<(char character);
  // Every integer type is appended as its exact decimal value.
  template <std::integral Number>
  Connection& operator<<(Number number) {
    return *this << std::to_string(number);
  }
  // Formatted with "%f".
  Connection& operator<<(double number);
  // Applies a manipulator (escaped, escaped_name).
  Connection& operator<<(Connection& (*manipulator)(Connection&));

  // Sets how the next inserted item is treated.
  void set_mode(Mode mode) { mode_ = mode; }

  // `text` escaped for a quoted string literal, in the connection's character set.
  std::string escape_value(const std::string& text);
  // `text` with every backquote doubled, for use inside a backquoted identifier.
  static std::string escape_name(const std::string& text);

  // Sends the composed statement once and empties it; every result it returns is read and
  // discarded. A connection that the server has closed is opened again before sending.
  // Throws mError when the statement was refused or could not be sent, mReplyLost when it
  // went out and its answer was lost; after a connection error the next statement
  // connects anew.
  void execute();
  // Sends the composed statement as execute() does, then returns its first result set.
  Result query();
  // Reads the next row into `row`; false (row untouched) when there is none.
  bool fetch_row(Result& result, Row& row);

  // Self-test of the escaping; writes one line per check to stderr.
  static void test();

private:
  void append(const std::string& text);
  std::string take_statement();
  void send(const std::string& text);
  void run(const std::string& text);
  void discard_result();
  void skip_remaining_results();
  [[noreturn]] void fail(const char* context);
  MYSQL* live_handle();
  void close_handle();

  MYSQL* handle_ = nullptr;
  std::ostringstream statement_;
  int mode_ = PLAIN;
  std::unique_ptr<DbSettings> settings_;  // of the first connection, for every later one
  pid_t owner_ = 0;                       // the process whose socket handle_ is
};

// Marks the next inserted item as a value to escape.
Connection& escaped(Connection& connection);
// Marks the next inserted item as a name to escape.
Connection& escaped_name(Connection& connection);

}  // namespace kelvor::mysql
