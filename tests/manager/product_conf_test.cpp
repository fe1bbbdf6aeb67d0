// Loading the panel's product configuration, as every command does after its options.
#include <gtest/gtest.h>

#include "tests/manager/manager_run.h"

using zentra_test::run_manager;

namespace {

const char* const kCommand = "--check-install --cs-dir=/nonexistent";

// Rewrites the sandbox's configuration without the lines matching `pattern`.
std::string drop_lines(const std::string& pattern) {
  return "sed -i '/" + pattern + "/d' /etc/vexa/vexa.conf";
}

}  // namespace

TEST(ProductConf, MissingFileStopsAtTheFirstKeyWithTheSystemError) {
  const auto r = run_manager(kCommand, "rm /etc/vexa/vexa.conf");
  const std::string expected =
      "Error: PRODUCT_ROOT_D not defined\n\nSystem error 2: No such file or directory\n";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, expected);
}

TEST(ProductConf, EmptyFileStopsAtTheFirstKey) {
  const auto r = run_manager(kCommand, ": > /etc/vexa/vexa.conf");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: PRODUCT_ROOT_D not defined\n");
}

TEST(ProductConf, KeysWithTheirOwnMessageForms) {
  // Started with its standard input closed, as a panel may do: no stale "System error".
  const std::string closed_stdin = "exec <&-\n";
  auto r = run_manager(kCommand, closed_stdin + drop_lines("^CURL_CA_BUNDLE_FILE"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: CURL_CA_BUNDLE_FILE not defined\n");
  r = run_manager(kCommand, closed_stdin + drop_lines("^FTPD_BIN_D"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: FTPD_BIN_D not defined in product config file\n");
  r = run_manager(kCommand, "sed -i 's/^DUMP_D .*/DUMP_D/' /etc/vexa/vexa.conf");
  EXPECT_EQ(r.out, "Error: DUMP_D not defined\n");
}

TEST(ProductConf, CommandLineIsCheckedBeforeTheConfiguration) {
  const auto r = run_manager("--check-install", "rm /etc/vexa/vexa.conf");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Requires long option '--cs-dir'\n");
  EXPECT_EQ(r.err, "");
}

TEST(ProductConf, HelpNeedsNoConfiguration) {
  const auto r = run_manager("--help", "rm /etc/vexa/vexa.conf");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}
