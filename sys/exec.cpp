#include "sys/exec.h"

#include <cerrno>
#include <exception>
#include <unistd.h>
#include <vector>

#include "sys/child_failure.h"
#include "sys/descriptors.h"
#include "sys/signals.h"

namespace kelvor::sys {

TExec TExec::with_flags(int flags) const {
  TExec copy = *this;
  copy.flags_ = flags;
  return copy;
}

TExec& TExec::add(std::shared_ptr<TPrepare> step) {
  prep_ = std::make_shared<TUnionPrep>(std::move(prep_), std::move(step));
  return *this;
}

TExecResult TExec::run() {
  if (!(flags_ & FORK)) return exec_program(false);
  int pid = start_child();
  if (pid < 0) return {-1, 0};
  if (!(flags_ & WAIT)) return {pid, 0};
  return {pid, detail::wait_for_exit(pid)};
}

int TExec::start_child() {
  if (prep_) prep_->before_fork(*this);
  detail::flush_stdio();
  pid_t pid = fork();
  if (pid < 0) {
    int error = errno;
    if (!prep_ || prep_->fork_failed(*this)) throw TSysCallErr(error);
    return -1;
  }
  if (pid == 0) run_child();
  if (prep_) prep_->in_parent(*this);
  return pid;
}

void TExec::run_child() noexcept {
  // A mask is inherited through exec: the program must not start with signals blocked
  // that its caller held back for itself.
  unblock_all_signals();
  try {
    if (prep_) prep_->in_child(*this);
    exec_program(true);
  } catch (...) {
    end_failed_child(std::current_exception());
  }
  // A step asked for the exec failure to pass quietly; the caller's code is not ours to run.
  _exit(127);
}

TExecResult TExec::exec_program(bool forked) {
  if (prep_) prep_->before_exec(*this);
  std::vector<std::string> copies(args_.begin(), args_.end());
  std::vector<char*> argv;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // An empty list has no program; "" makes exec fail like for any missing one.
  const char* program = copies.empty() ? "" : argv[0];
  if (!forked) detail::flush_stdio();  // the new program image drops unwritten output
  if (flags_ & SEARCH_PATH)
    execvp(program, argv.data());
  else
    execv(program, argv.data());
  int error = errno;
  if (prep_ && !prep_->exec_failed(*this)) return {-1, 0};
  throw TSysCallErr(error);
}

void TUnionPrep::before_fork(TExec& exec) {
  if (first_) first_->before_fork(exec);
  if (second_) second_->before_fork(exec);
}

bool TUnionPrep::fork_failed(TExec& exec) {
  if (first_) first_->fork_failed(exec);
  return second_ ? second_->fork_failed(exec) : true;
}

void TUnionPrep::in_parent(TExec& exec) {
  if (first_) first_->in_parent(exec);
  if (second_) second_->in_parent(exec);
}

void TUnionPrep::in_child(TExec& exec) {
  if (first_) first_->in_child(exec);
  if (second_) second_->in_child(exec);
}

void TUnionPrep::before_exec(TExec& exec) {
  if (first_) first_->before_exec(exec);
  if (second_) second_->before_exec(exec);
}

bool TUnionPrep::exec_failed(TExec& exec) {
  if (first_) first_->exec_failed(exec);
  return second_ ? second_->exec_failed(exec) : true;
}

}  // namespace kelvor::sys
