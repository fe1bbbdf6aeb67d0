#include "manager/users/user_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/common/programs.h"
#include "panel/file_descriptor.h"
#include "sys/errors.h"
#include "sys/redirect.h"

namespace {

void report(const std::string& path, const char* reason) {
  std::fprintf(stderr, "zentra_mng: %s: %s\n", path.c_str(), reason);
}

// A child whose step failed on `path`: says why (errno) on standard error and ends, status 1.
[[noreturn]] void end_child_failed_on(const std::string& path) {
  const std::string line = "zentra_mng: " + path + ": " + std::strerror(errno) + "\n";
  if (write(STDERR_FILENO, line.data(), line.size()) < 0) {
    // Nothing more can be said.
  }
  _exit(1);
}

// Only root can change the entries of a directory that no other account may write to.
bool only_root_writes(int dir) {
  struct stat st;
  return fstat(dir, &st) == 0 && st.st_uid == 0 && (st.st_mode & S_IWOTH) == 0 &&
         ((st.st_mode & S_IWGRP) == 0 || st.st_gid == 0);
}

// The directory `path`, opened one name at a time; a link is followed only where root alone
// could have made it. -1 (errno set) when it cannot be opened so.
int open_directory_without_planted_links(const std::string& path) {
  int dir = open(path.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t start = 0; dir >= 0 && start < path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (only_root_writes(dir) ? 0 : O_NOFOLLOW);
    const int next = openat(dir, name.c_str(), flags);
    const int error = errno;
    close(dir);
    errno = error;
    dir = next;
  }
  return dir;
}

// The file `path` opened with `flags`, never through a link at its own place, nor through a
// link on the way that another account could have planted. -1 (errno set) otherwise.
int open_file_without_planted_links(const std::string& path, int flags) {
  const size_t slash = path.rfind('/');
  const std::string dir_path = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int dir = open_directory_without_planted_links(dir_path);
  if (dir < 0) return -1;
  const int fd = openat(dir, path.c_str() + (slash == std::string::npos ? 0 : slash + 1),
                        flags | O_NOFOLLOW | O_CLOEXEC);
  const int error = errno;
  close(dir);
  errno = error;
  return fd;
}

}  // namespace

void TEnterDirectory::in_child(kelvor::sys::TExec&) {
  const int dir = open_directory_without_planted_links(path_);
  if (dir < 0 || fchdir(dir) != 0) end_child_failed_on(path_);
  close(dir);
}

void TCreateOutput::in_child(kelvor::sys::TExec&) {
  const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode_);
  if (fd < 0) end_child_failed_on(path_);
  if (fd == STDOUT_FILENO) {
    fcntl(fd, F_SETFD, 0);
  } else {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

void copy_as_user(const std::string& source, const std::string& dest, const SystemUser& user) {
  FileDescriptor file(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return report(source, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return report(source, "Is a directory");
  kelvor::sys::TExec cat = as_user(kelvor::sys::redirect(program({"cat"}), STDIN_FILENO, file.get()), user);
  cat.add(std::make_shared<TCreateOutput>(dest, st.st_mode & 0777));
  cat.run();
}

void show_user_file(const std::string& path) {
  // Not blocking on a FIFO planted in the file's place.
  FileDescriptor file(open_file_without_planted_links(path, O_RDONLY | O_NONBLOCK));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return report(path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return report(path, "Not a regular file");
  kelvor::sys::redirect(program({"cat"}), STDIN_FILENO, file.get()).run();
}

void chown_tree(const std::string& dir, const std::string& user) {
  // The account may own directories on the way to `dir`: root changes owners from inside
  // the tree, reached without a link planted there, and chown -R follows none below.
  kelvor::sys::TExec chown = program({"chown", "-R", user, "."});
  chown.add(std::make_shared<TEnterDirectory>(dir));
  if (chown.run().status != 0) throw TUError("Failed to change directory owner");
}
