// The update job's rows against the test database, with a server that applies a statement
// and then hangs up before it answers.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "manager/updates/update_rows.h"
#include "tests/support/test_db.h"

namespace {

using zentra_test::root_sql;

// How many times the general query log holds `statement`.
int times_sent(const std::string& statement) {
  std::ifstream log(zentra_test::test_db().log);
  int count = 0;
  for (std::string line; std::getline(log, line);) count += line.find(statement) != std::string::npos;
  return count;
}

class UpdateRowsTest : public ::testing::Test {
protected:
  void SetUp() override {
    zentra_test::require_sandbox();
    zentra_test::reset_panel_inputs();
    zentra_test::point_at();
    // Without transactions the killed statement keeps what it wrote.
    root_sql("ALTER TABLE module_zentra_parameters ENGINE=MyISAM");
    root_sql("DELIMITER //\nCREATE TRIGGER hang_up AFTER UPDATE ON module_zentra_parameters FOR EACH ROW "
             "IF NEW.param = 'mod::lost.update.files' AND NEW.val = '5' THEN KILL CONNECTION_ID(); END IF//");
  }
  void TearDown() override {
    root_sql("DROP TRIGGER hang_up; DELETE FROM module_zentra_parameters WHERE param LIKE 'mod::lost.%';"
             "ALTER TABLE module_zentra_parameters ENGINE=InnoDB");
  }
};

// A figure whose reply was lost, set again unchanged while the other figure moves, is read
// back rather than sent a second time, and the rows queued behind it still go out.
TEST_F(UpdateRowsTest, AnUnchangedFigureWhoseReplyWasLostIsReadBackNotSentAgain) {
  kelvor::mysql::Connection db(true);
  UpdateRows rows(db);
  rows.reset("lost");
  ASSERT_TRUE(rows.write());
  rows.set_figures("lost", 100, 5);
  EXPECT_FALSE(rows.write());
  rows.set_figures("lost", 200, 5);
  EXPECT_TRUE(rows.write());
  EXPECT_EQ(times_sent("SET val=5 WHERE param='mod::lost.update.files'"), 1);
  EXPECT_EQ(root_sql("SELECT val FROM module_zentra_parameters WHERE param LIKE 'mod::lost.%' ORDER BY param"),
            "5\nwait\n200\n");
}

}  // namespace
