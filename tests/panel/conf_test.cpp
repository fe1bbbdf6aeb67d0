#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "panel/conf.h"

namespace {

// A configuration file in a private temporary directory, loaded into the process cache.
class ConfFile : public ::testing::Test {
protected:
  void SetUp() override {
    char dir_template[] = "/tmp/zentra-conf-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    path_ = dir_ + "/vexa.conf";
  }
  void TearDown() override {
    panel_conf::reset_cache();
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  bool load(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    return panel_conf::load_cache_from(path_.c_str());
  }
  // The value of `key`, or "<null>".
  std::string value(const char* key) {
    const char* v = get_conf_param(key);
    return v ? v : "<null>";
  }
  std::string dir_, path_;
};

}  // namespace

TEST_F(ConfFile, WhitespaceAroundKeyAndValue) {
  ASSERT_TRUE(load("  PRODUCT_ROOT_D   /usr/local/panel  \n\tWEB_STAT /usr/bin/web stat\n"));
  EXPECT_EQ(value("PRODUCT_ROOT_D"), "/usr/local/panel");
  EXPECT_EQ(value("WEB_STAT"), "/usr/bin/web stat");
}

TEST_F(ConfFile, KeyMustBeFollowedByWhitespaceAndAValue) {
  ASSERT_TRUE(load("PRODUCT_ROOT_D=/usr/local/panel\nPRODUCT_ROOT_DIR /x\nPRODUCT_ROOT_D\nDUMP_D   \n"));
  EXPECT_EQ(value("PRODUCT_ROOT_D"), "<null>");
  EXPECT_EQ(value("DUMP_D"), "<null>");  // trailing blanks of a line are cut with its newline
}

TEST_F(ConfFile, FirstMatchWinsAndCommentsNeverMatch) {
  ASSERT_TRUE(load("# PRODUCT_ROOT_D /commented\nPRODUCT_ROOT_D /first\nPRODUCT_ROOT_D /second\n"));
  EXPECT_EQ(value("PRODUCT_ROOT_D"), "/first");
}

TEST_F(ConfFile, CarriageReturnsAreDropped) {
  ASSERT_TRUE(load("PRODUCT_ROOT_D /usr/local/panel\r\nDUMP_D /dumps\r\n"));
  EXPECT_EQ(value("PRODUCT_ROOT_D"), "/usr/local/panel");
  EXPECT_EQ(value("DUMP_D"), "/dumps");
}

TEST_F(ConfFile, LastLineWithoutNewlineKeepsTrailingBlanks) {
  ASSERT_TRUE(load("A /a\nDUMP_D /dumps  "));
  EXPECT_EQ(value("DUMP_D"), "/dumps  ");
  EXPECT_EQ(value("A"), "/a");
}

TEST_F(ConfFile, BlankLinesAndKeysInsideValuesAreSkipped) {
  ASSERT_TRUE(load("\n\n   \nX PRODUCT_ROOT_D /wrong\nPRODUCT_ROOT_D /right\n"));
  EXPECT_EQ(value("PRODUCT_ROOT_D"), "/right");
  EXPECT_EQ(value("MISSING"), "<null>");
}

TEST_F(ConfFile, EmptyFileDefinesNothing) {
  EXPECT_FALSE(load(""));
}

TEST_F(ConfFile, FileIsReadOncePerProcess) {
  ASSERT_TRUE(load("PRODUCT_ROOT_D /a\n"));
  const int loads = panel_conf::cache_loads();
  EXPECT_EQ(value("PRODUCT_ROOT_D"), "/a");
  std::ofstream(path_) << "PRODUCT_ROOT_D /changed\n";
  EXPECT_EQ(value("PRODUCT_ROOT_D"), "/a");
  EXPECT_EQ(panel_conf::cache_loads(), loads);
}
