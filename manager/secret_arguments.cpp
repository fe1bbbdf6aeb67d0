#include "manager/secret_arguments.h"

#include <cstring>
#include <string_view>

namespace {

// Options whose values are passwords.
constexpr std::string_view kSecretOptions[] = {"password", "rcon-password", "sv-password"};

// The value of `argument` when it is "--NAME=value" for a secret NAME, else null.
char* secret_value(char* argument) {
  const std::string_view text(argument);
  for (const std::string_view name : kSecretOptions) {
    if (text.size() > name.size() + 2 && text.starts_with("--") && text.substr(2).starts_with(name) &&
        text[name.size() + 2] == '=') {
      return argument + name.size() + 3;
    }
  }
  return nullptr;
}

}  // namespace

void hide_secret_values(int argc, char** argv) {
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    if (char* value = secret_value(argv[i])) std::memset(value, '*', std::strlen(value));
  }
}
