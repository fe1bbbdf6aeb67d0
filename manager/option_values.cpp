#include "manager/option_values.h"

#include <algorithm>
#include <string_view>

#include "sys/errors.h"

namespace {

// Becomes exactly one component of a path that root works in.
bool is_path_component(std::string_view value) {
  return !value.empty() && value != "." && value != ".." && value.find('/') == std::string_view::npos;
}

// Also a find -name pattern: no glob characters.
bool is_map_name(std::string_view value) {
  return is_path_component(value) && value.find_first_of("*?[\\") == std::string_view::npos;
}

// What separates the words of a list: isspace in the C locale, as the update job splits it.
constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// A list of path components separated by white space; an empty list is no path at all.
bool is_component_list(std::string_view value) {
  for (size_t start = value.find_first_not_of(kWhiteSpace); start != std::string_view::npos;) {
    const size_t end = std::min(value.find_first_of(kWhiteSpace, start), value.size());
    if (!is_path_component(value.substr(start, end - start))) return false;
    start = value.find_first_not_of(kWhiteSpace, end);
  }
  return true;
}

bool is_decimal_digits(std::string_view value) {
  return !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
}

// A path prefix that may name subdirectories but never climbs out of the game directory.
bool has_no_parent_component(std::string_view value) {
  for (size_t start = 0; start <= value.size();) {
    const size_t end = std::min(value.find('/', start), value.size());
    if (value.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

// Goes between double quotes on one line of a configuration file the game server executes:
// a quote or a line break would end the value and start a command of the sender's choosing.
bool is_quoted_config_value(std::string_view value) {
  return value.find_first_of("\"\r\n") == std::string_view::npos;
}

// Written unquoted into a configuration line.
bool is_decimal_integer(std::string_view value) {
  if (!value.empty() && value.front() == '-') value.remove_prefix(1);
  return is_decimal_digits(value);
}

// Follows an option of the game server's command line. The server runs an argument that
// starts with '+' as a console command, and its start script may split a value at white
// space; a quote or ';' inside a command's value would end it and start another.
bool is_command_line_value(std::string_view value) {
  if (value.empty() || value.front() == '+' || value.front() == '-') return false;
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' || byte == 0x7f || c == '"' || c == '\'' || c == ';';
  });
}

// A game directory, also passed to the game server after -game.
bool is_game_name(std::string_view value) { return is_path_component(value) && is_command_line_value(value); }

struct ValueRule {
  const char* option;
  bool (*is_safe)(std::string_view value);
};

// One row per option whose value needs a check; every command that reads the option gets it.
const ValueRule kValueRules[] = {
    {"game", is_game_name},
    {"games", is_component_list},
    {"game-id", is_decimal_digits},
    {"config-id", is_path_component},
    {"config-dir", has_no_parent_component},
    {"map-name", is_map_name},
    {"uploadfile-name", is_path_component},
    {"hostname", is_quoted_config_value},
    {"rcon-password", is_quoted_config_value},
    {"sv-password", is_quoted_config_value},
    {"sv-lan", is_decimal_integer},
    {"ip", is_command_line_value},
    {"map", is_command_line_value},
    {"port", is_decimal_digits},
    {"maxplayers", is_decimal_digits},
};

}  // namespace

void check_option_value(const std::string& name, const std::string& value) {
  for (const ValueRule& rule : kValueRules) {
    if (name == rule.option && !rule.is_safe(value)) throw TUError("Unsafe value of option '--" + name + "'");
  }
}
