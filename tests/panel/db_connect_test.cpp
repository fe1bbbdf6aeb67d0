// Discovery of and connection to the panel database, against the private test server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "panel/db_connect.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_db.h"

namespace {

using zentra_test::logged_statements;
using zentra_test::point_at;
using zentra_test::root_sql;
using zentra_test::test_db;
using zentra_test::write_file;
using zentra_test::write_password_file;

struct MysqlClose {
  void operator()(MYSQL* connection) const { mysql_close(connection); }
};
using Handle = std::unique_ptr<MYSQL, MysqlClose>;

constexpr const char* kLink = "/etc/vexa/kbox_mode";
constexpr const char* kInfo = "/tmp/veinfo";

class PanelDb : public ::testing::Test {
protected:
  void SetUp() override {
    zentra_test::reset_panel_inputs();
    panel_db::set_container_info_path(nullptr);
  }
  void TearDown() override { panel_db::set_container_info_path(nullptr); }

  static DbSettings settings() {
    DbSettings settings;
    char buffer[4097] = "";
    EXPECT_TRUE(read_db_settings(settings, buffer, sizeof buffer)) << buffer;
    return settings;
  }

  // db_connect; on failure the message is left in message_.
  Handle connect() {
    char buffer[4097] = "";
    Handle connection(db_connect(buffer, sizeof buffer));
    message_ = buffer;
    return connection;
  }

  // The statements the connection set-up sent, seen by the server.
  std::vector<std::string> setup_statements() {
    point_at();
    Handle connection = connect();
    EXPECT_TRUE(connection) << message_;
    if (!connection) return {};
    return logged_statements(mysql_thread_id(connection.get()));
  }

  static std::string socket_found() {
    CString socket = find_mysql_socket();
    return socket ? socket.get() : "(null)";
  }

  std::string message_;
};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(PanelDb, DefaultsWithoutLinkOrEnvironment) {
  const DbSettings used = settings();
  EXPECT_EQ(used.host, "localhost");
  EXPECT_EQ(used.port, 0u);
  EXPECT_EQ(used.database, "vexa");
  EXPECT_EQ(used.user, "admin");
  EXPECT_EQ(used.socket, "");
  EXPECT_EQ(used.password, test_db().password);
}

TEST_F(PanelDb, EnvironmentOverridesDefaultsAndEmptyValuesCountAsUnset) {
  setenv("VEXA_DB_HOST", "db9", 1);
  setenv("VEXA_DB_PORT", "3307", 1);
  setenv("VEXA_DB_NAME", "name9", 1);
  setenv("VEXA_DB_LOGIN", "login9", 1);
  DbSettings used = settings();
  EXPECT_EQ(used.host, "db9");
  EXPECT_EQ(used.port, 3307u);
  EXPECT_EQ(used.database, "name9");
  EXPECT_EQ(used.user, "login9");

  for (const char* name : {"VEXA_DB_HOST", "VEXA_DB_PORT", "VEXA_DB_NAME", "VEXA_DB_LOGIN"}) {
    setenv(name, "", 1);
  }
  used = settings();
  EXPECT_EQ(used.host, "localhost");
  EXPECT_EQ(used.port, 0u);
  EXPECT_EQ(used.database, "vexa");
  EXPECT_EQ(used.user, "admin");
}

TEST_F(PanelDb, PasswordFileLosesOneTrailingNewlineOnly) {
  write_password_file("secret\n\n");
  EXPECT_EQ(settings().password, "secret\n");
  write_password_file("secret");
  EXPECT_EQ(settings().password, "secret");
  write_password_file("");
  EXPECT_EQ(settings().password, "");

  point_at();
  write_password_file(test_db().password + "\n");
  EXPECT_TRUE(connect()) << message_;
  write_password_file(test_db().password + "\n\n");
  EXPECT_FALSE(connect());
  EXPECT_TRUE(starts_with(message_,
                          "db_connect: failed to connect to database: Error: Access denied "
                          "for user 'admin'"))
      << message_;
}

TEST_F(PanelDb, MissingOrUnreadablePasswordFileIsReported) {
  unlink("/etc/vexa/.vexa.shadow");
  EXPECT_FALSE(connect());
  EXPECT_EQ(message_,
            "db_connect: Unable to open admin password file /etc/vexa/.vexa.shadow: "
            "No such file or directory");

  char small[21] = "";
  EXPECT_EQ(db_connect(small, sizeof small), nullptr);
  EXPECT_EQ(std::string(small), "db_connect: Unable t");

  ASSERT_EQ(mkdir("/etc/vexa/.vexa.shadow", 0700), 0);
  EXPECT_FALSE(connect());
  rmdir("/etc/vexa/.vexa.shadow");
  EXPECT_EQ(message_,
            "db_connect: Unable to read admin password file /etc/vexa/.vexa.shadow: "
            "Is a directory");
}

TEST_F(PanelDb, ContainerLinkGivesHostAndContainerIdNamesDatabaseAndUser) {
  ASSERT_EQ(symlink("db2", kLink), 0);
  write_file(kInfo, "101 container information\nsecond line\n");
  panel_db::set_container_info_path(kInfo);
  const DbSettings used = settings();
  EXPECT_EQ(used.host, "db2");
  EXPECT_EQ(used.database, "vexa101");
  EXPECT_EQ(used.user, "admin101");
  // Set for the rest of the process and the programs it starts.
  EXPECT_STREQ(std::getenv("VEXA_DB_NAME"), "vexa101");
}

TEST_F(PanelDb, VariablesAlreadySetWinOverTheContainer) {
  ASSERT_EQ(symlink("db2", kLink), 0);
  write_file(kInfo, "101\n");
  panel_db::set_container_info_path(kInfo);
  setenv("VEXA_DB_HOST", "mine", 1);
  setenv("VEXA_DB_NAME", "mydb", 1);
  setenv("VEXA_DB_LOGIN", "me", 1);
  const DbSettings used = settings();
  EXPECT_EQ(used.host, "mine");
  EXPECT_EQ(used.database, "mydb");
  EXPECT_EQ(used.user, "me");
}

TEST_F(PanelDb, ContainerIdZeroOrNoInformationKeepsTheNames) {
  ASSERT_EQ(symlink("db3", kLink), 0);
  write_file(kInfo, "0 host\n");
  panel_db::set_container_info_path(kInfo);
  DbSettings used = settings();
  EXPECT_EQ(used.host, "db3");
  EXPECT_EQ(used.database, "vexa");
  EXPECT_EQ(used.user, "admin");

  panel_db::set_container_info_path("/tmp/no-such-veinfo");
  used = settings();
  EXPECT_EQ(used.database, "vexa");
  EXPECT_EQ(used.user, "admin");
}

TEST_F(PanelDb, RunModeThreeRecordsTheHostInTheLink) {
  char target[256] = "";
  setenv("VEXA_RUN_MODE", "2", 1);
  setenv("VEXA_DB_HOST", "db1", 1);
  settings();
  EXPECT_LT(readlink(kLink, target, sizeof target), 0) << "only run mode 3 writes the link";

  setenv("VEXA_RUN_MODE", "3", 1);
  unsetenv("VEXA_DB_HOST");
  settings();
  EXPECT_LT(readlink(kLink, target, sizeof target), 0) << "no host, no link";

  setenv("VEXA_DB_HOST", "db1", 1);
  EXPECT_EQ(settings().host, "db1");
  const ssize_t length = readlink(kLink, target, sizeof target - 1);
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::string(target, static_cast<size_t>(length)), "db1");

