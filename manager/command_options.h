// How a command handler reads its options: in a fixed order, each query released before
// the next, then the unknown-option check and the product configuration. Every value read
// passes the unsafe-value check of option_values.h.
#pragma once

#include <string>

#include "opt/oparsing.h"

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
