// How the options of a command are read: in a fixed order, each query released before the
// next, then the unknown-option check and the product configuration. Every value read passes
// the unsafe-value check of option_values.h.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "opt/oparsing.h"

// required: --name=value with a non-empty value. optional: the same or absent (a bare --name
// stays unasked). flag: --name without a value (a --name=value stays unasked).
enum class OptionKind { required, optional, flag };

struct OptionSpec {
  const char* name;
  OptionKind kind;
};

// The values of the options a command declares; a flag given reads as "1".
class OptionValues {
public:
  // Records the value of the declared option `name`.
  void set(std::string name, std::string value);
  // The value of declared option `name`: "" when an optional one or a flag is absent.
  // Throws std::logic_error for a name the command does not declare.
  const std::string& operator[](std::string_view name) const;
  // Whether declared option `name` was given with a value, or as a flag.
  bool given(std::string_view name) const { return !(*this)[name].empty(); }

private:
  std::vector<std::pair<std::string, std::string>> values_;
};

// Asks for `options` in their order, then, when `finish` is set, finishes (see
// CommandOptions::finish); raises at the first that is missing, empty or unsafe, as the
// queries of CommandOptions do.
OptionValues read_options(kelvor::opt::TOParsing parsing, std::span<const OptionSpec> options,
                          bool finish);

class CommandOptions {
public:
  explicit CommandOptions(kelvor::opt::TOParsing parsing) : parsing_(std::move(parsing)) {}

  // --name=value with a non-empty value; raises when it is missing, empty or unsafe.
  std::string required(const std::string& name);
  // --name=value with a non-empty value, or "" when absent (a bare --name stays unasked);
  // raises when the value is unsafe.
  std::string optional(const std::string& name);
  // --name without a value; false when absent (a --name=value stays unasked).
  bool flag(const std::string& name);
  // Rejects any option nobody asked for, then loads the product configuration.
  void finish();

private:
  kelvor::opt::TOParsing parsing_;
};
