// A connection the server dropped is opened again with what the first connection used.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mysql/cpp_mysql.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_db.h"

namespace {

using kelvor::mysql::Connection;
using kelvor::mysql::mError;
using kelvor::mysql::mReplyLost;
using kelvor::mysql::Result;
using kelvor::mysql::Row;
using zentra_test::root_sql;
using zentra_test::TestDb;

// What executing the composed statement raised ("(no error)" when nothing) and what the
// connection code printed meanwhile.
struct Outcome {
  std::string error;
  std::string out;
  bool lost = false;  // the error was an mReplyLost
};
Outcome execute_capturing(Connection& conn) {
  testing::internal::CaptureStdout();
  Outcome outcome{"(no error)", "", false};
  try {
    conn.execute();
  } catch (const mReplyLost& error) {
    outcome.error = error.what();
    outcome.lost = true;
  } catch (const mError& error) {
    outcome.error = error.what();
  }
  outcome.out = testing::internal::GetCapturedStdout();
  return outcome;
}

class Reconnect : public ::testing::Test {
protected:
  void SetUp() override {
    zentra_test::reset_panel_inputs();
    zentra_test::point_at();
  }

  static unsigned long id_of(Connection& conn) { return mysql_thread_id(conn.handle()); }

  // By then the job runs as another user: nothing may be read again.
  static void lose_access_to_the_settings() {
    unlink("/etc/vexa/.vexa.shadow");
    unsetenv("VEXA_DB_HOST");
    unsetenv("VEXA_DB_PORT");
  }
};

TEST_F(Reconnect, KilledConnectionIsOpenedAgainAndSetUpAsTheFirst) {
  root_sql("REPLACE misc SET param='mysql41_compatible', val='true'");
  Connection conn(true);
  const unsigned long first = id_of(conn);
  lose_access_to_the_settings();
  root_sql("KILL CONNECTION " + std::to_string(first));

  conn << "REPLACE module_zentra_parameters SET param='mod::cstrike.update.state', val='wait'";
  EXPECT_NO_THROW(conn.execute());
  const unsigned long second = id_of(conn);
  EXPECT_NE(second, first);
  // The set-up chosen by the first connection is replayed, not chosen again.
  EXPECT_EQ(zentra_test::logged_statements(second),
            (std::vector<std::string>{
                "set foreign_key_checks=0", "SET NAMES utf8",
                "REPLACE module_zentra_parameters SET param='mod::cstrike.update.state', "
                "val='wait'"}));
  EXPECT_EQ(root_sql("SELECT val FROM module_zentra_parameters "
                     "WHERE param='mod::cstrike.update.state'"),
            "wait\n");
  root_sql("DELETE FROM misc WHERE param='mysql41_compatible'");
  root_sql("DELETE FROM module_zentra_parameters");
}

TEST_F(Reconnect, DisconnectedConnectionReopensWithTheKeptSettingsAndSessionStatements) {
  Connection conn(true);
  const unsigned long first = id_of(conn);
  lose_access_to_the_settings();
  conn.add_session_statement("SET @zentra_mark=42");
  conn.disconnect();
  conn << "SELECT @zentra_mark";
  Result result = conn.query();
  Row row;
  ASSERT_TRUE(conn.fetch_row(result, row));
  EXPECT_EQ(row.begin()->second.text, "42");
  const unsigned long second = id_of(conn);
  EXPECT_NE(second, first);
  EXPECT_EQ(zentra_test::logged_statements(second),
            (std::vector<std::string>{"set foreign_key_checks=0", "SET NAMES binary",
                                      "SET @zentra_mark=42", "SELECT @zentra_mark"}));
}

TEST_F(Reconnect, ProgramsGetNoneOfTheConnectionsSockets) {
  Connection conn(true);
  // A started program, as the jobs start them: the socket must not be open in it.
  const auto socket_in_a_program = [&] {
    const std::string fd = std::to_string(mysql_get_socket(conn.handle()));
    return zentra_test::run_program({"sh", "-c", "[ -e /proc/$$/fd/" + fd + " ] && echo open || echo closed"}).out;
  };
  EXPECT_EQ(socket_in_a_program(), "closed\n");
  conn.disconnect();
  EXPECT_EQ(socket_in_a_program(), "closed\n") << "after a reconnect";
}

TEST_F(Reconnect, StatementRejectedByTheServerIsNotResent) {
  Connection conn(true);
  const unsigned long id = id_of(conn);
  // MariaDB's 4031 is a missing trigger, whatever the number means elsewhere.
  const std::string statement =
      "CREATE TRIGGER zentra_t BEFORE INSERT ON misc FOR EACH ROW FOLLOWS zentra_none "
      "SET NEW.val=NEW.val";
  conn << statement.c_str();
  const std::string message = execute_capturing(conn).error;
  EXPECT_EQ(message.rfind("Mysql error 4031: ", 0), 0u) << message;
  EXPECT_EQ(id_of(conn), id) << "reconnected for a rejected statement";
}

TEST_F(Reconnect, StatementWhoseAnswerIsLostIsNotSentAgain) {
  root_sql("INSERT INTO module_zentra_servers SET id=7");
  Connection conn(true);
  const unsigned long id = id_of(conn);
  // Applied, and then the connection ends before the answer.
  conn << "CREATE PROCEDURE zentra_add_and_hang_up() BEGIN "
          "UPDATE module_zentra_servers SET total_traffic=total_traffic+5 WHERE id=7; "
          "KILL CONNECTION_ID(); END";
  conn.execute();
  conn << "CALL zentra_add_and_hang_up()";
  const Outcome outcome = execute_capturing(conn);
  EXPECT_TRUE(outcome.lost) << outcome.error;
  EXPECT_EQ(root_sql("SELECT total_traffic FROM module_zentra_servers WHERE id=7"), "5\n");

  conn << "SELECT 1";
  EXPECT_NO_THROW(conn.execute()) << "the next statement opens a new connection";
  EXPECT_NE(id_of(conn), id);
  root_sql("DROP PROCEDURE zentra_add_and_hang_up");
  root_sql("DELETE FROM module_zentra_servers");
}

TEST_F(Reconnect, IdleTimeoutIsSurvived) {
  Connection conn(true);
  conn << "SET SESSION wait_timeout=1";
  conn.execute();
  sleep(3);
  conn << "SELECT 'after the timeout'";
  Result result = conn.query();
  Row row;
  ASSERT_TRUE(conn.fetch_row(result, row));
  EXPECT_EQ(row.begin()->second.text, "after the timeout");
}

// Stops a process and waits until every thread of it has stopped: kill returns before
// they all have, and one still running would answer a statement sent meanwhile.
void stop_whole(pid_t pid) {
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  const auto running_thread = [pid] {
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      std::string stat;
      std::getline(std::ifstream(task.path() / "stat"), stat);
      const size_t name_end = stat.rfind(')');
      if (name_end == std::string::npos || stat.compare(name_end, 3, ") T") != 0) return true;
    }
    return false;
  };
  while (running_thread()) usleep(1000);
}

