#include "tests/support/test_db.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"

namespace zentra_test {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

const TestDb& test_db() {
  static const TestDb db = [] {
    TestDb settings{env("ZENTRA_TEST_DB_HOST"), env("ZENTRA_TEST_DB_PORT"),
                    env("ZENTRA_TEST_DB_PASSWORD"), env("ZENTRA_TEST_DB_SOCKET"),
                    env("ZENTRA_TEST_DB_LOG"), env("ZENTRA_TEST_DB_PID")};
    if (settings.port.empty()) {
      std::fprintf(stderr, "no test database: run through scripts/test-db exec\n");
      std::abort();
    }
    return settings;
  }();
  return db;
}

TestDb read_test_db_env(const std::string& env_file) {
  std::ifstream in(env_file);
  TestDb db;
  const std::string prefix = "export ZENTRA_TEST_DB_";
  std::string line;
  while (std::getline(in, line)) {
    // export ZENTRA_TEST_DB_<KEY>='<value>'
    const size_t equals = line.find("='");
    if (line.rfind(prefix, 0) != 0 || equals == std::string::npos || line.back() != '\'') {
      continue;
    }
    const std::string key = line.substr(prefix.size(), equals - prefix.size());
    const std::string value = line.substr(equals + 2, line.size() - equals - 3);
    if (key == "HOST") db.host = value;
    if (key == "PORT") db.port = value;
    if (key == "PASSWORD") db.password = value;
    if (key == "SOCKET") db.socket = value;
    if (key == "LOG") db.log = value;
    if (key == "PID") db.pid = value;
  }
  return db;
}

namespace {

// What is mounted on `mount_point` last (and so seen there): "<type> <source>".
std::string mounted_on(const std::string& mount_point) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  std::string seen;
  while (std::getline(mounts, line)) {
    // <id> <parent> <dev> <root> <mount point> <options...> - <type> <source> <options>
    std::istringstream fields(line);
    std::string id, parent, dev, root, point, field;
    fields >> id >> parent >> dev >> root >> point;
    while (fields >> field && field != "-") {
    }
    std::string type, source;
    fields >> type >> source;
    if (point == mount_point) seen = type + " " + source;
  }
  return seen;
}

}  // namespace

void require_sandbox() {
  const bool inside = !env("ZENTRA_MNG").empty() && mounted_on("/etc") == "overlay overlay" &&
                      mounted_on("/tmp") == "tmpfs zentra-sandbox-tmp" &&
                      mounted_on("/run") == "tmpfs zentra-sandbox-run";
  if (!inside) {
    std::fprintf(stderr, "refusing to run outside scripts/sandbox: it writes under /etc\n");
    std::abort();
  }
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

void write_password_file(const std::string& content) {
  mkdir("/etc/vexa", 0755);
  write_file("/etc/vexa/.vexa.shadow", content);
}

void reset_panel_inputs(const TestDb& db) {
  require_sandbox();
  for (const char* name : {"VEXA_DB_HOST", "VEXA_DB_PORT", "VEXA_DB_NAME", "VEXA_DB_LOGIN",
                           "VEXA_RUN_MODE", "MYSQL_UNIX_PORT"}) {
    unsetenv(name);
  }
  for (const char* path : {"/etc/vexa/kbox_mode", "/etc/my.cnf", "/tmp/mysql.sock",
                           "/var/lib/mysql/mysql.sock"}) {
    unlink(path);
  }
  write_password_file(db.password + "\n");
}

void point_at(const TestDb& db) {
  setenv("VEXA_DB_HOST", db.host.c_str(), 1);
  setenv("VEXA_DB_PORT", db.port.c_str(), 1);
}

std::string root_sql(const std::string& sql, const TestDb& db) {
  RunResult run = run_program(
      {"mariadb", "--no-defaults", "-uroot", "-S", db.socket, "-N", "-B", "vexa", "-e", sql});
  EXPECT_EQ(run.status, 0) << sql << "\n" << run.err;
  return run.out;
}

namespace {

// Parses "[yymmdd hh:mm:ss]\t<spaces><id> <Command>\t<argument>"; false for a line that
// continues the argument of the entry before it.
bool parse_log_entry(const std::string& line, unsigned long& id, LoggedCommand& entry) {
  const size_t tab = line.find('\t');
  if (tab == std::string::npos) return false;
  size_t at = tab;
  while (at < line.size() && (line[at] == '\t' || line[at] == ' ')) ++at;
  const size_t digits = at;
  while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
  if (at == digits || at >= line.size() || line[at] != ' ') return false;
  const size_t command_end = line.find('\t', at + 1);
  if (command_end == std::string::npos) return false;
  const std::string head = line.substr(0, tab);
  for (char c : head) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != ' ' && c != ':') return false;
  }
  id = std::stoul(line.substr(digits, at - digits));
  entry.command = line.substr(at + 1, command_end - at - 1);
  entry.argument = line.substr(command_end + 1);
  return true;
}

}  // namespace

std::vector<LoggedCommand> logged_commands(unsigned long thread_id, const TestDb& db) {
  std::ifstream in(db.log);
  std::vector<LoggedCommand> commands;
  bool ours = false;
  std::string line;
  while (std::getline(in, line)) {
    unsigned long id = 0;
    LoggedCommand entry;
    if (parse_log_entry(line, id, entry)) {
      ours = id == thread_id;
      if (ours) commands.push_back(entry);
    } else if (ours && !commands.empty()) {
      commands.back().argument += "\n" + line;
    }
  }
  return commands;
}

std::vector<std::string> logged_statements(unsigned long thread_id, const TestDb& db) {
  std::vector<std::string> statements;
  for (const LoggedCommand& command : logged_commands(thread_id, db)) {
    if (command.command == "Query") statements.push_back(command.argument);
  }
  return statements;
}

}  // namespace zentra_test
