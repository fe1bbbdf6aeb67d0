// The command front end as the panel sees it: answer lines and exit statuses.
#include <gtest/gtest.h>

#include "tests/manager/manager_run.h"

using zentra_test::run_manager;

namespace {

void expect_answer(const std::string& args, int status, const std::string& out) {
  const auto r = run_manager(args);
  EXPECT_EQ(r.status, status) << args << "\n" << r.err;
  EXPECT_EQ(r.out, out) << args;
  EXPECT_EQ(r.err, "") << args;
}

}  // namespace

TEST(Dispatch, HelpAndEmptyCommandLinesSucceedSilently) {
  for (const char* args : {"", "--help", "-h", "plain words only", "start-game", "--help --foo", "-h --foo"}) {
    expect_answer(args, 0, "");
  }
}

TEST(Dispatch, UnknownOptionsAreReported) {
  expect_answer("--foo", 1, "Unknown option '--foo'\n");
  expect_answer("-x", 1, "Unknown option '-x'\n");
  expect_answer("--zeta --alpha", 1, "Unknown option '--alpha'\n");
  expect_answer("--check-install=1 --cs-dir=/x", 1, "Unknown option '--check-install'\n");
}

TEST(Dispatch, RequiredOptionsAreCheckedInTableOrder) {
  expect_answer("--check-install", 1, "Requires long option '--cs-dir'\n");
  expect_answer("--check-install --cs-dir=", 1, "Incorrect long option '--cs-dir'\n");
  expect_answer("--check-install --cs-dir /x", 1, "Incorrect long option '--cs-dir'\n");
  expect_answer("--create-steam-account", 1, "Requires long option '--sys-user'\n");
  expect_answer("--create-steam-account --answer=a --sys-user=u", 1, "Requires long option '--username'\n");
  expect_answer("--start-game --cs-dir=/x --sys-user=u --game=cstrike --game-id=7", 1,
                "Requires long option '--port'\n");
}

TEST(Dispatch, OnlyTheFirstCommandOfTheTableRuns) {
  expect_answer("--check-game --check-install --cs-dir=/x --game=cstrike", 1, "Unknown option '--check-game'\n");
  expect_answer("--check-install --cs-dir=/x -h", 1, "Unknown option '-h'\n");
  expect_answer("--check-install --cs-dir=/x --help", 1, "Unknown option '--help'\n");
}

TEST(Dispatch, ValueModesOfOptionalOptionsAndFlags) {
  const std::string update = "--update-games --cs-dir=/x --sys-user=u --games=cstrike ";
  expect_answer(update + "--no-daemon", 1, "Unknown option '--no-daemon'\n");
  expect_answer(update + "--username=", 1, "Unknown option '--username'\n");
  const std::string start =
      "--start-game --cs-dir=/x --sys-user=u --game=cstrike --game-id=7 --port=27015 --maxplayers=16 "
      "--sv-lan=0 --secure=1 ";
  expect_answer(start + "--autoupdate=1", 1, "Unknown option '--autoupdate'\n");
  expect_answer(start + "--no-daemon=1", 1, "Unknown option '--no-daemon'\n");
}
