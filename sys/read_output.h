// Collecting a program's standard output into a string.
#pragma once

#include <string>

#include "sys/exec.h"

namespace kelvor::sys {

// Standard output into a pipe whose read end stays with the caller.
class TReadOut : public TExec::TPrepare {
public:
  TReadOut() = default;
  TReadOut(const TReadOut&) = delete;
  TReadOut& operator=(const TReadOut&) = delete;
  ~TReadOut() override;

  // Throws TSysCallErr when the pipe cannot be made.
  void before_fork(TExec& exec) override;
  void in_parent(TExec& exec) override;
  void in_child(TExec& exec) override;

  // The caller's end, open between a run's fork and read_output's end of reading.
  int read_fd() const noexcept { return read_fd_; }
  void close_read_end() noexcept;

private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// Runs exec with its standard output collected into `text` (replaced), reading it all
// before waiting as run() would. The exit status is not reported.
void read_output(const TExec& exec, std::string& text);

}  // namespace kelvor::sys
