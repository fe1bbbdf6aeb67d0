#include "sys/pipeline.h"

#include <unistd.h>

#include "sys/descriptors.h"

namespace kelvor::sys {

TPipe::~TPipe() { close_both(); }

void TPipe::open_new() {
  close_both();
  detail::make_pipe(&read_fd, &write_fd);
}

void TPipe::close_both() noexcept {
  detail::close_and_forget(&read_fd);
  detail::close_and_forget(&write_fd);
}

void TWriteToPipeline::before_fork(TExec&) { pipe_->open_new(); }

void TWriteToPipeline::in_child(TExec&) {
  detail::close_and_forget(&pipe_->read_fd);
  detail::move_fd(pipe_->write_fd, STDOUT_FILENO);
  pipe_->write_fd = -1;
}

void TReadFromPipeline::in_parent(TExec&) { pipe_->close_both(); }

void TReadFromPipeline::in_child(TExec&) {
  detail::close_and_forget(&pipe_->write_fd);
  detail::move_fd(pipe_->read_fd, STDIN_FILENO);
  pipe_->read_fd = -1;
}

void TPipeline::append(const TExec& exec) {
  TExec next = exec;
  if (!programs_.empty()) {
    auto pipe = std::make_shared<TPipe>();
    TExec& last = programs_.back();
    last.add(std::make_shared<TWriteToPipeline>(pipe));
    last.set_flags(last.flags() & ~TExec::WAIT);
    next.add(std::make_shared<TReadFromPipeline>(pipe));
  }
  programs_.push_back(std::move(next));
}

TPipeline operator|(const TExec& left, const TExec& right) {
  TPipeline pipeline;
  pipeline.append(left);
  pipeline.append(right);
  return pipeline;
}

TPipeline operator|(const TPipeline& left, const TExec& right) {
  TPipeline pipeline = left;
  pipeline.append(right);
  return pipeline;
}

TExecResult run(const TPipeline& pipeline) {
  TExecResult result{0, 0};
  for (TExec program : pipeline.programs()) result = program.run();
  return result;
}

}  // namespace kelvor::sys
