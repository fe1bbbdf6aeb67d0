// Background jobs: a function object run in a forked process, and detaching from the caller.
#pragma once

#include <functional>
#include <utility>

#include "sys/exec.h"

namespace kelvor::sys {

namespace detail {
// Runs a job's body in its own process and ends that process with exit: with the body's
// result, a TSysCallErr's error number, or 255 for any other error.
[[noreturn]] void run_job(const std::function<int()>& body) noexcept;
}  // namespace detail

// A step that makes the forked child call a copy of `fn` (returning int) instead of
// executing a program; the TExec's argument list may be empty.
template <class T>
class TFnCall : public TExec::TPrepare {
public:
  explicit TFnCall(T fn) : fn_(std::move(fn)) {}

  // A job is never waited for: run() returns (pid, 0) at once.
  void in_parent(TExec& exec) override { exec.set_flags(exec.flags() & ~TExec::WAIT); }
  // Never returns.
  void before_exec(TExec&) override {
    detail::run_job([this] { return static_cast<int>(fn_()); });
  }

private:
  T fn_;
};

// Detaches exec from the caller: the caller's process ends with status 0, a session leader
// ignoring SIGHUP forks a process with its standard streams on /dev/null and every other
// descriptor inherited from the caller closed, and that process returns exec.run(). Throws TUError "Unable to run as daemon" when a fork fails.
TExecResult run_as_daemon(TExec exec);

}  // namespace kelvor::sys
