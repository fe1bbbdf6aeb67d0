// Finding the panel's MySQL database and opening a connection to it with the panel's
// administrator account. Problems are reported through messages and null results.
#pragma once

#include <mysql.h>

#include <cstddef>
#include <string>
#include <vector>

#include "panel/message.h"

// What a connection was opened with; kept in memory so that it can be opened again
// after the process has lost the right to read the password file.
struct DbSettings {
  std::string host;
  std::string user;
  std::string password;
  std::string database;
  unsigned int port = 0;
  std::string socket;  // empty: the client library's choice
  // The client character set, chosen once by the first connection ("SET NAMES ..."; empty
  // when none was set) and replayed by every later one.
  bool names_chosen = false;
  std::string names_statement;
  // Further statements sent at the start of every later connection, in this order.
  std::vector<std::string> session_statements;
};

// Opens the panel database; on null, `buffer` (of `size` bytes) holds the reason.
MYSQL* db_connect(char* buffer, size_t size);

// db_connect with its own buffer; on null the reason goes out through fatal_msg(0, ...).
MYSQL* connect_panel_db();

// As connect_panel_db(), also handing back the settings the connection was opened with.
MYSQL* connect_panel_db(DbSettings& used);

// Opens the database again with settings remembered from an earlier connection, reading
// no file; on null the reason goes out through fatal_msg(0, ...).
MYSQL* reconnect_panel_db(DbSettings& settings);

// Gathers the settings: password file, container mode, environment, socket discovery.
// False with the reason in `buffer` when the password file cannot be read.
bool read_db_settings(DbSettings& settings, char* buffer, size_t size);

// Connects with `settings` and sets the connection up for the panel: timeouts, a socket
// closed on exec, foreign key checks off and the client character set, both through the
// connector's init commands once the set is chosen (the choice is recorded in `settings`).
// Logs in only by methods that never send the password; refuses a remembered socket that
// another account could have replaced since, and a local socket served by another
// account. Null with the reason in `buffer` on failure.
MYSQL* db_open(DbSettings& settings, char* buffer, size_t size);

// The client library's error number of the last db_open whose connect failed, e.g.
// ER_CON_COUNT_ERROR when the server had no connection left; 0 after any other outcome.
unsigned int last_connect_error();

// Container mode: takes the database host from the /etc/vexa/kbox_mode link (and the
// database and user names from the container id), or records the host in run mode 3.
void apply_container_mode();

// The server socket named by /etc/my.cnf or found at a usual place; null when
// MYSQL_UNIX_PORT is set or nothing is found. A socket that an account other than root
// or the server's could have put there counts as none, with a line on stderr.
CString find_mysql_socket();

// Sends SET NAMES binary or utf8 for servers from 4.1 on, as the panel's
// mysql41_compatible setting says; failures leave the connection as it is. Returns the
// statement sent, or null when the server's version asks for none.
const char* set_client_charset(MYSQL* connection);

// The given column of the first row of `statement`, in a static buffer valid until the
// next call; empty for no row or NULL; null (with a message) when the query fails.
const char* query_value(const char* statement, MYSQL* connection, unsigned int column);

// The value of `name` in the panel's misc table, as query_value. `name` must not contain
// a backslash or a quote.
const char* get_param_simple(const char* name, MYSQL* connection);

namespace panel_db {

// Reads the container information from another file instead of /proc/kbox/veinfo
// (tests only; null restores the real path).
void set_container_info_path(const char* path);

}  // namespace panel_db
