#include "mysql/cpp_mysql.h"
#include "panel/db_connect.h"

#include <errmsg.h>
#include <fcntl.h>
#include <mysqld_error.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kelvor::mysql {

namespace {

// The statement went out and the answer did not come back whole: whether the server
// applied it is unknown.
bool reply_lost(MYSQL* handle) {
  switch (mysql_errno(handle)) {
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case ER_CONNECTION_KILLED:
    case ER_SERVER_SHUTDOWN:
      return true;
    default:
      return false;
  }
}

// The statement did not reach the server because the connection is gone.
bool not_sent_connection_gone(MYSQL* handle) {
  // MySQL's idle timeout, announced before the server hangs up; MariaDB uses the number
  // for a statement error.
  constexpr unsigned int kClientInteractionTimeout = 4031;
  const unsigned int number = mysql_errno(handle);
  return number == CR_SERVER_GONE_ERROR ||
         (number == kClientInteractionTimeout && !mariadb_connection(handle));
}

// A connection is worth sending on when nothing waits to be read on its socket: between
// statements the server sends nothing, unless it closed the connection (end of file) or
// said why it did so (an error packet).
bool seems_alive(MYSQL* handle) {
  const int socket = static_cast<int>(mysql_get_socket(handle));
  if (socket < 0) return false;
  pollfd entry{socket, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready == 0;
}

std::string format_error(MYSQL* handle, const char* context) {
  if (handle != nullptr && mysql_errno(handle) != 0) {
    return strdup_printf("Mysql error %u: %s\n%s", mysql_errno(handle), mysql_error(handle),
                         context)
        .get();
  }
  return strdup_printf("Unknown error\n%s", context).get();
}

// Frees a handle inherited through fork without touching the socket shared with the
// parent: the child's copy of the descriptor is first turned into /dev/null, so the
// library's goodbye and shutdown go nowhere.
void release_inherited(MYSQL* handle) {
  const int socket = static_cast<int>(mysql_get_socket(handle));
  if (socket >= 0) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;  // leak rather than risk the parent's connection
    const bool replaced = dup2(null, socket) == socket;
    close(null);
    if (!replaced) return;
  }
  mysql_close(handle);
}

// The source unit's name without directory and extension, as the self-test prints it.
std::string unit_name(const char* file) {
  std::string name = file;
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

void show_check(const char* function, int line, const char* expression,
                const std::string& result) {
  std::fprintf(stderr, "%s(%s:%d)%s=%s\n", function, unit_name(__FILE__).c_str(), line,
               expression, result.c_str());
  std::fflush(stderr);
}

#define SHOW_CHECK(expression) show_check(__PRETTY_FUNCTION__, __LINE__, #expression, (expression))

}  // namespace

mError::mError(std::string text) : message_(std::move(text)) {}

mError::mError(MYSQL* handle, const char* context) : message_(format_error(handle, context)) {}

const char* mError::what() const noexcept { return message_.c_str(); }

Result::Result(MYSQL_RES* result) : result_(result), fields_(mysql_fetch_fields(result)) {}

Connection::Connection(bool connect_now) {
  if (connect_now) handle();
}

Connection::~Connection() { close_handle(); }

void Connection::close_handle() {
  if (handle_ == nullptr) return;
  if (owner_ == getpid()) {
    mysql_close(handle_);
  } else {
    release_inherited(handle_);
  }
  handle_ = nullptr;
}

void Connection::disconnect() { close_handle(); }

void Connection::add_session_statement(const std::string& statement) {
  run(statement);
  settings_->session_statements.push_back(statement);
}

MYSQL* Connection::handle() {
  if (handle_ != nullptr) return handle_;
  if (settings_) {
    handle_ = reconnect_panel_db(*settings_);
  } else {
    auto used = std::make_unique<DbSettings>();
    handle_ = connect_panel_db(*used);
    if (handle_ != nullptr) settings_ = std::move(used);
  }
  if (handle_ == nullptr) throw mError("connection failed");
  owner_ = getpid();
  return handle_;
}

MYSQL* Connection::live_handle() {
  if (handle_ != nullptr && !seems_alive(handle_)) close_handle();
  return handle();
}

void Connection::append(const std::string& text) {
  switch (mode_) {
    case ESCAPE_VALUE:
      statement_ << escape_value(text);
      break;
    case ESCAPE_NAME:
      statement_ << escape_name(text);
      break;
    default:
      statement_ << text;
      break;
  }
  mode_ = PLAIN;
}

Connection& Connection::operator<<(const std::string& text) {
  try {
    append(text);
  } catch (...) {
    // Half a statement must not become the beginning of the next one.
    take_statement();
    throw;
  }
  return *this;
}

Connection& Connection::operator<<(const char* text) { return *this << std::string(text); }

Connection& Connection::operator<<(char character) { return *this << std::string(1, character); }

Connection& Connection::operator<<(double number) {
  return *this << std::string(strdup_printf("%f", number).get());
}

Connection& Connection::operator<<(Connection& (*manipulator)(Connection&)) {
  return manipulator(*this);
}

std::string Connection::escape_value(const std::string& text) {
  std::vector<char> buffer(2 * text.size() + 1);
  const unsigned long length =
      mysql_real_escape_string(handle(), buffer.data(), text.data(), text.size());
  if (length == static_cast<unsigned long>(-1)) throw mError(handle_, " escaping value");
  return std::string(buffer.data(), length);
}

std::string Connection::escape_name(const std::string& text) {
  std::string name = text;
  for (size_t at = name.find('`'); at != std::string::npos; at = name.find('`', at + 2)) {
    name.insert(at, 1, '`');
  }
  return name;
}

std::string Connection::take_statement() {
  std::string text = statement_.str();
  statement_.str("");
  mode_ = PLAIN;
  return text;
}

void Connection::fail(const char* context) {
  if (reply_lost(handle_)) {
    mReplyLost lost(handle_, context);
    close_handle();
    throw lost;
  }
  mError error(handle_, context);
  if (not_sent_connection_gone(handle_)) close_handle();
  throw error;
}

void Connection::send(const std::string& text) {
  MYSQL* handle = live_handle();
  if (mysql_real_query(handle, text.data(), text.size()) != 0) fail(" executing query");
}

// Rows nobody reads would leave the connection "out of sync" for every later statement.
void Connection::discard_result() {
  if (mysql_field_count(handle_) == 0) return;
  MYSQL_RES* rows = mysql_store_result(handle_);
  if (rows == nullptr) fail(" executing query");
  mysql_free_result(rows);
}

// A CALL answers with several results, each to be read before the next statement.
void Connection::skip_remaining_results() {
  for (;;) {
    const int next = mysql_next_result(handle_);
    if (next < 0) return;
    if (next > 0) fail(" executing query");
    discard_result();
  }
}

void Connection::execute() { run(take_statement()); }

void Connection::run(const std::string& text) {
  send(text);
  discard_result();
  skip_remaining_results();
}

Result Connection::query() {
  send(take_statement());
  MYSQL_RES* stored = mysql_store_result(handle_);
  if (stored == nullptr) fail(" fetching result");
  Result result(stored);
  skip_remaining_results();
  return result;
}

bool Connection::fetch_row(Result& result, Row& row) {
  MYSQL_ROW columns = mysql_fetch_row(result.get());
  if (columns == nullptr) return false;
  const unsigned long* lengths = mysql_fetch_lengths(result.get());
  row.clear();
  const unsigned int count = mysql_num_fields(result.get());
  for (unsigned int i = 0; i < count; ++i) {
    Value value;
    if (columns[i] == nullptr) {
      value.is_null = true;
    } else {
      const size_t length = lengths[i] != 0 ? lengths[i] : std::strlen(columns[i]);
      value.text.assign(columns[i], length);
    }
    const std::string name = result.fields()[i].name;
    if (!row.emplace(name, std::move(value)).second) {
      throw mError("duplicated field " + name + " in query");
    }
  }
  return true;
}

void Connection::test() {
  Connection conn(true);
  SHOW_CHECK(conn.escape_name("aaaa"));
  SHOW_CHECK(conn.escape_name("a`aaa"));
  SHOW_CHECK(conn.escape_name("a``aaa"));
  SHOW_CHECK(conn.escape_name("a``aa`a"));
}

Connection& escaped(Connection& connection) {
  connection.set_mode(Connection::ESCAPE_VALUE);
  return connection;
}

Connection& escaped_name(Connection& connection) {
  connection.set_mode(Connection::ESCAPE_NAME);
  return connection;
}

}  // namespace kelvor::mysql
