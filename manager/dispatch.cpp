#include "manager/dispatch.h"

#include <cstdio>
#include <string>

#include "manager/command_options.h"
#include "manager/commands.h"
#include "manager/secret_arguments.h"
#include "sys/child_failure.h"

using kelvor::opt::TOParsing;
using kelvor::opt::TOpts;

namespace {

bool short_h_given(TOParsing& parsing) {
  auto result = parsing.short_opt('h');
  const bool found = result.found();
  parsing.clear();
  result.release();
  return found;
}

void run_command_line(TOParsing& parsing) {
  // A command name is a flag: present without a value, and its absence raises nothing.
  for (const Command& command : command_table()) {
    if (CommandOptions(parsing).flag(command.name) &&
        command.handler(read_options(parsing, command.options, command.checks_command_line)))
      return;
  }
  if (short_h_given(parsing)) {
    help({});
    return;
  }
  parsing.clear();
  parsing.check_unknown();
  help({});
}

int report(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 1;
}

}  // namespace

int dispatch(int argc, char** argv) {
  try {
    TOParsing parsing{TOpts(argv, argc)};
    hide_secret_values(argc, argv);
    parsing.exceptions(TOParsing::MISSING | TOParsing::UNKNOWN | TOParsing::BAD_VALUE);
    parsing.clear();
    run_command_line(parsing);
  } catch (...) {
    // The same text a forked child reports: a refusal's or library error's own, else "Error".
    return report(kelvor::sys::error_text(std::current_exception()));
  }
  std::fflush(stdout);
  return 0;
}
