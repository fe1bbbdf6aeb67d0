#include "sys/redirect.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>

#include "sys/descriptors.h"

namespace kelvor::sys {
namespace {

using detail::close_fd;
using detail::move_fd;

constexpr mode_t kFileMode = 0664;

int open_for_writing(const std::string& path, bool append) {
  int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  return detail::open_or_null(path, flags, kFileMode);
}

// The writer needs its pipe end only; any other descriptor it held (the caller's pipes
// among them) would keep their readers from seeing end of file.
void keep_only(int fd) {
  if (fd > 0) close_range(0, static_cast<unsigned>(fd) - 1, 0);
  close_range(static_cast<unsigned>(fd) + 1, UINT_MAX, 0);
}

[[noreturn]] void write_and_exit(int fd, const std::string& text) noexcept {
  keep_only(fd);
  // A reader that ends early makes write fail (EPIPE) or kills us (SIGPIPE); both just end us.
  _exit(detail::write_all(fd, text.data(), text.size()) ? 0 : 1);
}

TExec with_step(const TExec& exec, std::shared_ptr<TExec::TPrepare> step) {
  TExec copy = exec;
  copy.add(std::move(step));
  return copy;
}

}  // namespace

void TFromFile::in_child(TExec&) { move_fd(detail::open_or_null(path_, O_RDONLY), STDIN_FILENO); }

void TToFile::in_child(TExec&) { move_fd(open_for_writing(path_, append_), STDOUT_FILENO); }

void TRedirect::in_child(TExec&) {
  if (target_ == source_) return;  // closing the target would lose the source
  close(target_);
  dup2(source_, target_);
}

void TRedirectToFile::in_child(TExec&) { move_fd(open_for_writing(path_, append_), target_); }

void TReadFromStr::in_child(TExec&) {
  int read_fd = -1;
  int write_fd = -1;
  detail::make_pipe(&read_fd, &write_fd);
  pid_t pid = fork();
  if (pid < 0) {
    int error = errno;
    close_fd(read_fd);
    close_fd(write_fd);
    throw TSysCallErr(error);
  }
  if (pid == 0) {
    close_fd(read_fd);
    write_and_exit(write_fd, text_);
  }
  close_fd(write_fd);
  move_fd(read_fd, STDIN_FILENO);
}

TExec from_file(const TExec& exec, const std::string& path) {
  return with_step(exec, std::make_shared<TFromFile>(path));
}

TExec to_file(const TExec& exec, const std::string& path) {
  return with_step(exec, std::make_shared<TToFile>(path, false));
}

TExec append_to_file(const TExec& exec, const std::string& path) {
  return with_step(exec, std::make_shared<TToFile>(path, true));
}

TExec from_string(const TExec& exec, const std::string& text) {
  return with_step(exec, std::make_shared<TReadFromStr>(text));
}

TExec redirect(const TExec& exec, int target, int source) {
  return with_step(exec, std::make_shared<TRedirect>(target, source));
}

TExec redirect_to_file(const TExec& exec, int fd, const std::string& path, bool append) {
  return with_step(exec, std::make_shared<TRedirectToFile>(fd, path, append));
}

}  // namespace kelvor::sys
