#include "manager/jobs/run_locks.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/unique_fd.h"
#include "sys/errors.h"

namespace {

[[noreturn]] void refuse(const std::string& path, int number) {
  throw TUError("Can not lock " + path + ": " + std::strerror(number));
}

// The lock directory, root's alone: anything else there could be another account's doing.
int open_lock_dir() {
  if (mkdir(kRunLockDir, 0700) != 0 && errno != EEXIST) refuse(kRunLockDir, errno);
  const int dir = open(kRunLockDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) refuse(kRunLockDir, errno);
  struct stat status {};
  if (fstat(dir, &status) != 0 || status.st_uid != 0 || (status.st_mode & 022) != 0) {
    close(dir);
    refuse(kRunLockDir, EPERM);
  }
  return dir;
}

}  // namespace

int take_run_lock(const std::string& name, bool wait) {
  const std::string path = std::string(kRunLockDir) + "/" + name;
  kelvor::sys::UniqueFd dir(open_lock_dir());
  const int fd = openat(dir.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) refuse(path, errno);
  int taken;
  while ((taken = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
  }
  if (taken == 0) return fd;
  const int number = errno;
  close(fd);
  if (number == EWOULDBLOCK) return -1;
  refuse(path, number);
}
