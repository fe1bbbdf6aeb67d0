// Pipelines: the standard output of each program feeding the standard input of the next.
#pragma once

#include <memory>
#include <vector>

#include "sys/exec.h"

namespace kelvor::sys {

// The two ends of one pipe, shared by the writing program's step and the reading one's;
// -1 while not open. Closes what is still open when the last step goes.
struct TPipe {
  int read_fd = -1;
  int write_fd = -1;

  TPipe() = default;
  TPipe(const TPipe&) = delete;
  TPipe& operator=(const TPipe&) = delete;
  ~TPipe();
  // Makes a new pipe, closing what a previous run left; throws TSysCallErr.
  void open_new();
  void close_both() noexcept;
};

// Standard output into the shared pipe, made just before this program forks.
class TWriteToPipeline : public TExec::TPrepare {
public:
  explicit TWriteToPipeline(std::shared_ptr<TPipe> pipe) : pipe_(std::move(pipe)) {}
  void before_fork(TExec& exec) override;
  void in_child(TExec& exec) override;

private:
  std::shared_ptr<TPipe> pipe_;
};

// Standard input from the shared pipe, whose caller's ends close once this program forked.
class TReadFromPipeline : public TExec::TPrepare {
public:
  explicit TReadFromPipeline(std::shared_ptr<TPipe> pipe) : pipe_(std::move(pipe)) {}
  void in_parent(TExec& exec) override;
  void in_child(TExec& exec) override;

private:
  std::shared_ptr<TPipe> pipe_;
};

// The programs of a pipeline from left to right.
class TPipeline {
public:
  TPipeline() = default;
  const std::vector<TExec>& programs() const noexcept { return programs_; }
  // Appends exec, fed by the present last program (which then is no longer waited for).
  void append(const TExec& exec);

private:
  std::vector<TExec> programs_;
};

TPipeline operator|(const TExec& left, const TExec& right);
TPipeline operator|(const TPipeline& left, const TExec& right);

// Starts the programs left to right; only the last one is waited for (the earlier ones
// are left for the caller to reap). Returns the last one's result, (0, 0) when empty.
TExecResult run(const TPipeline& pipeline);

}  // namespace kelvor::sys
