#include "tests/support/test_db.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
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
                    env("ZENTRA_TEST_DB_LOG")};
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
  std::string line;
  const std::regex assignment("export ZENTRA_TEST_DB_([A-Z_]+)='(.*)'");
  while (std::getline(in, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, assignment)) continue;
    const std::string key = match[1], value = match[2];
    if (key == "HOST") db.host = value;
    if (key == "PORT") db.port = value;
    if (key == "PASSWORD") db.password = value;
    if (key == "SOCKET") db.socket = value;
    if (key == "LOG") db.log = value;
  }
  return db;
}

void require_sandbox() {
  if (env("ZENTRA_MNG").empty()) {
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

std::vector<LoggedCommand> logged_commands(unsigned long thread_id, const TestDb& db) {
  // "[yymmdd hh:mm:ss]\t<spaces><id> <Command>\t<argument>"; other lines continue the
  // argument of the entry before them.
  static const std::regex entry(R"(^(?:\d{6}\s+\d{1,2}:\d{2}:\d{2})?\s+(\d+) ([A-Za-z ]+)\t(.*)$)");
  std::ifstream in(db.log);
  std::vector<LoggedCommand> commands;
  bool ours = false;
  std::string line;
  while (std::getline(in, line)) {
    std::smatch match;
    if (std::regex_match(line, match, entry)) {
      ours = std::stoul(match[1]) == thread_id;
      if (ours) commands.push_back({match[2], match[3]});
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
