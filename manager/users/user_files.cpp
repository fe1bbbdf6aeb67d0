#include "manager/users/user_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/common/programs.h"
#include "panel/file_descriptor.h"
#include "sys/errors.h"
#include "sys/redirect.h"

using kelvor::sys::TExec;

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

// `path` as the directory to open and the name in it ("." and the whole path when it has
// no slash).
std::pair<std::string, std::string> split_path(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The file `path` opened with `flags`, never through a link at its own place, nor through a
// link on the way that another account could have planted. -1 (errno set) otherwise.
int open_file_without_planted_links(const std::string& path, int flags) {
  const auto [dir_path, name] = split_path(path);
  const FileDescriptor dir(open_directory_without_planted_links(dir_path));
  if (dir.get() < 0) return -1;
  return openat(dir.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

// A name for a new file beside the one it is to replace, that no one could have guessed.
std::string temporary_name() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[12];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) throw kelvor::sys::TSysCallErr(errno);
  std::string name = ".zentra_mng-";
  for (unsigned char byte : bytes) name += kLetters[byte % (sizeof kLetters - 1)];
  return name;
}

// Standard output into the new file `name` of the directory `dir`, made by the child with
// whatever rights it has by then (with `mode` less the umask, or `kept_mode` as it stands
// when that is not -1) and, made by root, handed to `owner`. When that fails, the child
// reports it on standard error as about `shown_path` and ends with status 1.
class TCreateNewOutput : public kelvor::sys::TExec::TPrepare {
public:
  TCreateNewOutput(int dir, std::string name, mode_t mode, int kept_mode, const SystemUser& owner,
                   std::string shown_path)
      : dir_(dir), name_(std::move(name)), mode_(mode), kept_mode_(kept_mode), uid_(owner.uid), gid_(owner.gid),
        shown_path_(std::move(shown_path)) {}

  void in_child(kelvor::sys::TExec&) override {
    const int fd = openat(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_);
    if (fd < 0) end_child_failed_on(shown_path_);
    // The owner first: a change of owner clears mode bits.
    if (geteuid() == 0 && fchown(fd, uid_, gid_) != 0) end_child_failed_on(shown_path_);
    if (kept_mode_ >= 0 && fchmod(fd, static_cast<mode_t>(kept_mode_)) != 0) end_child_failed_on(shown_path_);
    if (dup2(fd, STDOUT_FILENO) < 0) end_child_failed_on(shown_path_);
    close(fd);
  }

private:
  int dir_;
  std::string name_;
  mode_t mode_;
  int kept_mode_;
  uid_t uid_;
  gid_t gid_;
  std::string shown_path_;
};

// mkdir -p of `rest` below the directory `dir`, one name at a time, never through a link;
// the first failure is reported as about `path`.
void make_directories_below(int dir, const std::string& rest, const std::string& path) {
  int current = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  for (size_t start = 0; current >= 0 && start < rest.size();) {
    const size_t end = std::min(rest.find('/', start), rest.size());
    const std::string name = rest.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    int next = -1;
    if (mkdirat(current, name.c_str(), 0777) == 0 || errno == EEXIST)
      next = openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) report(path, std::strerror(errno));
    close(current);
    current = next;
  }
  if (current >= 0) close(current);
}

}  // namespace

void TEnterDirectory::in_child(kelvor::sys::TExec&) {
  const int dir = open_directory_without_planted_links(path_);
  if (dir < 0 || fchdir(dir) != 0) end_child_failed_on(path_);
  close(dir);
}

void copy_as_user(const std::string& source, const std::string& dest, const SystemUser& user) {
  const FileDescriptor file(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return report(source, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return report(source, "Is a directory");
  const auto [dir_path, name] = split_path(dest);
  const FileDescriptor dir(open_directory_without_planted_links(dir_path));
  if (dir.get() < 0) return report(dest, std::strerror(errno));
  // cp writes into an existing file, which keeps its mode; a link in its place is no file.
  struct stat old;
  const bool replaces = fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
  const std::string temporary = temporary_name();
  kelvor::sys::TExec cat = kelvor::sys::redirect(program({"cat"}), STDIN_FILENO, file.get());
  // A file root owns is replaced all the same, as the new file is renamed over it. Where root
  // alone may change the directory, root writes, and nobody can interfere.
  if (!only_root_writes(dir.get())) cat = as_user(cat, user);
  cat.add(std::make_shared<TCreateNewOutput>(dir.get(), temporary, st.st_mode & 0777,
                                             replaces ? static_cast<int>(old.st_mode & 0777) : -1, user, dest));
  // Neither call follows a link: one the account put in place of either name is what moves.
  if (cat.run().status == 0) {  // else the child or cat has said why
    if (renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) == 0) return;
    report(dest, std::strerror(errno));
  }
  unlinkat(dir.get(), temporary.c_str(), 0);
}

void show_user_file(const std::string& path) {
  // Not blocking on a FIFO planted in the file's place.
  const FileDescriptor file(open_file_without_planted_links(path, O_RDONLY | O_NONBLOCK));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return report(path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return report(path, "Not a regular file");
  // The panel takes the whole answer in: a sparse or ever-growing file must not flood it.
  if (st.st_size > kShownFileLimit) return report(path, "File too large to show");
  TExec head = program({"head", "-c", std::to_string(kShownFileLimit)});
  kelvor::sys::redirect(head, STDIN_FILENO, file.get()).run();
}

void remove_file(const std::string& path) {
  const auto [dir_path, name] = split_path(path);
  const FileDescriptor dir(open_directory_without_planted_links(dir_path));
  if (dir.get() >= 0) unlinkat(dir.get(), name.c_str(), 0);
}

std::optional<SystemUser> first_owner_other_than_root(std::initializer_list<std::string> paths) {
  for (const std::string& path : paths) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && st.st_uid != 0) return system_user_with_id(st.st_uid, st.st_gid);
  }
  return std::nullopt;
}

void make_directories(const std::string& path) {
  TExec mkdir = program({"mkdir", "-p", path});
  // The directories on the way, each reached as root alone would reach it, from the top.
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const FileDescriptor dir(open_directory_without_planted_links(path.substr(0, end)));
    struct stat st;
    if (dir.get() < 0 || fstat(dir.get(), &st) != 0) break;  // mkdir is left to say why
    if (!only_root_writes(dir.get())) {
      if (st.st_uid != 0) {
        mkdir = as_user(mkdir, system_user_with_id(st.st_uid, st.st_gid));
        break;
      }
      // Root's, but shared like /tmp: no account to work as, so root goes on by name.
      return make_directories_below(dir.get(), end == std::string::npos ? "" : path.substr(end + 1), path);
    }
    if (end == std::string::npos) break;
  }
  mkdir.run();
}

void chown_tree(const std::string& dir, const std::string& user) {
  // The account may own directories on the way to `dir`: root changes owners from inside
  // the tree, reached without a link planted there, and chown -R follows none below.
  kelvor::sys::TExec chown = program({"chown", "-R", user, "."});
  chown.add(std::make_shared<TEnterDirectory>(dir));
  if (chown.run().status != 0) throw TUError("Failed to change directory owner");
}