  // A later run without the environment finds the host again.
  unsetenv("VEXA_DB_HOST");
  unsetenv("VEXA_RUN_MODE");
  EXPECT_EQ(settings().host, "db1");
}

TEST_F(PanelDb, ContainerLinkLeadsToTheServer) {
  ASSERT_EQ(symlink(test_db().host.c_str(), kLink), 0);
  setenv("VEXA_DB_PORT", test_db().port.c_str(), 1);
  EXPECT_TRUE(connect()) << message_;

  unsetenv("VEXA_DB_HOST");
  write_file(kInfo, "101\n");
  panel_db::set_container_info_path(kInfo);
  EXPECT_FALSE(connect());
  EXPECT_NE(message_.find("'admin101'"), std::string::npos) << message_;
}

TEST_F(PanelDb, MyCnfSocketOfTheMysqldSectionIsUsed) {
  const std::string& socket = test_db().socket;
  write_file("/etc/my.cnf", "[client]\nsocket=/nowhere.sock\n\n[mysqld]\n# socket=/a\n"
                            "; socket=/b\n  datadir=/var/lib/mysql\n\tsocket =  " +
                                socket + "  trailing words\n");
  EXPECT_EQ(socket_found(), socket);
  // No host given: localhost, through that socket.
  EXPECT_TRUE(connect()) << message_;
}

TEST_F(PanelDb, MyCnfPrefixRules) {
  const std::string& socket = test_db().socket;
  struct Case {
    std::string config;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"[mysqld_safe]\nsocket=" + socket + "\n", "(null)"},
      {"[mysqld]\nsocket_dir=" + socket + "\n", socket},
      {"[mysqld]\n[client]\nsocket=" + socket + "\n", "(null)"},
      {"[mysqld]\nsocket " + socket + "\n", "(null)"},
      {"[mysqld]\nsocket=   \n", "(null)"},
      {"[mysqld]\nsocket=/etc/passwd\nsocket=" + socket + "\n", "(null)"},
      {"[MYSQLD]\nsocket=" + socket + "\n", "(null)"},
      // The end of an over-long comment is no line of its own.
      {"[mysqld]\n#" + std::string(4094, 'x') + "socket=/etc/passwd\nsocket=" + socket + "\n",
       socket},
  };
  for (const Case& c : cases) {
    write_file("/etc/my.cnf", c.config);
    EXPECT_EQ(socket_found(), c.expected) << c.config;
  }
}

