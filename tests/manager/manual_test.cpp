// The manual page lists every command with the options the command table declares, in the
// order they are read: a command or option added to one and not the other turns this red.
#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manager/commands.h"
#include "tests/support/sandbox.h"

namespace {

// "name required|optional|flag" for each option, the command's name first.
std::string describe(const Command& command) {
  std::string text = command.name;
  for (const OptionSpec& option : command.options) {
    const char* kind = option.kind == OptionKind::required ? "required"
                       : option.kind == OptionKind::optional ? "optional" : "flag";
    text += std::string(" ") + option.name + " " + kind;
  }
  return text;
}

// The same description of one "=item B<--command> B<--option>=I<value> ..." line.
std::string describe(const std::string& item) {
  static const std::regex word(R"(B<--([a-z-]+)>(=I<[^>]*>)?( I<\((optional|flag)\)>)?)");
  std::string text;
  for (std::sregex_iterator m(item.begin(), item.end(), word), end; m != end; ++m) {
    if (text.empty()) {
      text = (*m)[1];
      continue;
    }
    const std::string mark = (*m)[4];
    text += " " + (*m)[1].str() + " " + (mark.empty() ? std::string("required") : mark);
  }
  return text;
}

}  // namespace

TEST(Manual, ListsEveryCommandWithTheOptionsOfTheCommandTable) {
  std::ifstream page(zentra_test::source_dir() + "/man/zentra_mng.8.pod");
  ASSERT_TRUE(page) << "no manual page source";
  std::vector<std::string> listed;
  for (std::string line; std::getline(page, line);)
    if (line.starts_with("=item B<--")) listed.push_back(describe(line));
  std::vector<std::string> declared;
  for (const Command& command : command_table()) declared.push_back(describe(command));
  for (const std::string& command : declared)
    EXPECT_NE(std::find(listed.begin(), listed.end(), command), listed.end()) << "not in the manual: " << command;
}
