#include "sys/read_output.h"

#include <cerrno>
#include <unistd.h>

#include "sys/descriptors.h"

namespace kelvor::sys {
namespace {

void append_until_end(int fd, std::string& text) {
  char buffer[1024];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

TReadOut::~TReadOut() {
  detail::close_fd(read_fd_);
  detail::close_fd(write_fd_);
}

void TReadOut::before_fork(TExec&) {
  // A run that failed half-way may have left the ends of the previous pipe.
  detail::close_and_forget(&read_fd_);
  detail::close_and_forget(&write_fd_);
  detail::make_pipe(&read_fd_, &write_fd_);
}

void TReadOut::in_parent(TExec&) { detail::close_and_forget(&write_fd_); }

void TReadOut::in_child(TExec&) {
  detail::close_and_forget(&read_fd_);
  detail::move_fd(write_fd_, STDOUT_FILENO);
  write_fd_ = -1;
}

void TReadOut::close_read_end() noexcept { detail::close_and_forget(&read_fd_); }

void read_output(const TExec& exec, std::string& text) {
  auto step = std::make_shared<TReadOut>();
  TExec copy = exec;
  copy.add(step);
  text.clear();
  if (!(copy.flags() & TExec::FORK)) {
    copy.run();  // the program takes over this process; its output goes to no one
    return;
  }
  int pid = copy.start_child();
  if (pid < 0) return;
  append_until_end(step->read_fd(), text);
  step->close_read_end();
  if (copy.flags() & TExec::WAIT) detail::wait_for_exit(pid);
}

}  // namespace kelvor::sys
