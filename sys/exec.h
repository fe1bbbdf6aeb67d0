// Running programs without a shell: TExec, its preparation steps' hooks and TExecResult.
#pragma once

#include <memory>
#include <string>

#include "sys/eargs.h"

namespace kelvor::sys {

// Outcome of TExec::run.
struct TExecResult {
  int pid = -1;    // the child, or -1 when none was started and the failure was not raised
  int status = 0;  // exit code when waited for, -1 if a signal ended the child; else 0
};

// A program's argument list, flags and one optional preparation step. Copies share the
// list and the step.
class TExec {
public:
  class TPrepare;

  enum : int { FORK = 1, WAIT = 2, SEARCH_PATH = 4, DEFAULT = FORK | WAIT | SEARCH_PATH };

  explicit TExec(TEArgs args, int flags = DEFAULT) : args_(std::move(args)), flags_(flags) {}

  const TEArgs& args() const noexcept { return args_; }
  int flags() const noexcept { return flags_; }
  // For the hooks, e.g. to turn waiting off for the current run.
  void set_flags(int flags) noexcept { flags_ = flags; }
  const std::shared_ptr<TPrepare>& prep() const noexcept { return prep_; }

  // Copies sharing list and step, with the flags ANDed, ORed, XORed or replaced.
  TExec operator&(int mask) const { return with_flags(flags_ & mask); }
  TExec operator|(int bits) const { return with_flags(flags_ | bits); }
  TExec operator^(int bits) const { return with_flags(flags_ ^ bits); }
  TExec with_flags(int flags) const;

  // Adds a step after the present one (the two joined by a TUnionPrep).
  TExec& add(std::shared_ptr<TPrepare> step);

  // Starts the program (forked or in place, by the flags) and waits when WAIT is set.
  // Without FORK a successful run does not return. A forked child never returns here nor
  // unwinds into the caller: its failures go to the child-failure reporter.
  TExecResult run();

private:
  friend void read_output(const TExec& exec, std::string& text);

  // Forks and runs the hooks up to in_parent; -1 when a step kept a fork failure quiet.
  int start_child();
  [[noreturn]] void run_child() noexcept;
  // before_exec and exec; returns only when exec failed quietly.
  TExecResult exec_program(bool forked);

  TEArgs args_;
  int flags_;
  std::shared_ptr<TPrepare> prep_;
};

// A preparation step: hooks at fixed points around fork and exec, each given the TExec
// being run. The defaults do nothing and raise every failure.
class TExec::TPrepare {
public:
  virtual ~TPrepare() = default;
  // Caller, just before fork.
  virtual void before_fork(TExec&) {}
  // Caller, fork failed: true raises the error.
  virtual bool fork_failed(TExec&) { return true; }
  // Caller, after a successful fork.
  virtual void in_parent(TExec&) {}
  // Child, right after fork.
  virtual void in_child(TExec&) {}
  // The process about to exec.
  virtual void before_exec(TExec&) {}
  // The same process, exec failed: true raises the error.
  virtual bool exec_failed(TExec&) { return true; }
};

// Two steps run as one, first then second; either may be empty.
class TUnionPrep : public TExec::TPrepare {
public:
  TUnionPrep(std::shared_ptr<TPrepare> first, std::shared_ptr<TPrepare> second)
      : first_(std::move(first)), second_(std::move(second)) {}
  void before_fork(TExec& exec) override;
  bool fork_failed(TExec& exec) override;  // both asked; the second one's answer counts
  void in_parent(TExec& exec) override;
  void in_child(TExec& exec) override;
  void before_exec(TExec& exec) override;
  bool exec_failed(TExec& exec) override;  // both asked; the second one's answer counts

private:
  std::shared_ptr<TPrepare> first_;
  std::shared_ptr<TPrepare> second_;
};

}  // namespace kelvor::sys
