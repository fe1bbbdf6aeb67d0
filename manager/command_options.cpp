#include "manager/command_options.h"

#include "manager/option_values.h"
#include "panel/conf.h"

using kelvor::opt::TOParsing;

std::string CommandOptions::required(const std::string& name) {
  auto result = parsing_.long_opt(name, TOParsing::REQUIRED_VALUE);
  std::string value = result.found() ? result.value() : std::string();
  result.release();
  check_option_value(name, value);
  return value;
}

std::string CommandOptions::optional(const std::string& name) {
  auto result = parsing_.long_opt(name, TOParsing::REQUIRED_VALUE);
  std::string value = result.found() ? result.value() : std::string();
  parsing_.clear();
  result.release();
  if (!value.empty()) check_option_value(name, value);
  return value;
}

bool CommandOptions::flag(const std::string& name) {
  auto result = parsing_.long_opt(name, TOParsing::NO_VALUE);
  const bool found = result.found();
  parsing_.clear();
  result.release();
  return found;
}

void CommandOptions::finish() {
  parsing_.check_unknown();
  load_product_conf();
}
