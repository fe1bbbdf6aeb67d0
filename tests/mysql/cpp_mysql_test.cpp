// Composition, escaping, statements and results of kelvor::mysql::Connection.
#include "mysql/cpp_mysql.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"
#include "tests/support/test_db.h"

namespace {

using kelvor::mysql::Connection;
using kelvor::mysql::escaped;
using kelvor::mysql::escaped_name;
using kelvor::mysql::mError;
using kelvor::mysql::Result;
using kelvor::mysql::Row;
using zentra_test::logged_commands;
using zentra_test::logged_statements;
using zentra_test::root_sql;

class MysqlConnection : public ::testing::Test {
protected:
  void SetUp() override {
    zentra_test::reset_panel_inputs();
    zentra_test::point_at();
  }

  // The statements the server received on this connection after its set-up.
  static std::vector<std::string> sent(Connection& conn) {
    std::vector<std::string> statements = logged_statements(mysql_thread_id(conn.handle()));
    const auto names = std::find_if(statements.begin(), statements.end(), [](auto& s) {
      return s.rfind("SET NAMES", 0) == 0;
    });
    if (names != statements.end()) statements.erase(statements.begin(), names + 1);
    return statements;
  }

  static std::string single_value(Connection& conn) {
    Result result = conn.query();
    Row row;
    EXPECT_TRUE(conn.fetch_row(result, row));
    return row.begin()->second.text;
  }

  static std::string error_of(Connection& conn) {
    try {
      conn.execute();
    } catch (const mError& error) {
      return error.what();
    }
    return "(no error)";
  }
};

TEST_F(MysqlConnection, ManipulatorsAffectExactlyTheNextItem) {
  Connection conn(true);
  conn << "SELECT 'a', '" << escaped << "it's" << "'";
  conn.execute();
  conn << "SELECT `" << escaped_name << "we`ird" << "` FROM (SELECT 1 AS `we``ird`) t";
  conn.execute();
  conn << "SELECT " << escaped << 42 << ", " << escaped << -1.5 << ", " << 7;
  conn.execute();
  EXPECT_EQ(sent(conn), (std::vector<std::string>{
                            "SELECT 'a', 'it\\'s'",
                            "SELECT `we``ird` FROM (SELECT 1 AS `we``ird`) t",
                            "SELECT 42, -1.500000, 7",
                        }));
}

TEST_F(MysqlConnection, CharactersAndEveryIntegerTypeAreInsertedExactly) {
  Connection conn(true);
  conn << "SELECT " << '\'' << 'c' << '\'' << ", " << 3000000000u << ", "
       << std::numeric_limits<long long>::min() << ", " << std::numeric_limits<size_t>::max()
       << ", " << static_cast<unsigned char>(200) << ", '" << escaped << '\'' << "'";
  conn.execute();
  EXPECT_EQ(sent(conn), (std::vector<std::string>{
                            "SELECT 'c', 3000000000, -9223372036854775808, "
                            "18446744073709551615, 200, '\\''"}));
}

TEST_F(MysqlConnection, FailedEscapeLeavesNothingForTheNextStatement) {
  unlink("/etc/vexa/.vexa.shadow");
  Connection conn(false);
  testing::internal::CaptureStdout();
  EXPECT_THROW(conn << "DELETE FROM misc WHERE param='" << escaped << "x", mError);
  testing::internal::GetCapturedStdout();
  zentra_test::write_password_file(zentra_test::test_db().password);
  conn << "SELECT 'next'";
  EXPECT_EQ(single_value(conn), "next");
}

TEST_F(MysqlConnection, EveryResultOfACallIsRead) {
  root_sql("DROP PROCEDURE IF EXISTS zentra_two");
  Connection conn(true);
  conn << "CREATE PROCEDURE zentra_two() BEGIN SELECT 1; SELECT 2; END";
  conn.execute();
  conn << "CALL zentra_two()";
  conn.execute();
  conn << "CALL zentra_two()";
  EXPECT_EQ(single_value(conn), "1");
  conn << "SELECT 'in sync'";
  EXPECT_EQ(single_value(conn), "in sync");
  root_sql("DROP PROCEDURE zentra_two");
}

TEST_F(MysqlConnection, EscapedValuesRoundTrip) {
  Connection conn(true);
  const char raw[] = "q'uo\"te\\back\nline\0nul";
  const std::string nasty(raw, sizeof raw - 1);
  conn << "REPLACE misc SET param='zentra_escape', val='" << escaped << nasty << "'";
  conn.execute();
  conn << "SELECT val FROM misc WHERE param='zentra_escape'";
  EXPECT_EQ(single_value(conn), nasty);
  conn << "DELETE FROM misc WHERE param='zentra_escape'";
  conn.execute();
  EXPECT_EQ(conn.escape_value(""), "");
}

TEST_F(MysqlConnection, EscapeNameDoublesBackquotes) {
  EXPECT_EQ(Connection::escape_name(""), "");
  EXPECT_EQ(Connection::escape_name("`"), "``");
  EXPECT_EQ(Connection::escape_name("``"), "````");
  EXPECT_EQ(Connection::escape_name("a`b`"), "a``b``");
  EXPECT_EQ(Connection::escape_name("plain"), "plain");
}

TEST_F(MysqlConnection, FailedStatementsCarryTheServerErrorAndLeaveTheConnectionUsable) {
  Connection conn(true);
  const unsigned long id = mysql_thread_id(conn.handle());
  conn << "SELECT 1";
  conn.execute();
  EXPECT_EQ(error_of(conn), "Mysql error 1065: Query was empty\n executing query");

  conn << "SELEC 1" << escaped;
  const std::string syntax = error_of(conn);
  EXPECT_EQ(syntax.rfind("Mysql error 1064: You have an error in your SQL syntax", 0), 0u)
      << syntax;
  EXPECT_EQ(syntax.substr(syntax.size() - 17), "\n executing query");

  // The failed statement and the pending manipulator are gone.
  conn << "SELECT 'x'";
  EXPECT_EQ(single_value(conn), "x");
  EXPECT_EQ(mysql_thread_id(conn.handle()), id) << "a rejected statement is no lost connection";
}

TEST_F(MysqlConnection, QueryAndFetchRow) {
  Connection conn(true);
  conn << "SELECT 1 AS n, NULL AS z, '' AS e UNION SELECT 2, 'v', 'w'";
  Result result = conn.query();
  Row row;
  ASSERT_TRUE(conn.fetch_row(result, row));
  EXPECT_EQ(row.size(), 3u);
  EXPECT_EQ(row["n"].text, "1");
  EXPECT_TRUE(row["z"].is_null);
  EXPECT_EQ(row["z"].text, "");
  EXPECT_FALSE(row["e"].is_null);
  ASSERT_TRUE(conn.fetch_row(result, row));
  EXPECT_EQ(row["n"].text, "2");
  EXPECT_EQ(row["z"].text, "v");
  EXPECT_FALSE(row["z"].is_null);
  EXPECT_FALSE(conn.fetch_row(result, row));
  EXPECT_EQ(row["n"].text, "2") << "no row leaves the row as it was";

  conn << "SELECT 1 AS a, 2 AS a";
  Result twice = conn.query();
  try {
    conn.fetch_row(twice, row);
    FAIL() << "no error for a duplicated column";
  } catch (const mError& error) {
    EXPECT_STREQ(error.what(), "duplicated field a in query");
  }

  conn << "DO 1";
  try {
    conn.query();
    FAIL() << "no error for a statement without a result";
  } catch (const mError& error) {
    EXPECT_STREQ(error.what(), "Unknown error\n fetching result");
  }
}

TEST_F(MysqlConnection, NoDatabaseMeansConnectionFailedAndALaterCallTriesAgain) {
  unlink("/etc/vexa/.vexa.shadow");
  testing::internal::CaptureStdout();
  try {
    Connection conn(true);
    FAIL() << "connected without a password";
  } catch (const mError& error) {
    EXPECT_STREQ(error.what(), "connection failed");
  }
  Connection later(false);
  EXPECT_THROW(later.handle(), mError);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("db_connect: Unable to open admin password file", 0), 0u) << out;

