#include "manager/standard_streams.h"

#include <dirent.h>
#include <fcntl.h>
#include <cstdlib>
#include <unistd.h>

#include <cerrno>

void ensure_standard_streams() {
  // The probe's EBADF would otherwise end up as a "System error" line of a later message.
  const int saved_errno = errno;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open returns the lowest free number, which is this one.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) close(null);
  }
  errno = saved_errno;
}

void close_inherited_descriptors_on_exec() {
  const int saved_errno = errno;
  if (close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    // A kernel without the flag: each open descriptor by its name in /proc.
    if (DIR* fds = opendir("/proc/self/fd")) {
      while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > STDERR_FILENO) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
      }
      closedir(fds);
    }
  }
  errno = saved_errno;
}
