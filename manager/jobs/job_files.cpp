#include "manager/jobs/job_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/common/programs.h"
#include "manager/users/system_user.h"
#include "sys/errors.h"

namespace {

// The mode of a plain file that a program's redirected output creates.
constexpr mode_t kFileMode = 0664;

[[noreturn]] void refuse_lock(const std::string& path, int number) {
  throw TUError("Can not create lock file " + path + ": " + std::strerror(number));
}

}  // namespace

JobFile JobFile::make_fifo(const std::string& path, const std::string& failure_text, Existing existing) {
  if (existing == Existing::REPLACE) unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) throw TUError(failure_text);
  // A path descriptor: it pins the inode without counting as a reader or a writer.
  const int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlink(path.c_str());  // made just now
    throw TUError(failure_text);
  }
  return JobFile(path, fd);
}

std::optional<JobFile> JobFile::take_lock(const std::string& path, std::time_t started) {
  // O_EXCL alone already refuses a link; O_NOFOLLOW keeps it so should the flags ever change.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0 && errno == EEXIST) return std::nullopt;
  if (fd < 0) refuse_lock(path, errno);
  JobFile lock(path, fd);  // from here on removed on every way out
  // Held as long as a process of the job keeps the descriptor: a lock whose job has died,
  // however it died, is then seen to be stale.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) refuse_lock(path, errno);
  char text[26];
  if (!ctime_r(&started, text)) refuse_lock(path, EOVERFLOW);
  const ssize_t size = static_cast<ssize_t>(std::strlen(text));
  const ssize_t written = write(fd, text, static_cast<std::size_t>(size));
  if (written != size) refuse_lock(path, written < 0 ? errno : ENOSPC);
  return lock;
}

std::optional<JobFile> JobFile::write_file(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return std::nullopt;
  JobFile file(path, fd);
  const ssize_t size = static_cast<ssize_t>(content.size());
  if (write(fd, content.data(), content.size()) != size) return std::nullopt;
  return file;
}

JobFile::JobFile(JobFile&& other) noexcept : path_(std::move(other.path_)), fd_(other.fd_) { other.fd_ = -1; }

bool JobFile::still_ours() const noexcept {
  if (fd_ < 0) return false;
  struct stat ours {};
  struct stat now {};
  return fstat(fd_, &ours) == 0 && lstat(path_.c_str(), &now) == 0 && now.st_dev == ours.st_dev &&
         now.st_ino == ours.st_ino;
}

void JobFile::remove() noexcept {
  if (still_ours()) unlink(path_.c_str());
  keep();
}

void JobFile::keep() noexcept {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void JobFile::give_to(uid_t uid, gid_t gid) {
  // Through the descriptor: the very file made, whatever the path names by now.
  if (fchown(fd_, uid, gid) != 0) refuse_lock(path_, errno);
}

bool lock_is_held(const std::string& path, uid_t owner) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  const bool held = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    (status.st_uid == 0 || status.st_uid == owner) && flock(fd, LOCK_SH | LOCK_NB) != 0 &&
                    errno == EWOULDBLOCK;
  close(fd);
  return held;
}

void clear_name(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return;
  // Unlinking a name in sticky /tmp follows nothing, whatever the name has become meanwhile.
  if (!S_ISDIR(status.st_mode)) {
    unlink(path.c_str());
    return;
  }
  if (status.st_uid == 0) return;
  // Run as the directory's owner, it removes nothing beyond that account's reach, whatever
  // the name turns into meanwhile (rm takes a link named on its command line for itself).
  as_user(program({"rm", "-rf", "--", path}), system_user_with_id(status.st_uid, status.st_gid)).run();
}

void remove_unless_owned_by(const std::string& path, uid_t owner) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0 && (status.st_uid != owner || S_ISDIR(status.st_mode))) clear_name(path);
}
