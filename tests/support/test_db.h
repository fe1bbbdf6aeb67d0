// The private MariaDB server of the database tests (scripts/test-db) and the panel files
// that lead to it. The tests using it run inside the sandbox, where /etc is a throw-away
// copy.
#pragma once

#include <string>
#include <vector>

namespace zentra_test {

// Connection settings of a server started by scripts/test-db.
struct TestDb {
  std::string host;
  std::string port;
  std::string password;
  std::string socket;
  std::string log;  // general query log
  std::string pid;  // the server's process
};

// The server whose settings the environment (ZENTRA_TEST_DB_*) carries.
const TestDb& test_db();

// Reads the settings that scripts/test-db wrote into `env_file`.
TestDb read_test_db_env(const std::string& env_file);

// Stops the test unless it runs inside scripts/sandbox, as its mounts show (it would
// write the host's /etc).
void require_sandbox();

// Clears every input of the panel database discovery: VEXA_* and MYSQL_UNIX_PORT, the
// container link, /etc/my.cnf and the fallback sockets; writes the password file.
void reset_panel_inputs(const TestDb& db = test_db());

// Writes /etc/vexa/.vexa.shadow with exactly `content`.
void write_password_file(const std::string& content);

// Points VEXA_DB_HOST and VEXA_DB_PORT at the server over TCP.
void point_at(const TestDb& db = test_db());

// Runs SQL as the server's root over its socket in database vexa; tab-separated rows.
std::string root_sql(const std::string& sql, const TestDb& db = test_db());

// One entry of the general query log.
struct LoggedCommand {
  std::string command;   // "Connect", "Query", "Quit", ...
  std::string argument;  // the statement for "Query"
};

// What the server logged for connection `thread_id`, in order.
std::vector<LoggedCommand> logged_commands(unsigned long thread_id,
                                           const TestDb& db = test_db());

// The statements ("Query" entries) logged for connection `thread_id`.
std::vector<std::string> logged_statements(unsigned long thread_id,
                                           const TestDb& db = test_db());

// Writes `content` to `path`, replacing it.
void write_file(const std::string& path, const std::string& content);

}  // namespace zentra_test
