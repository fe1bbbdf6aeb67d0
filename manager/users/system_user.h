// The module's system user: looking it up, creating it, and running as it.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sys/exec.h"

// An account as the user operations need it, looked up once in the manager's process.
struct SystemUser {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
  std::string shell;
  std::vector<gid_t> groups;  // the account's group and every group it is a member of
};

// The account `name`, or nothing when there is none.
std::optional<SystemUser> find_system_user(const std::string& name);

// The account with user id `uid`, to run programs as; without an account, one of that id
// alone, in group `gid` (the user id's number when `gid` is root's group).
SystemUser system_user_with_id(uid_t uid, gid_t gid);

// The account `name`, to run programs as; throws TUError "Failed to change system user"
// when there is none or it is root.
SystemUser system_user_to_run_as(const std::string& name);

// The account `name`, for its home; throws TUError "Can not found systrm usser" when there
// is none.
SystemUser system_user_with_home(const std::string& name);

// Gives up root for good: supplementary groups, group id and user id become the account's,
// then checks that they did and that root cannot be regained. Throws TUError "Failed to
// change system user" on any failure. Reads no account files, so it suits a forked child.
void drop_privileges(const SystemUser& user);

// Makes the calling process run as the account for good, working in its home and with its
// environment (BASH, HOME, PATH, UID, USER, USERNAME, LOGNAME). Throws TUError "Failed to
// change system user".
void switch_to_user(const std::string& name);

// The account's home directory; throws TUError "Can not found systrm usser".
std::string user_home(const std::string& name);

// Drops the child to the account right after fork, so that the program and every later
// step of its TExec (files it opens, for instance) act with the account's rights only.
class TRunAsUser : public kelvor::sys::TExec::TPrepare {
public:
  explicit TRunAsUser(SystemUser user) : user_(std::move(user)) {}
  void in_child(kelvor::sys::TExec& exec) override;

private:
  SystemUser user_;
};

// A copy of exec that runs as `user`; steps added after this one already run as the user.
kelvor::sys::TExec as_user(const kelvor::sys::TExec& exec, const SystemUser& user);
