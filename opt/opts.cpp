#include "opt/opts.h"

namespace kelvor::opt {
namespace {

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "--name" or "--name=value" with a name of letters, '-' and '_' starting with a letter or '_'.
bool split_long_option(const std::string& arg, std::string& name, std::string& value) {
  if (arg.size() <= 2 || arg[0] != '-' || arg[1] != '-') return false;
  if (!is_letter(arg[2]) && arg[2] != '_') return false;
  const size_t eq = arg.find('=');
  const size_t name_end = eq == std::string::npos ? arg.size() : eq;
  for (size_t i = 3; i < name_end; ++i) {
    if (!is_letter(arg[i]) && arg[i] != '-' && arg[i] != '_') return false;
  }
  name = arg.substr(2, name_end - 2);
  value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
  return true;
}

// "-abc": a dash followed by letters and '_' only.
bool is_short_group(const std::string& arg) {
  if (arg.size() <= 1 || arg[0] != '-') return false;
  for (size_t i = 1; i < arg.size(); ++i) {
    if (!is_letter(arg[i]) && arg[i] != '_') return false;
  }
  return true;
}

}  // namespace

TOpts::TOutOfRange::TOutOfRange(int index, TOpts opts)
    : TOptsError("Wrong index (index = " + std::to_string(index) + ")", std::move(opts)), index_(index) {}

TOpts::TOpts(const char* const* argv, int argc) : body_(std::make_shared<Body>()) {
  if (argv == nullptr || argc <= 0 || argv[0] == nullptr) return;
  body_->program = argv[0];
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) parse(argv[i]);
}

namespace {

int count_arguments(const char* const* argv) {
  int count = 0;
  while (argv != nullptr && argv[count] != nullptr) ++count;
  return count;
}

}  // namespace

TOpts::TOpts(const char* const* argv) : TOpts(argv, count_arguments(argv)) {}

const std::string& TOpts::arg(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= body_->args.size()) throw TOutOfRange(index, *this);
  return body_->args[static_cast<size_t>(index)];
}

void TOpts::parse(const char* argument) {
  const size_t index = body_->args.size();
  body_->args.emplace_back(argument);
  const std::string& arg = body_->args.back();
  std::string name, value;
  if (split_long_option(arg, name, value)) {
    body_->longs[name] = LongEntry{name, value, index};  // the last occurrence wins
  } else if (is_short_group(arg)) {
    for (size_t i = 1; i < arg.size(); ++i) {
      body_->shorts[static_cast<signed char>(arg[i])] = ShortEntry{arg[i], index};
    }
  }
}

}  // namespace kelvor::opt
