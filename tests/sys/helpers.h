// Small helpers of the process library's tests.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <sys/types.h>

#include "sys/exec.h"

namespace sys_test {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// An owned descriptor.
class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  int get() const { return fd_; }
  int release() { int fd = fd_; fd_ = -1; return fd; }
  void reset();

private:
  int fd_;
};

struct Pipe {
  Fd read;
  Fd write;
};
Pipe make_pipe();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
mode_t file_mode(const std::string& path);
// Reads until end of file.
std::string read_all(int fd);
// Number of descriptors open in this process.
int open_descriptor_count();

kelvor::sys::TExec program(std::initializer_list<std::string> args, int flags = kelvor::sys::TExec::DEFAULT);
kelvor::sys::TExec shell(const std::string& script);

struct Forked {
  int status = -1;  // exit code, or 128 + signal
  std::string out;  // everything written to its standard output
};
// Runs `body` in a forked process whose standard output is collected; the process then
// flushes stdio and _exits with 0 (99 when body threw).
Forked run_forked(const std::function<void()>& body);

// Exit code of an own child, or 128 + signal.
int wait_exit_code(pid_t pid);

// While it lives, SIGALRM arrives every 10 ms with a handler installed without SA_RESTART,
// so that every blocking call in between fails with EINTR.
class Interrupter {
public:
  Interrupter();
  ~Interrupter();
  Interrupter(const Interrupter&) = delete;
  Interrupter& operator=(const Interrupter&) = delete;
};

}  // namespace sys_test
