// Writing into the system user's trees without lending it root's rights.
#pragma once

#include <string>
#include <sys/types.h>

#include "manager/users/system_user.h"
#include "sys/exec.h"

// Copies the file `source` to `dest` as cp would (an existing file keeps its mode, a new one
// gets the source's, less the umask), writing with the rights of `user` only: links the
// account planted at or above `dest` reach nothing it could not write itself. `source` is
// opened with the caller's rights, so a file only root may read can be copied. A source
// that cannot be read is reported on standard error and nothing is written.
void copy_as_user(const std::string& source, const std::string& dest, const SystemUser& user);

// Writes the regular file `path` of the account's tree to standard output with cat. Neither
// a link at the file's own place nor one in a directory the account may write to is
// followed: the account could plant one there to have root show another file. What cannot
// be shown is reported on standard error.
void show_user_file(const std::string& path);

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

// Standard output into `path`, opened (created with `mode`, or truncated) by the child with
// whatever rights it has by then. When it cannot be opened, the child reports that on
// standard error and ends with status 1 before the program runs.
class TCreateOutput : public kelvor::sys::TExec::TPrepare {
public:
  TCreateOutput(std::string path, mode_t mode) : path_(std::move(path)), mode_(mode) {}
  void in_child(kelvor::sys::TExec& exec) override;

private:
  std::string path_;
  mode_t mode_;
};
