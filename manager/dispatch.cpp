#include "manager/dispatch.h"

#include <cstdio>
#include <string>

#include "manager/commands.h"
#include "sys/errors.h"

using kelvor::opt::TOParsing;
using kelvor::opt::TOpts;

namespace {

// True when --name is given without a value; an absent name raises nothing.
bool command_given(TOParsing& parsing, const char* name) {
  auto result = parsing.long_opt(name, TOParsing::NO_VALUE);
  const bool found = result.found();
  parsing.clear();
  result.release();
  return found;
}

bool short_h_given(TOParsing& parsing) {
  auto result = parsing.short_opt('h');
  const bool found = result.found();
  parsing.clear();
  result.release();
  return found;
}

void run_command_line(TOParsing& parsing) {
  for (const Command& command : command_table()) {
    if (command_given(parsing, command.name) && command.handler(parsing)) return;
  }
  if (short_h_given(parsing)) {
    help(parsing);
    return;
  }
  parsing.clear();
  parsing.check_unknown();
  help(parsing);
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
    parsing.exceptions(TOParsing::MISSING | TOParsing::UNKNOWN | TOParsing::BAD_VALUE);
    parsing.clear();
    run_command_line(parsing);
  } catch (const TUError& e) {
    return report(e.message());
  } catch (const kelvor::TError& e) {
    return report(e.what());
  } catch (...) {
    return report("Error");
  }
  std::fflush(stdout);
  return 0;
}
