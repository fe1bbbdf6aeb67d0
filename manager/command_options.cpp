#include "manager/command_options.h"

#include <stdexcept>

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

void OptionValues::set(std::string name, std::string value) {
  values_.emplace_back(std::move(name), std::move(value));
}

const std::string& OptionValues::operator[](std::string_view name) const {
  for (const auto& [declared, value] : values_)
    if (declared == name) return value;
  throw std::logic_error("option not declared: " + std::string(name));
}

OptionValues read_options(TOParsing parsing, std::span<const OptionSpec> options, bool finish) {
  CommandOptions reader(std::move(parsing));
  OptionValues values;
  for (const OptionSpec& option : options) {
    switch (option.kind) {
      case OptionKind::required: values.set(option.name, reader.required(option.name)); break;
      case OptionKind::optional: values.set(option.name, reader.optional(option.name)); break;
      case OptionKind::flag: values.set(option.name, reader.flag(option.name) ? "1" : ""); break;
    }
  }
  if (finish) reader.finish();
  return values;
}
