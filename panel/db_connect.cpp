// Opening the panel database with the administrator account.
#include "panel/db_connect.h"
#include "sys/unique_fd.h"
#include "panel/server_socket.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Why the last connect failed, as the client library numbers it.
unsigned int last_refusal = 0;

constexpr const char* kPasswordFile = "/etc/vexa/.vexa.shadow";
constexpr size_t kPasswordMax = 4096;
constexpr size_t kMessageSize = 4097;

// The password file's content, less one trailing newline.
bool read_password(std::string& password, char* buffer, size_t size) {
  kelvor::sys::UniqueFd file(open(kPasswordFile, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    std::snprintf(buffer, size, "db_connect: Unable to open admin password file %s: %s",
                  kPasswordFile, std::strerror(errno));
    return false;
  }
  char text[kPasswordMax + 1];
  const ssize_t length = read(file.get(), text, kPasswordMax);
  if (length < 0) {
    std::snprintf(buffer, size, "db_connect: Unable to read admin password file %s: %s",
                  kPasswordFile, std::strerror(errno));
    return false;
  }
  size_t end = static_cast<size_t>(length);
  if (end > 0 && text[end - 1] == '\n') --end;
  password.assign(text, end);
  return true;
}

// An environment variable counts only when it is present and not empty.
std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// Writing to a connection the server has closed must fail with an error, not kill the
// process; the job and every program it starts later keep this disposition.
void ignore_sigpipe_once() {
  static bool done = false;
  if (done) return;
  done = true;
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

const char* or_null(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// A stalled server must not freeze a job: the job's FIFO would fill and stall the game
// server that writes it.
constexpr unsigned int kConnectTimeout = 5;
constexpr unsigned int kReadTimeout = 10;
constexpr unsigned int kWriteTimeout = 10;

// Only methods that prove the password without sending it: one that takes it in clear
// ("mysql_clear_password", "dialog", or "caching_sha2_password" over a socket) would hand
// it to whoever answers in the server's place.
constexpr const char* kAuthMethods = "mysql_native_password,client_ed25519";

// Timeouts, the login methods allowed, and the statements the connector sends itself on
// every connect, so that no connection (a reconnect included) runs without them. False
// when the library cannot restrict the login methods.
bool set_options(MYSQL* connection, const DbSettings& settings) {
  mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeout);
  mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &kReadTimeout);
  mysql_options(connection, MYSQL_OPT_WRITE_TIMEOUT, &kWriteTimeout);
  if (mysql_optionsv(connection, MARIADB_OPT_RESTRICTED_AUTH, kAuthMethods) != 0) return false;
  // The panel's own tables rely on it, ours do not.
  mysql_options(connection, MYSQL_INIT_COMMAND, "set foreign_key_checks=0");
  if (!settings.names_statement.empty()) {
    mysql_options(connection, MYSQL_INIT_COMMAND, settings.names_statement.c_str());
  }
  for (const std::string& statement : settings.session_statements) {
    mysql_options(connection, MYSQL_INIT_COMMAND, statement.c_str());
  }
  return true;
}

// The socket is logged in as the panel's administrator: no program started later may
// inherit it.
bool close_socket_on_exec(MYSQL* connection) {
  const int socket = static_cast<int>(mysql_get_socket(connection));
  return socket >= 0 && fcntl(socket, F_SETFD, FD_CLOEXEC) == 0;
}

void refuse_connect(char* buffer, size_t size, const char* reason) {
  std::snprintf(buffer, size, "db_connect: failed to connect to database: Error: %s", reason);
}

}  // namespace

bool read_db_settings(DbSettings& settings, char* buffer, size_t size) {
  if (!read_password(settings.password, buffer, size)) return false;
  apply_container_mode();
  settings.host = env_or("VEXA_DB_HOST", "localhost");
  const std::string port = env_or("VEXA_DB_PORT", "0");
  settings.port = static_cast<unsigned int>(std::strtoul(port.c_str(), nullptr, 10));
  settings.database = env_or("VEXA_DB_NAME", "vexa");
  settings.user = env_or("VEXA_DB_LOGIN", "admin");
  CString socket = find_mysql_socket();
  settings.socket = socket ? socket.get() : "";
  return true;
}

unsigned int last_connect_error() { return last_refusal; }

MYSQL* db_open(DbSettings& settings, char* buffer, size_t size) {
  last_refusal = 0;
  ignore_sigpipe_once();
  // The socket found at the first connection may since have been replaced.
  std::string distrust;
  if (!settings.socket.empty() &&
      check_server_socket(settings.socket, distrust) == SocketTrust::kUntrusted) {
    refuse_connect(buffer, size, distrust.c_str());
    return nullptr;
  }
  MYSQL* connection = mysql_init(nullptr);
  if (connection == nullptr) {
    std::snprintf(buffer, size, "db_connect: insufficient memory to allocate new object.");
    return nullptr;
  }
  if (!set_options(connection, settings)) {
    refuse_connect(buffer, size, "the client library cannot restrict the login methods");
    mysql_close(connection);
    return nullptr;
  }
  if (mysql_real_connect(connection, settings.host.c_str(), settings.user.c_str(),
                         settings.password.c_str(), settings.database.c_str(), settings.port,
                         or_null(settings.socket), 0) == nullptr) {
    refuse_connect(buffer, size, mysql_error(connection));
    last_refusal = mysql_errno(connection);
    mysql_close(connection);
    return nullptr;
  }
  // Whatever path led there, only the server may answer on a local socket.
  distrust = untrusted_peer(static_cast<int>(mysql_get_socket(connection)));
  if (!distrust.empty() || !close_socket_on_exec(connection)) {
    refuse_connect(buffer, size, !distrust.empty() ? distrust.c_str() : std::strerror(errno));
    mysql_close(connection);
    return nullptr;
  }
  if (!settings.names_chosen) {
    const char* names = set_client_charset(connection);
    settings.names_statement = names != nullptr ? names : "";
    settings.names_chosen = true;
  }
  return connection;
}

MYSQL* db_connect(char* buffer, size_t size) {
  DbSettings settings;
  if (!read_db_settings(settings, buffer, size)) return nullptr;
  return db_open(settings, buffer, size);
}

MYSQL* connect_panel_db(DbSettings& used) {
  char buffer[kMessageSize] = "";
  if (!read_db_settings(used, buffer, sizeof buffer)) {
    fatal_msg(0, "%s", buffer);
    return nullptr;
  }
  MYSQL* connection = db_open(used, buffer, sizeof buffer);
  if (connection == nullptr) fatal_msg(0, "%s", buffer);
  return connection;
}

MYSQL* connect_panel_db() {
  DbSettings settings;
  return connect_panel_db(settings);
}

MYSQL* reconnect_panel_db(DbSettings& settings) {
  char buffer[kMessageSize] = "";
  MYSQL* connection = db_open(settings, buffer, sizeof buffer);
  if (connection == nullptr) fatal_msg(0, "%s", buffer);
  return connection;
}
