#include "manager/standard_streams.h"

#include <fcntl.h>
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
