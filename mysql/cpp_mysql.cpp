#include "mysql/cpp_mysql.h"

#include <errmsg.h>
#include <fcntl.h>
#include <mysqld_error.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kelvor::mysql {

namespace {

// Server errors that mean the connection itself is gone, not that the statement is wrong.
bool connection_gone(MYSQL* handle) {
  // MySQL's idle timeout; MariaDB uses the number for a statement error.
  constexpr unsigned int kClientInteractionTimeout = 4031;
  switch (mysql_errno(handle)) {
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case ER_CONNECTION_KILLED:
    case ER_SERVER_SHUTDOWN:
      return true;
    case kClientInteractionTimeout:
      return !mariadb_connection(handle);
    default:
      return false;
  }
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

MYSQL* Connection::handle() {
  if (handle_ != nullptr) return handle_;
  DbSettings used;
  handle_ = connect_panel_db(used);
  if (handle_ == nullptr) throw mError("connection failed");
  settings_ = std::move(used);
  owner_ = getpid();
  return handle_;
}

Connection& Connection::operator<<(const std::string& text) {
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
  return *this;
}

Connection& Connection::operator<<(const char* text) { return *this << std::string(text); }

Connection& Connection::operator<<(int number) {
  return *this << std::string(strdup_printf("%d", number).get());
}

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

bool Connection::send(const std::string& text) {
  return mysql_real_query(handle(), text.data(), text.size()) == 0;
}

bool Connection::reconnect() {
  if (!settings_) return false;
  MYSQL* fresh = reconnect_panel_db(*settings_);
  if (fresh == nullptr) return false;
  close_handle();
  handle_ = fresh;
  owner_ = getpid();
  return true;
}

void Connection::execute() {
  send_composed();
  // Rows nobody reads would leave the connection "out of sync" for every later statement.
  if (mysql_field_count(handle_) != 0) mysql_free_result(mysql_store_result(handle_));
}

void Connection::send_composed() {
  const std::string text = statement_.str();
  statement_.str("");
  mode_ = PLAIN;
  if (send(text)) return;
  if (!connection_gone(handle_)) throw mError(handle_, " executing query");
  mError lost(handle_, " executing query");
  if (!reconnect()) throw lost;
  if (!send(text)) throw mError(handle_, " executing query");
}

Result Connection::query() {
  send_composed();
  MYSQL_RES* result = mysql_store_result(handle_);
  if (result == nullptr) throw mError(handle_, " fetching result");
  return Result(result);
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