  zentra_test::write_password_file(zentra_test::test_db().password);
  EXPECT_NE(later.handle(), nullptr);
}

TEST_F(MysqlConnection, SelfTestPrintsItsChecks) {
  // The expected line numbers are those of the checks in the wrapper's source.
  std::ifstream source(zentra_test::source_dir() + "/mysql/cpp_mysql.cpp");
  std::vector<int> lines;
  std::string line;
  for (int number = 1; std::getline(source, line); ++number) {
    if (line.find("SHOW_CHECK(conn.escape_name(") != std::string::npos) lines.push_back(number);
  }
  ASSERT_EQ(lines.size(), 4u);

  testing::internal::CaptureStderr();
  Connection::test();
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string prefix = "static void kelvor::mysql::Connection::test()(cpp_mysql:";
  const std::string expected =
      prefix + std::to_string(lines[0]) + ")conn.escape_name(\"aaaa\")=aaaa\n" +
      prefix + std::to_string(lines[1]) + ")conn.escape_name(\"a`aaa\")=a``aaa\n" +
      prefix + std::to_string(lines[2]) + ")conn.escape_name(\"a``aaa\")=a````aaa\n" +
      prefix + std::to_string(lines[3]) + ")conn.escape_name(\"a``aa`a\")=a````aa``a\n";
  EXPECT_EQ(err, expected);
}

TEST_F(MysqlConnection, ForkedChildLeavesTheParentsConnectionAlone) {
  auto conn = std::make_unique<Connection>(true);
  const unsigned long id = mysql_thread_id(conn->handle());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    conn.reset();  // as a child that failed to exec and unwinds
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  *conn << "SELECT CONNECTION_ID()";
  EXPECT_EQ(single_value(*conn), std::to_string(id)) << "the parent had to reconnect";
  for (const auto& command : logged_commands(id)) {
    EXPECT_NE(command.command, "Quit") << "the child said goodbye for the parent";
  }
  conn.reset();
  // The server logs the goodbye on its own time.
  bool quit = false;
  for (int i = 0; i < 100 && !quit; ++i, usleep(50 * 1000)) {
    quit = logged_commands(id).back().command == "Quit";
  }
  EXPECT_TRUE(quit) << "the parent closes it for good";
}

}  // namespace
