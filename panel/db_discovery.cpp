// Where the panel database is: container mode and the MySQL server's socket.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "panel/db_connect.h"
#include "panel/server_socket.h"

namespace {

constexpr const char* kContainerLink = "/etc/vexa/kbox_mode";
constexpr const char* kRealContainerInfo = "/proc/kbox/veinfo";
constexpr const char* kMysqlConfig = "/etc/my.cnf";
const char* container_info_path = kRealContainerInfo;

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool env_is_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Sets `name` unless it already counts as set (present and not empty).
void set_env_default(const char* name, const char* value) {
  if (!env_is_set(name)) setenv(name, value, 1);
}

// Run mode 3 records the host it was given, for later runs without the environment.
void record_container_host() {
  const char* mode = std::getenv("VEXA_RUN_MODE");
  if (mode == nullptr || *mode == '\0' || std::strtol(mode, nullptr, 10) != 3) return;
  if (!env_is_set("VEXA_DB_HOST")) return;
  // Results not examined: without the link, later runs simply see no container mode.
  unlink(kContainerLink);
  if (symlink(std::getenv("VEXA_DB_HOST"), kContainerLink) != 0) return;
}

// Names the container's own database and user after the id on the first line.
void apply_container_id() {
  File info(std::fopen(container_info_path, "re"));
  if (!info) return;
  char line[4096];
  if (std::fgets(line, sizeof line, info.get()) == nullptr) return;
  const long id = std::strtol(line, nullptr, 10);
  if (id == 0) return;
  set_env_default("VEXA_DB_NAME", strdup_printf("vexa%ld", id).get());
  set_env_default("VEXA_DB_LOGIN", strdup_printf("admin%ld", id).get());
}

// A socket counts only where no account but root or the server's could have put it; one
// that another account could have planted is skipped, with a line for the admin.
bool is_server_socket(const char* path) {
  std::string reason;
  switch (check_server_socket(path, reason)) {
    case SocketTrust::kTrusted:
      return true;
    case SocketTrust::kUntrusted:
      std::fprintf(stderr, "find_mysql_socket: skipping %s: %s\n", path, reason.c_str());
      return false;
    case SocketTrust::kMissing:
      break;
  }
  return false;
}

const char* skip_space(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  return text;
}

// The socket of a "socket = path" line, when the path is a socket; null otherwise.
CString socket_of_line(const char* line) {
  const char* value = std::strchr(line, '=');
  if (value == nullptr) return nullptr;
  value = skip_space(value + 1);
  if (*value == '\0') return nullptr;
  size_t length = 0;
  while (value[length] != '\0' && !std::isspace(static_cast<unsigned char>(value[length]))) {
    ++length;
  }
  CString path(strndup(value, length));
  if (!path || !is_server_socket(path.get())) return nullptr;
  return path;
}

// Lines are read up to 4095 characters; the rest of a longer one is dropped, so that it
// is not taken for a line of its own.
void skip_rest_of_line(const char* buffer, size_t size, std::FILE* config) {
  const size_t length = std::strlen(buffer);
  if (length < size - 1 || buffer[length - 1] == '\n') return;
  int c;
  do {
    c = std::getc(config);
  } while (c != EOF && c != '\n');
}

// The socket setting of the [mysqld] section; reading stops at the first socket line.
CString socket_from_config(std::FILE* config) {
  char buffer[4096];
  bool inside = false;
  while (std::fgets(buffer, sizeof buffer, config) != nullptr) {
    skip_rest_of_line(buffer, sizeof buffer, config);
    const char* line = skip_space(buffer);
    if (*line == '\0' || *line == '#' || *line == ';') continue;
    if (inside && *line == '[') return nullptr;
    if (!inside) {
      inside = std::strncmp(line, "[mysqld]", 8) == 0;
      continue;
    }
    if (std::strncmp(line, "socket", 6) == 0) return socket_of_line(line + 6);
  }
  return nullptr;
}

}  // namespace

void apply_container_mode() {
  char target[4096];
  const ssize_t length = readlink(kContainerLink, target, sizeof target - 1);
  if (length < 0) {
    record_container_host();
    return;
  }
  target[length] = '\0';
  set_env_default("VEXA_DB_HOST", target);
  apply_container_id();
}

CString find_mysql_socket() {
  if (env_is_set("MYSQL_UNIX_PORT")) return nullptr;
  errno = 0;
  CString socket;
  if (File config{std::fopen(kMysqlConfig, "re")}) socket = socket_from_config(config.get());
  if (socket && *socket.get() != '\0') return socket;
  for (const char* fallback : {"/var/lib/mysql/mysql.sock", "/tmp/mysql.sock"}) {
    if (is_server_socket(fallback)) return CString(strdup(fallback));
  }
  return nullptr;
}

namespace panel_db {

void set_container_info_path(const char* path) {
  container_info_path = path != nullptr ? path : kRealContainerInfo;
}

}  // namespace panel_db
