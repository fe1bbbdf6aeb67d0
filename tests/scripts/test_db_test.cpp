// scripts/test-db reclaims the servers that earlier runs left, and only those. Run inside
// the sandbox, where the servers' directory is a private /tmp.
#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

TEST(TestDb, ServersWhoseRecordIsGoneAreReclaimedAndOthersKept) {
  const std::string script =
      "db=" + zentra_test::shell_quote(zentra_test::source_dir() + "/scripts/test-db") + R"(
    export ZENTRA_TEST_DB_TMP=/tmp
    $db start /tmp/gone >/dev/null
    . /tmp/gone/env
    rm -rf /tmp/gone   # its clone deleted, or its run killed and its tree removed
    ZENTRA_TEST_DB_TMP=/tmp/ $db start /tmp/live >/dev/null   # the same place, spelled otherwise
    $db start /tmp/other >/dev/null   # another clone's start leaves the live one alone
    kill -0 "$ZENTRA_TEST_DB_PID" 2>/dev/null && echo "left-over server still runs"
    [ -e "$ZENTRA_TEST_DB_DIR" ] && echo "left-over directory still there"
    $db status /tmp/live >/dev/null && echo "live server kept"
    stat -c %a /tmp/live/env
    $db stop /tmp/live
    $db stop /tmp/other
  )";
  const auto r = zentra_test::sandbox_run(script);
  EXPECT_EQ(r.out, "live server kept\n600\n") << r.err;
}
