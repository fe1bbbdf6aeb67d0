// The one check that every command applies to option values that become paths.
#include <gtest/gtest.h>

#include "manager/option_values.h"
#include "sys/errors.h"

namespace {

bool refused(const std::string& option, const std::string& value) {
  try {
    check_option_value(option, value);
    return false;
  } catch (const TUError& e) {
    EXPECT_EQ(e.message(), "Unsafe value of option '--" + option + "'");
    return true;
  }
}

}  // namespace

TEST(OptionValues, ValuesThatWouldLeaveTheirDirectoryAreRefused) {
  for (const char* option : {"game", "game-id", "config-id", "map-name", "uploadfile-name"}) {
    for (const char* value : {"", ".", "..", "a/b", "/x", "x/"}) EXPECT_TRUE(refused(option, value)) << option << value;
  }
  for (const char* value : {"*", "de_?", "[a]", "a\\b", "de_*"}) EXPECT_TRUE(refused("map-name", value)) << value;
  for (const char* value : {"7a", "-1", " 7", "+7"}) EXPECT_TRUE(refused("game-id", value)) << value;
  for (const char* value : {"..", "../", "/..", "a/../b/", "cfg/.."}) EXPECT_TRUE(refused("config-dir", value)) << value;
  for (const char* value : {"cstrike ..", "a/b czero", "cstrike\t.\n"}) EXPECT_TRUE(refused("games", value)) << value;
}

TEST(OptionValues, ValuesThatWouldEndTheirConfigurationLineAreRefused) {
  for (const char* option : {"hostname", "rcon-password", "sv-password"}) {
    for (const char* value : {"a\"; quit", "a\nquit", "a\rquit", "\""}) EXPECT_TRUE(refused(option, value)) << option;
    EXPECT_FALSE(refused(option, "My 'best' server; no. 1 \\o/")) << option;
  }
  for (const char* value : {"", "-", "1 ", "1;quit", "0x1", "1\n"}) EXPECT_TRUE(refused("sv-lan", value)) << value;
  for (const char* value : {"0", "1", "-1", "007"}) EXPECT_FALSE(refused("sv-lan", value)) << value;
}

TEST(OptionValues, ValuesThatWouldAddACommandToTheGameServersCommandLineAreRefused) {
  for (const char* option : {"ip", "map", "game"}) {
    for (const char* value : {"de_dust +rcon_password x", "+quit", "-console", "de_dust;quit", "a\tb", "a\nquit",
                              "\"a\"", "'a'"}) {
      EXPECT_TRUE(refused(option, value)) << option << " " << value;
    }
  }
  for (const char* option : {"port", "maxplayers"}) {
    for (const char* value : {"", "27015 +quit", "16;quit", "+16", "-1", "1e3"}) EXPECT_TRUE(refused(option, value)) << option << value;
  }
  for (const char* value : {"de_dust2", "cs_office-v2", "aim_map.final"}) EXPECT_FALSE(refused("map", value)) << value;
  EXPECT_FALSE(refused("ip", "192.168.0.10"));
  EXPECT_FALSE(refused("ip", "2001:db8::1"));
  EXPECT_FALSE(refused("port", "27015"));
  EXPECT_FALSE(refused("maxplayers", "32"));
}

TEST(OptionValues, OrdinaryValuesPass) {
  EXPECT_FALSE(refused("game", "cstrike"));
  EXPECT_FALSE(refused("game-id", "0123"));
  EXPECT_FALSE(refused("map-name", "de_dust2 (v2)..final"));
  EXPECT_FALSE(refused("uploadfile-name", "my maps.zip"));
  EXPECT_FALSE(refused("config-dir", "/cfg/..x/.../"));
  EXPECT_FALSE(refused("games", " cssource\tit's\n...  "));
  EXPECT_FALSE(refused("file", "../../etc/passwd"));  // the panel's own path: no rule
}
