#include "manager/users/system_user.h"

#include <algorithm>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "manager/common/programs.h"
#include "sys/errors.h"

namespace {

const char kSwitchFailed[] = "Failed to change system user";

// The groups initgroups would give the account, sorted, each once.
std::vector<gid_t> account_groups(const std::string& name, gid_t gid) {
  std::vector<gid_t> groups(32);
  int count = static_cast<int>(groups.size());
  while (getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) {
    count = std::max(count, static_cast<int>(groups.size()) * 2);
    groups.resize(static_cast<size_t>(count));
  }
  groups.resize(static_cast<size_t>(count));
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  return groups;
}

bool has_groups(const std::vector<gid_t>& expected) {
  const int count = getgroups(0, nullptr);
  if (count < 0 || static_cast<size_t>(count) != expected.size()) return false;
  std::vector<gid_t> groups(expected.size());
  if (getgroups(count, groups.data()) != count) return false;
  std::sort(groups.begin(), groups.end());
  return groups == expected;
}

bool runs_as(const SystemUser& user) {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0) return false;
  if (ruid != user.uid || euid != user.uid || suid != user.uid) return false;
  if (rgid != user.gid || egid != user.gid || sgid != user.gid) return false;
  // Root is given up for good only when it cannot be taken back (a root account never is).
  return has_groups(user.groups) && setuid(0) != 0;
}

}  // namespace

std::optional<SystemUser> find_system_user(const std::string& name) {
  const passwd* entry = getpwnam(name.c_str());
  if (entry == nullptr) return std::nullopt;
  SystemUser user{name, entry->pw_uid, entry->pw_gid, entry->pw_dir, entry->pw_shell, {}};
  user.groups = account_groups(name, user.gid);
  return user;
}

SystemUser system_user_with_id(uid_t uid, gid_t gid) {
  if (const passwd* entry = getpwuid(uid)) {
    const std::string name = entry->pw_name;  // getpwnam reuses the entry's storage
    std::optional<SystemUser> user = find_system_user(name);
    if (user && user->uid == uid) return *user;
  }
  const gid_t group = gid != 0 ? gid : static_cast<gid_t>(uid);
  return SystemUser{"", uid, group, "", "", {group}};
}

SystemUser system_user_to_run_as(const std::string& name) {
  std::optional<SystemUser> user = find_system_user(name);
  // Root is refused here already, not in every child the drop would fail in.
  if (!user || user->uid == 0) throw TUError(kSwitchFailed);
  return *user;
}

void drop_privileges(const SystemUser& user) {
  // Groups first: once the user id has changed, they can no longer be changed.
  if (setgroups(user.groups.size(), user.groups.data()) != 0 || setgid(user.gid) != 0 ||
      setuid(user.uid) != 0 || !runs_as(user))
    throw TUError(kSwitchFailed);
}

void switch_to_user(const std::string& name) {
  const SystemUser user = system_user_to_run_as(name);
  drop_privileges(user);
  if (chdir(user.home.c_str()) != 0) {
    // Working elsewhere is no reason to refuse.
  }
  setenv("BASH", user.shell.c_str(), 1);
  setenv("HOME", user.home.c_str(), 1);
  setenv("PATH", "/bin:/usr/bin:/usr/local/bin", 1);
  setenv("UID", std::to_string(user.uid).c_str(), 1);
  for (const char* variable : {"USER", "USERNAME", "LOGNAME"}) setenv(variable, name.c_str(), 1);
}

SystemUser system_user_with_home(const std::string& name) {
  std::optional<SystemUser> user = find_system_user(name);
  if (!user) throw TUError("Can not found systrm usser");
  return *user;
}

std::string user_home(const std::string& name) { return system_user_with_home(name).home; }

void TRunAsUser::in_child(kelvor::sys::TExec&) { drop_privileges(user_); }

kelvor::sys::TExec as_user(const kelvor::sys::TExec& exec, const SystemUser& user) {
  kelvor::sys::TExec copy = exec;
  copy.add(std::make_shared<TRunAsUser>(user));
  return copy;
}
