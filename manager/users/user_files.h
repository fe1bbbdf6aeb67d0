// Writing into the system user's trees without lending it root's rights.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <sys/types.h>

#include "manager/users/system_user.h"
#include "sys/exec.h"

// Copies the file `source` to `dest` as cp would (an existing file keeps its mode, a new one
// gets the source's, less the umask), the result owned by `user`. The bytes go to a new file
// beside `dest`, renamed into its place: written with the account's rights where the account
// may change that directory, with root's where root alone may, and never through a link at
// or above `dest` that the account planted. `source` is opened with the caller's rights, so
// a file only root may read can be copied. Failures are reported on standard error; `dest`
// is then left as it was.
void copy_as_user(const std::string& source, const std::string& dest, const SystemUser& user);

// Writes the regular file `path` of the account's tree to standard output, at most
// kShownFileLimit bytes: a larger file is refused with a line on standard error. Neither a
// link at the file's own place nor one in a directory the account may write to is followed:
// the account could plant one there to have root show another file. What cannot be shown is
// reported on standard error.
void show_user_file(const std::string& path);
inline constexpr off_t kShownFileLimit = 4 << 20;

// Removes the file `path` (unlink), reached without following a link that another account
// could have planted on the way; the result is not examined.
void remove_file(const std::string& path);

// The account that could plant a link among `paths`: the owner of the first of them (each
// looked at without following a link at its own place) that root does not own.
std::optional<SystemUser> first_owner_other_than_root(std::initializer_list<std::string> paths);

// mkdir -p `path`, run as the owner of the first directory on the way whose entries an
// account other than root may change, or as root where root alone could have made every
// directory there. Below a directory of root's that others may change (/tmp), root makes the
// rest one name at a time from that directory, never through a link. Failures are reported
// on standard error.
void make_directories(const std::string& path);

// Gives `dir` and everything below it to `user` (chown -R); throws TUError "Failed to change
// directory owner" when chown fails.
void chown_tree(const std::string& dir, const std::string& user);

// Working directory `path` for root's program, reached without following a link that another
// account could have planted: links are followed only in directories that root alone may
// write to. When that fails, the child reports it on standard error and ends with status 1
// before the program runs.
class TEnterDirectory : public kelvor::sys::TExec::TPrepare {
public:
  explicit TEnterDirectory(std::string path) : path_(std::move(path)) {}
  void in_child(kelvor::sys::TExec& exec) override;

private:
  std::string path_;
};
