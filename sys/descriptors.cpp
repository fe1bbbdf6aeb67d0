#include "sys/descriptors.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/errors.h"

namespace kelvor::sys::detail {

void close_fd(int fd) noexcept {
  if (fd >= 0) close(fd);
}

void close_and_forget(int* fd) noexcept {
  close_fd(*fd);
  *fd = -1;
}

void move_fd(int fd, int target) noexcept {
  if (fd < 0) return;
  if (fd == target) {
    // dup2 would have cleared close-on-exec; do the same for a descriptor already in place.
    fcntl(fd, F_SETFD, 0);
    return;
  }
  dup2(fd, target);
  close(fd);
}

void make_pipe(int* read_fd, int* write_fd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw TSysCallErr(errno);
  *read_fd = fds[0];
  *write_fd = fds[1];
}

int open_or_null(const std::string& path, int flags, mode_t mode) noexcept {
  int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) fd = open("/dev/null", (flags & O_ACCMODE) | O_CLOEXEC);
  return fd;
}

bool write_all(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int wait_for_exit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw TSysCallErr(errno);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void flush_stdio() noexcept { std::fflush(nullptr); }

}  // namespace kelvor::sys::detail
