#include "manager/users/user_accounts.h"

#include <cstdlib>
#include <pwd.h>
#include <string_view>
#include <vector>

#include "manager/common/file_checks.h"
#include "manager/common/programs.h"
#include "manager/users/system_user.h"
#include "panel/conf.h"
#include "sys/errors.h"

namespace {

const char kCannotCreate[] = "Can not create system user";

const char* const kPreferredNames[] = {"cstrike", "hlds", "hlds_l", "cs", "c_strike", "cs_game", "counter"};

// Numbered names run from "cstrike1000" to "cstrike9999". Draws from the unseeded rand()
// sequence name the account on an ordinary host; when they keep meeting taken names, a sweep
// of every number in order ends the search.
constexpr int kFirstNumber = 1000;
constexpr int kLastNumber = 9999;
constexpr int kDraws = 100;

bool account_exists(const std::string& name) { return find_system_user(name).has_value(); }

std::string numbered_name(int number) { return "cstrike" + std::to_string(number); }

// A number from 0 to 9999, scaled from rand() as the panel has always drawn it.
int draw_number() { return static_cast<int>(static_cast<double>(std::rand()) * 10000.0 / 2147483648.0); }

// The numbers of the accounts that the account database lists, read in one pass: on a host
// with thousands of them, one lookup per number would read the database thousands of times.
std::vector<bool> listed_numbers() {
  std::vector<bool> listed(kLastNumber + 1);
  setpwent();
  while (const passwd* entry = getpwent()) {
    const std::string_view name = entry->pw_name;
    if (name.size() == 11 && name.starts_with("cstrike") && name.find_first_not_of("0123456789", 7) == name.npos)
      listed[static_cast<size_t>(std::stoi(std::string(name.substr(7))))] = true;
  }
  endpwent();
  return listed;
}

std::string free_numbered_name() {
  for (int draw = 0; draw < kDraws; ++draw) {
    const int number = draw_number();
    if (number >= kFirstNumber && !account_exists(numbered_name(number))) return numbered_name(number);
  }
  const std::vector<bool> listed = listed_numbers();
  for (int number = kFirstNumber; number <= kLastNumber; ++number) {
    // A listed name is taken; one that is not is looked up, for databases that list nothing.
    if (!listed[static_cast<size_t>(number)] && !account_exists(numbered_name(number))) return numbered_name(number);
  }
  throw TUError(kCannotCreate);
}

}  // namespace

std::string create_user(const std::string& name) {
  if (program({"useradd", "-s", "/bin/false", "-c", "Kelvor's Counter-Strike", "-m", name}).run().status != 0)
    throw TUError(kCannotCreate);
  // The copies are root's, as cp makes them: the account runs them but cannot change them.
  // The module's own files keep their owner.
  kelvor::sys::TEArgs copy = kelvor::sys::TEArgs().add({"cp", module_shaper_path(), module_library_path()});
  if (exists(module_library32_path())) copy.add(module_library32_path());
  copy.add(user_home(name));
  kelvor::sys::TExec(copy).run();
  return name;
}

std::string generate_user() {
  for (const char* name : kPreferredNames) {
    if (!account_exists(name)) return create_user(name);
  }
  return create_user(free_numbered_name());
}
