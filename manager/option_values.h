// The one place where option values that would be unsafe to use are refused.
#pragma once

#include <string>

// Refuses a value that is unsafe for option `name` (without the dashes): throws TUError
// "Unsafe value of option '--NAME'". Options without a rule accept every value.
void check_option_value(const std::string& name, const std::string& value);
