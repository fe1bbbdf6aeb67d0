// A stream-style wrapper over the MySQL client library: statements are composed with <<,
// the next item can be marked for escaping, and execute() sends what was composed.
#pragma once

#include <mysql.h>

#include <sys/types.h>

#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "panel/db_connect.h"

namespace kelvor::mysql {

// A failed database operation; what() is the message.
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

  // Appends an item to the statement, escaped as the pending mode says; the mode then
  // returns to PLAIN. Numbers are formatted with "%d" or "%f" first.
  Connection& operator<<(const char* text);
  Connection& operator<<(const std::string& text);
  Connection& operator<<(int number);
  Connection& operator<<(double number);
  // Applies a manipulator (escaped, escaped_name).
  Connection& operator<<(Connection& (*manipulator)(Connection&));

  // Sets how the next inserted item is treated.
  void set_mode(Mode mode) { mode_ = mode; }

  // `text` escaped for a quoted string literal, in the connection's character set.
  std::string escape_value(const std::string& text);
  // `text` with every backquote doubled, for use inside a backquoted identifier.
  static std::string escape_name(const std::string& text);

  // Sends the composed statement and empties it; rows it returns are discarded. A
  // connection found gone is opened again with the first connection's settings and the
  // statement sent once more.
  void execute();
  // Sends the composed statement as execute() does, then returns its complete result set.
  Result query();
  // Reads the next row into `row`; false (row untouched) when there is none.
  bool fetch_row(Result& result, Row& row);

  // Self-test of the escaping; writes one line per check to stderr.
  static void test();

private:
  void send_composed();
  bool send(const std::string& text);
  bool reconnect();
  void close_handle();

  MYSQL* handle_ = nullptr;
  std::ostringstream statement_;
  int mode_ = PLAIN;
  std::optional<DbSettings> settings_;  // of the first connection, for reconnecting
  pid_t owner_ = 0;                     // the process whose socket handle_ is
};

// Marks the next inserted item as a value to escape.
Connection& escaped(Connection& connection);
// Marks the next inserted item as a name to escape.
Connection& escaped_name(Connection& connection);

}  // namespace kelvor::mysql