TEST_F(PanelDb, FallbackSocketsInOrder) {
  const std::string& socket = test_db().socket;
  write_file("/etc/my.cnf", "[mysqld]\nsocket=/no/such.sock\n");
  mkdir("/var/lib/mysql", 0755);
  ASSERT_EQ(symlink(socket.c_str(), "/tmp/mysql.sock"), 0);
  EXPECT_EQ(socket_found(), "/tmp/mysql.sock");
  EXPECT_TRUE(connect()) << message_;
  ASSERT_EQ(symlink(socket.c_str(), "/var/lib/mysql/mysql.sock"), 0);
  EXPECT_EQ(socket_found(), "/var/lib/mysql/mysql.sock");
}

TEST_F(PanelDb, MysqlUnixPortLeavesTheSocketToTheLibrary) {
  const std::string& socket = test_db().socket;
  write_file("/etc/my.cnf", "[mysqld]\nsocket=" + socket + "\n");
  ASSERT_EQ(symlink(socket.c_str(), "/tmp/mysql.sock"), 0);
  setenv("MYSQL_UNIX_PORT", "", 1);
  EXPECT_EQ(socket_found(), socket);
  setenv("MYSQL_UNIX_PORT", socket.c_str(), 1);
  EXPECT_EQ(socket_found(), "(null)");
  // The library reads the variable once, when it initialises: ask a fresh process.
  EXPECT_EQ(zentra_test::run_program({PANEL_DB_PROBE}).out, "sigpipe ignored\nconnected\n");
  setenv("MYSQL_UNIX_PORT", "/no/such.sock", 1);
  EXPECT_NE(zentra_test::run_program({PANEL_DB_PROBE}).out.find("no connection"),
            std::string::npos);
}

TEST_F(PanelDb, SetUpTurnsForeignKeyChecksOffAndChoosesCharsetFromMisc) {
  const std::vector<std::string> binary = {
      "set foreign_key_checks=0", "SHOW VARIABLES LIKE 'version'",
      "select val from misc where param='mysql41_compatible'", "SET NAMES binary"};
  std::vector<std::string> utf8 = binary;
  utf8.back() = "SET NAMES utf8";

  root_sql("DELETE FROM misc WHERE param='mysql41_compatible'");
  EXPECT_EQ(setup_statements(), binary);
  struct Case {
    const char* value;
    const std::vector<std::string>& expected;
  };
  for (const Case& c : {Case{"'true'", utf8}, Case{"'false'", binary}, Case{"''", binary},
                        Case{"NULL", binary}, Case{"'1'", utf8}}) {
    root_sql(std::string("REPLACE misc SET param='mysql41_compatible', val=") + c.value);
    EXPECT_EQ(setup_statements(), c.expected) << c.value;
  }
  root_sql("DELETE FROM misc WHERE param='mysql41_compatible'");

  Handle connection = connect();
  ASSERT_TRUE(connection) << message_;
  EXPECT_STREQ(query_value("SELECT @@foreign_key_checks", connection.get(), 0), "0");
  EXPECT_STREQ(query_value("SELECT @@character_set_client", connection.get(), 0), "binary");
}

TEST_F(PanelDb, OldServerGetsNoSetNames) {
  const std::string state = "/tmp/old-db";
  const std::string script = zentra_test::source_dir() + "/scripts/test-db";
  auto started = zentra_test::run_program(
      {script, "start", state}, "",
      {"ZENTRA_TEST_DB_TMP=/tmp", "ZENTRA_TEST_DB_SERVER_ARGS=--version=4.0.27-log"});
  ASSERT_EQ(started.status, 0) << started.err;
  const zentra_test::TestDb old = zentra_test::read_test_db_env(state + "/env");
  zentra_test::reset_panel_inputs(old);
  point_at(old);
  Handle connection = connect();
  ASSERT_TRUE(connection) << message_;
  EXPECT_EQ(logged_statements(mysql_thread_id(connection.get()), old),
            (std::vector<std::string>{"set foreign_key_checks=0",
                                      "SHOW VARIABLES LIKE 'version'"}));
  connection.reset();

  // Starting over a server left running replaces it with one of the caller's settings.
  started = zentra_test::run_program({script, "start", state}, "", {"ZENTRA_TEST_DB_TMP=/tmp"});
  ASSERT_EQ(started.status, 0) << started.err;
  const zentra_test::TestDb fresh = zentra_test::read_test_db_env(state + "/env");
  EXPECT_EQ(root_sql("SELECT VERSION() LIKE '4.0.27%'", fresh), "0\n");
  EXPECT_EQ(zentra_test::run_program({script, "stop", state}).status, 0);
}

