// Reading single values from the panel database and choosing the client character set.
#include <cstring>

#include "panel/db_connect.h"

namespace {

constexpr size_t kValueSize = 4096;

struct ResultFree {
  void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
};
using StoredResult = std::unique_ptr<MYSQL_RES, ResultFree>;

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Copies `column` of the result's first row into `value` (empty for no row or NULL).
void copy_first_value(MYSQL_RES* result, unsigned int column, char* value) {
  value[0] = '\0';
  if (result == nullptr || column >= mysql_num_fields(result)) return;
  MYSQL_ROW row = mysql_fetch_row(result);
  if (row == nullptr || row[column] == nullptr) return;
  size_t length = mysql_fetch_lengths(result)[column];
  if (length > kValueSize - 1) length = kValueSize - 1;
  std::memcpy(value, row[column], length);
  value[length] = '\0';
}

}  // namespace

const char* query_value(const char* statement, MYSQL* connection, unsigned int column) {
  static char value[kValueSize];
  if (mysql_query(connection, statement) != 0) {
    fatal_msg(0, "Unable to query parameter by query %s: %s\n", statement,
              mysql_error(connection));
    return nullptr;
  }
  StoredResult result(mysql_store_result(connection));
  copy_first_value(result.get(), column, value);
  return value;
}

const char* get_param_simple(const char* name, MYSQL* connection) {
  // The name goes into the statement unescaped: refuse what could leave the quotes.
  if (std::strpbrk(name, "\\\"'") != nullptr) {
    fatal_msg(0, "get_param_simple: invalid parameter name %s", name);
    return nullptr;
  }
  CString statement =
      strdup_printf("select %s from %s where %s='%s'", "val", "misc", "param", name);
  return query_value(statement.get(), connection, 0);
}

const char* set_client_charset(MYSQL* connection) {
  const char* version = query_value("SHOW VARIABLES LIKE 'version'", connection, 1);
  if (version == nullptr) return nullptr;
  if (starts_with(version, "3.") || starts_with(version, "4.0.")) return nullptr;
  const char* compatible = get_param_simple("mysql41_compatible", connection);
  const bool utf8 = compatible != nullptr && *compatible != '\0' &&
                    std::strcmp(compatible, "false") != 0;
  const char* statement = utf8 ? "SET NAMES utf8" : "SET NAMES binary";
  // Not examined: a refused SET NAMES leaves the server's default in place.
  mysql_query(connection, statement);
  return statement;
}