// A server of this test alone, inside the sandbox: it can be restarted and stopped, and
// dies with the sandbox whatever happens.
class RestartedServer : public Reconnect {
protected:
  void SetUp() override {
    // Outside the sandbox the server would start in the host's /tmp and outlive the refusal.
    zentra_test::require_sandbox();
    auto started = run({"start"});
    ASSERT_EQ(started.status, 0) << started.err;
    db_ = zentra_test::read_test_db_env(kState + "/env");
    zentra_test::reset_panel_inputs(db_);
    zentra_test::point_at(db_);
  }
  void TearDown() override { run({"stop"}); }

  static zentra_test::RunResult run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), zentra_test::source_dir() + "/scripts/test-db");
    arguments.push_back(kState);
    return zentra_test::run_program(arguments, "", {"ZENTRA_TEST_DB_TMP=/tmp"});
  }

  inline static const std::string kState = "/tmp/restarted-db";
  TestDb db_;
};

TEST_F(RestartedServer, StatementAfterARestartIsSentOnceOnANewConnection) {
  root_sql("INSERT INTO module_zentra_servers SET id=7", db_);
  Connection conn(true);
  lose_access_to_the_settings();
  ASSERT_EQ(run({"restart"}).status, 0);

  conn << "UPDATE module_zentra_servers SET total_traffic=total_traffic+" << 5 << " WHERE id=7";
  EXPECT_NO_THROW(conn.execute());
  EXPECT_EQ(root_sql("SELECT total_traffic FROM module_zentra_servers WHERE id=7", db_), "5\n");
}

TEST_F(RestartedServer, ServerStillDownMeansConnectionFailedUntilItIsBack) {
  Connection conn(true);
  lose_access_to_the_settings();
  root_sql("SHUTDOWN", db_);
  for (int i = 0; i < 300 && access(db_.socket.c_str(), F_OK) == 0; ++i) usleep(100 * 1000);

  // The closed connection is noticed before the statement goes out: it was not sent.
  conn << "SELECT 1";
  const Outcome down = execute_capturing(conn);
  EXPECT_EQ(down.error, "connection failed");
  EXPECT_FALSE(down.lost);
  EXPECT_NE(down.out.find("db_connect: failed to connect to database"), std::string::npos)
      << down.out;

  // The next statement tries again.
  ASSERT_EQ(run({"restart"}).status, 0);
  conn << "SELECT 2";
  EXPECT_NO_THROW(conn.execute());
}

TEST_F(RestartedServer, StalledServerTimesOutAndTheStatementIsNotSentAgain) {
  root_sql("INSERT INTO module_zentra_servers SET id=7", db_);
  Connection conn(true);
  Connection writer(true);
  const pid_t server = std::stoi(db_.pid);
  stop_whole(server);
  conn << "UPDATE module_zentra_servers SET total_traffic=total_traffic+5 WHERE id=7";
  const Outcome stalled = execute_capturing(conn);
  // More than the socket buffers hold: the write itself blocks.
  writer << "SELECT '" << std::string(32 << 20, 'x') << "'";
  const Outcome writing = execute_capturing(writer);
  conn << "SELECT 1";
  const Outcome connecting = execute_capturing(conn);
  ASSERT_EQ(kill(server, SIGCONT), 0);

  EXPECT_TRUE(stalled.lost) << stalled.error;
  EXPECT_FALSE(writing.lost) << writing.error;
  EXPECT_EQ(writing.error.rfind("Mysql error 2006: ", 0), 0u) << writing.error;
  EXPECT_EQ(connecting.error, "connection failed");
  // The server still runs what reached it before the client gave up: once.
  std::string total;
  for (int i = 0; i < 100 && total != "5\n"; ++i, usleep(50 * 1000)) {
    total = root_sql("SELECT total_traffic FROM module_zentra_servers WHERE id=7", db_);
  }
  EXPECT_EQ(total, "5\n");
  conn << "UPDATE module_zentra_servers SET total_traffic=total_traffic+1 WHERE id=7";
  EXPECT_NO_THROW(conn.execute());
  EXPECT_EQ(root_sql("SELECT total_traffic FROM module_zentra_servers WHERE id=7", db_), "6\n");
}

}  // namespace