TEST_F(PanelDb, StartInterruptedBeforeTheServerAnswersLeavesItToTheNextStart) {
  // The starter is frozen as soon as the server runs and ended once the server answers
  // (a server still coming up may miss the stop signal). The bracket keeps pgrep from
  // finding this shell by its own text.
  const std::string shell = R"(
    base=/tmp/interrupted-db-base state=/tmp/interrupted-db
    mkdir -p $base
    ZENTRA_TEST_DB_TMP=$base "$0" start $state >/dev/null 2>&1 & starter=$!
    server=
    for i in $(seq 1 600); do
      server=$(pgrep -f -- "--pid-file=$base/zentra-test-d[b]" || true)
      [ -n "$server" ] && break
      sleep 0.05
    done
    kill -STOP $starter
    [ -n "$server" ] || { kill -KILL $starter; echo "no server seen"; exit 1; }
    for i in $(seq 1 600); do
      [ -S $base/zentra-test-db.*/mysqld.sock ] && break
      sleep 0.05
    done
    kill -KILL $starter; wait $starter || true
    ZENTRA_TEST_DB_TMP=$base "$0" start $state >/dev/null
    "$0" stop $state
    if grep -q pid-file /proc/$server/cmdline 2>/dev/null; then
      kill -KILL $server
      echo "server left behind"
    fi
  )";
  const auto run = zentra_test::run_program(
      {"/bin/sh", "-c", shell, zentra_test::source_dir() + "/scripts/test-db"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out, "") << run.err;
}

TEST_F(PanelDb, QueryValueCopiesFirstRowAndReportsFailures) {
  point_at();
  Handle handle = connect();
  ASSERT_TRUE(handle) << message_;
  MYSQL* connection = handle.get();
  EXPECT_STREQ(query_value("SELECT 'abc', NULL UNION SELECT 'def', 'x'", connection, 0), "abc");
  EXPECT_STREQ(query_value("SELECT 'abc', NULL", connection, 1), "");
  EXPECT_STREQ(query_value("SELECT 1 FROM misc WHERE 0", connection, 0), "");
  EXPECT_STREQ(query_value("SELECT 'abc'", connection, 5), "");
  EXPECT_STREQ(query_value("DO 1", connection, 0), "");
  EXPECT_EQ(std::string(query_value("SELECT REPEAT('x', 5000)", connection, 0)).size(), 4095u);

  testing::internal::CaptureStdout();
  const char* failed = query_value("SELEC nonsense", connection, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(failed, nullptr);
  EXPECT_TRUE(starts_with(out,
                          "Unable to query parameter by query SELEC nonsense: You have an "
                          "error in your SQL syntax"))
      << out;
}

TEST_F(PanelDb, GetParamSimpleReadsMiscAndRefusesQuotes) {
  point_at();
  Handle handle = connect();
  ASSERT_TRUE(handle) << message_;
  root_sql("REPLACE misc SET param='zentra_test', val='v 1'");
  EXPECT_STREQ(get_param_simple("zentra_test", handle.get()), "v 1");
  EXPECT_STREQ(get_param_simple("zentra_absent", handle.get()), "");
  testing::internal::CaptureStdout();
  EXPECT_EQ(get_param_simple("x' OR param<>'", handle.get()), nullptr);
  testing::internal::GetCapturedStdout();
  root_sql("DELETE FROM misc WHERE param='zentra_test'");
}

TEST_F(PanelDb, FirstConnectionAttemptIgnoresSigpipeAndReportsFailures) {
  point_at();
  auto run = zentra_test::run_program({PANEL_DB_PROBE});
  EXPECT_EQ(run.out, "sigpipe ignored\nconnected\n");

  setenv("VEXA_DB_PORT", "1", 1);
  run = zentra_test::run_program({PANEL_DB_PROBE});
  const std::string reason =
      "db_connect: failed to connect to database: Error: Can't connect to server on '" +
      test_db().host + "'";
  EXPECT_TRUE(starts_with(run.out, reason)) << run.out;
  EXPECT_TRUE(starts_with(run.err, reason)) << run.err;
  EXPECT_NE(run.out.find("sigpipe ignored\nno connection\n"), std::string::npos) << run.out;

  unlink("/etc/vexa/.vexa.shadow");
  run = zentra_test::run_program({PANEL_DB_PROBE});
  EXPECT_TRUE(starts_with(run.out, "db_connect: Unable to open admin password file "
                                   "/etc/vexa/.vexa.shadow: No such file or directory\n"
                                   "System error 2: No such file or directory\n"))
      << run.out;
}

}  // namespace
