#include "panel/conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sys/unique_fd.h"
#include "panel/message.h"

namespace {

const char* const kConfPath = "/etc/vexa/vexa.conf";
const char* const kModuleDir = "/admin/bin/modules/zentra/";

// The whole file, NUL-terminated, kept for the life of the process.
struct FileCache {
  char* data = nullptr;
  size_t size = 0;
};
FileCache cache;
int loads = 0;

struct KeyRule {
  const char* name;
  const char* message;  // a format with one %s (the key) or a fixed text
};

// The keys every panel installation defines, in the order they are checked.
const KeyRule kKeys[] = {
    {"PRODUCT_ROOT_D", "Error: PRODUCT_ROOT_D not defined\n"},
    {"HTTPD_VHOSTS_D", "Error: HTTPD_VHOSTS_D not defined\n"},
    {"HTTPD_CONF_D", "Error: HTTPD_CONF_D not defined\n"},
    {"HTTPD_INCLUDE_D", "Error: HTTPD_INCLUDE_D not defined\n"},
    {"HTTPD_BIN_D", "Error: HTTPD_BIN_D not defined\n"},
    {"QMAIL_ROOT_D", "Error: QMAIL_ROOT_D not defined\n"},
    {"QMAIL_MAILNAMES_D", "Error: QMAIL_MAILNAMES_D not defined\n"},
    {"FTPD_CONF", "Error: FTPD_CONF not defined\n"},
    {"FTPD_CONF_INC", "Error: FTPD_CONF_INC not defined\n"},
    {"FTPD_BIN_D", "Error: %s not defined in product config file"},
    {"NAMED_RUN_ROOT_D", "Error: NAMED_RUN_ROOT_D not defined\n"},
    {"WEB_STAT", "Error: WEB_STAT not defined\n"},
    {"LOGROTATE", "Error: LOGROTATE not defined\n"},
    {"MYSQL_VAR_D", "Error: MYSQL_VAR_D not defined\n"},
    {"MYSQL_BIN_D", "Error: MYSQL_BIN_D not defined\n"},
    {"PGSQL_BIN_D", "Error: PGSQL_BIN_D not defined\n"},
    {"PGSQL_DATA_D", "Error: PGSQL_DATA_D not defined\n"},
    {"MAILMAN_ROOT_D", "Error: MAILMAN_ROOT_D not defined\n"},
    {"MAILMAN_VAR_D", "Error: MAILMAN_VAR_D not defined\n"},
    {"PRODUCT_RC_D", "Error: PRODUCT_RC_D not defined\n"},
    {"DUMP_D", "Error: DUMP_D not defined\n"},
    {"CATALINA_HOME", "Error: CATALINA_HOME not defined\n"},
    {"DRWEB_ROOT_D", "Error: DRWEB_ROOT_D not defined\n"},
    {"DRWEB_ETC_D", "Error: DRWEB_ETC_D not defined\n"},
    {"CURL_CA_BUNDLE_FILE", "Error: %s not defined"},
};
constexpr size_t kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);
const char* values[kKeyCount] = {};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

// Reads the whole file into a fresh buffer; on any failure nothing is kept.
bool read_file(const char* path) {
  const kelvor::sys::UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;
  struct stat st;
  if (fstat(file.get(), &st) != 0 || st.st_size <= 0) return false;
  const size_t size = static_cast<size_t>(st.st_size);
  char* buffer = static_cast<char*>(std::malloc(size + 2));
  if (buffer == nullptr) return false;
  if (read(file.get(), buffer, size) != st.st_size) {
    std::free(buffer);
    return false;
  }
  buffer[size] = '\0';
  panel_conf::prepare_buffer(buffer, size);
  cache.data = buffer;
  cache.size = size;
  ++loads;
  return true;
}

}  // namespace

namespace panel_conf {

void prepare_buffer(char* buffer, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (buffer[i] != '\n') continue;
    buffer[i] = '\0';
    for (size_t j = i; j > 0 && buffer[j - 1] != '\0' && is_space(buffer[j - 1]); --j) buffer[j - 1] = '\0';
  }
}

const char* lookup(const char* buffer, size_t size, const char* name) {
  const size_t n = std::strlen(name);
  const char* end = buffer + size;
  const char* p = buffer;
  while (true) {
    while (p < end && is_space(*p)) ++p;
    if (std::strncmp(p, name, n) == 0 && is_space(p[n])) {
      p += n;
      while (*p != '\0' && *p != '\n' && is_space(*p)) ++p;
      return p;
    }
    while (p < end && *p != '\0') ++p;
    if (p >= end) return nullptr;
    ++p;
  }
}

bool load_cache_from(const char* path) {
  reset_cache();
  return read_file(path);
}

void reset_cache() {
  std::free(cache.data);
  cache = FileCache{};
  for (auto& value : values) value = nullptr;
}

int cache_loads() { return loads; }

}  // namespace panel_conf

const char* get_conf_param(const char* name) {
  if (cache.data == nullptr && !read_file(kConfPath)) return nullptr;
  return panel_conf::lookup(cache.data, cache.size, name);
}

void load_product_conf() {
  if (values[0] != nullptr) return;
  for (size_t i = 0; i < kKeyCount; ++i) {
    const char* value = get_conf_param(kKeys[i].name);
    if (value == nullptr || *value == '\0') fatal_msg(1, kKeys[i].message, kKeys[i].name);
    values[i] = value;
  }
}

const char* product_root() { return values[0]; }

std::string module_shaper_path() { return std::string(product_root()) + kModuleDir + "shaper"; }

std::string module_library_path() {
  return std::string(product_root()) + kModuleDir + "libstatistics.so.1.0.0";
}

std::string module_library32_path() {
  return std::string(product_root()) + kModuleDir + "libstatistics32.so.1.0.0";
}
