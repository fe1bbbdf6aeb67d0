#include "manager/users/user_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/common/programs.h"
#include "sys/unique_fd.h"
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

// The names of `path` in order, put in front of `pending`.
void push_names(const std::string& path, std::deque<std::string>& pending) {
  std::deque<std::string> names;
  for (size_t start = 0; start < path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  pending.insert(pending.begin(), names.begin(), names.end());
}

// The kernel's own bound on links followed while resolving one path.
constexpr int kMaxLinks = 40;

// Opens the directory `path` one name at a time, calling `visit` with each directory reached
// (the start included) until it returns false. A link is taken only where root alone could
// have made it, and its target is walked by the same rules, so a link the account put where
// root's link leads is no more followed than one on the way. The directory where the walk
// ended, or -1 (errno set) when it could not go on so; in `rest`, if given, the names left
// below the directory where `visit` stopped it.
int walk_without_planted_links(const std::string& path, const std::function<bool(int)>& visit,
                               std::string* rest = nullptr) {
  std::deque<std::string> pending;
  push_names(path, pending);
  int dir = open(path.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int links = 0; dir >= 0 && !pending.empty();) {
    if (!visit(dir)) {
      for (const std::string& name : pending) {
        if (rest != nullptr) *rest += (rest->empty() ? "" : "/") + name;
      }
      return dir;
    }
    const std::string name = pending.front();
    pending.pop_front();
    int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    char target[PATH_MAX];
    ssize_t length = 0;
    // A link there fails as no directory (ENOTDIR) or as a link (ELOOP).
    if (next < 0 && (errno == ENOTDIR || errno == ELOOP) && only_root_writes(dir) && ++links <= kMaxLinks &&
        (length = readlinkat(dir, name.c_str(), target, sizeof target)) > 0 &&
        static_cast<size_t>(length) < sizeof target) {
      const std::string link(target, static_cast<size_t>(length));
      push_names(link, pending);
      next = link.starts_with('/') ? open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : fcntl(dir, F_DUPFD_CLOEXEC, 0);
    }
    const int error = errno;
    close(dir);
    errno = error;
    dir = next;
  }
  if (dir >= 0) visit(dir);
  return dir;
}

// The directory `path`, opened one name at a time; a link is followed only where root alone
// could have made it. -1 (errno set) when it cannot be opened so.
int open_directory_without_planted_links(const std::string& path) {
  return walk_without_planted_links(path, [](int) { return true; });
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
  const kelvor::sys::UniqueFd dir(open_directory_without_planted_links(dir_path));
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
  // Not blocking on a FIFO in the upload's place; only a file's bytes are copied.
  const kelvor::sys::UniqueFd file(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return report(source, std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return report(source, "Is a directory");
  if (!S_ISREG(st.st_mode)) return report(source, "Not a regular file");
  if (fcntl(file.get(), F_SETFL, fcntl(file.get(), F_GETFL) & ~O_NONBLOCK) != 0) return report(source, std::strerror(errno));
  const auto [dir_path, name] = split_path(dest);
  const kelvor::sys::UniqueFd dir(open_directory_without_planted_links(dir_path));
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
  const kelvor::sys::UniqueFd file(open_file_without_planted_links(path, O_RDONLY | O_NONBLOCK));
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
  const kelvor::sys::UniqueFd dir(open_directory_without_planted_links(dir_path));
  if (dir.get() >= 0) unlinkat(dir.get(), name.c_str(), 0);
}

std::optional<SystemUser> account_on_the_way(const std::string& path) {
  std::optional<SystemUser> account;
  const kelvor::sys::UniqueFd end(walk_without_planted_links(path, [&account](int dir) {
    struct stat st;
    // Its entries, a link in place of the next directory among them, are that account's to change.
    if (fstat(dir, &st) == 0 && !only_root_writes(dir) && st.st_uid != 0) account = system_user_with_id(st.st_uid, st.st_gid);
    return !account;
  }));
  return account;
}

void make_directories(const std::string& path) {
  TExec mkdir = program({"mkdir", "-p", path});
  // The directories on the way, from the top, until one whose entries others may change.
  std::optional<SystemUser> account;
  bool shared = false;
  std::string rest;
  const kelvor::sys::UniqueFd stop(walk_without_planted_links(path, [&](int dir) {
    if (only_root_writes(dir)) return true;
    struct stat st;
    if (fstat(dir, &st) == 0 && st.st_uid != 0) account = system_user_with_id(st.st_uid, st.st_gid);
    shared = !account;
    return false;
  }, &rest));
  // Root's, but shared like /tmp: no account to work as, so root goes on by name.
  if (shared) return make_directories_below(stop.get(), rest, path);
  // Else either the account's rights, or every directory reached (the one that could not be
  // opened, if any, lies in one of them) was root's alone: mkdir is left to say why.
  if (account) mkdir = as_user(mkdir, *account);
  mkdir.run();
}

void chown_tree(const std::string& dir, const std::string& user) {
  // The account may own directories on the way to `dir`: root changes owners from inside
  // the tree, reached without a link planted there, and chown -R follows none below.
  kelvor::sys::TExec chown = program({"chown", "-R", user, "."});
  chown.add(std::make_shared<TEnterDirectory>(dir));
  if (chown.run().status != 0) throw TUError("Failed to change directory owner");
}
