#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sys/child_failure.h"
#include "sys/exec.h"
#include "sys/read_output.h"
#include "sys/redirect.h"
#include "tests/sys/helpers.h"

using kelvor::sys::TExec;
using kelvor::sys::TExecResult;
using namespace sys_test;

namespace {

// Notes the hooks it sees: the caller's in a list, the child's by write(2) into a pipe.
class Recorder : public TExec::TPrepare {
public:
  Recorder(std::string name, int child_fd, bool raise_exec_failure = true)
      : name_(std::move(name)), child_fd_(child_fd), raise_(raise_exec_failure) {}
  void before_fork(TExec&) override { seen.push_back(name_ + ".before_fork"); }
  void in_parent(TExec&) override { seen.push_back(name_ + ".in_parent"); }
  void in_child(TExec&) override { note(".in_child"); }
  void before_exec(TExec&) override { note(".before_exec"); }
  bool exec_failed(TExec&) override {
    note(".exec_failed");
    return raise_;
  }
  std::vector<std::string> seen;

private:
  void note(const char* hook) {
    std::string text = name_ + hook + " ";
    (void)!write(child_fd_, text.data(), text.size());
  }
  std::string name_;
  int child_fd_;
  bool raise_;
};

// A reporter that says nothing, so that expected failures keep the test output clean.
int quiet_reporter(const std::exception_ptr&) { return 42; }

class QuietChildFailures {
public:
  QuietChildFailures() : previous_(kelvor::sys::set_child_failure_reporter(&quiet_reporter)) {}
  ~QuietChildFailures() { kelvor::sys::set_child_failure_reporter(previous_); }

private:
  kelvor::sys::TChildFailureReporter previous_;
};

class ThrowingStep : public TExec::TPrepare {
public:
  void in_child(TExec&) override { throw TUError("refused in the child"); }
};

// Removes its file when it goes, and says so: a second "removed" means a child ran it.
struct TempFileGuard {
  std::string path;
  ~TempFileGuard() {
    unlink(path.c_str());
    std::printf("removed\n");
  }
};

TEST(Exec, ResultCarriesExitCodeOrMinusOneForASignal) {
  TExecResult exited = shell("exit 3").run();
  EXPECT_GT(exited.pid, 0);
  EXPECT_EQ(exited.status, 3);
  EXPECT_EQ(shell("kill -9 $$").run().status, -1);
  EXPECT_EQ(program({"true"}).run().status, 0);
}

TEST(Exec, WithoutWaitReturnsAtOnceLeavingTheChildToTheCaller) {
  TExecResult started = (program({"sleep", "30"}) ^ TExec::WAIT).run();
  ASSERT_GT(started.pid, 0);
  EXPECT_EQ(started.status, 0);
  int status = 0;
  EXPECT_EQ(waitpid(started.pid, &status, WNOHANG), 0) << "child already gone";
  kill(started.pid, SIGKILL);
  EXPECT_EQ(wait_exit_code(started.pid), 128 + SIGKILL);
}

TEST(Exec, WithoutSearchPathABareNameIsRelativeToTheWorkingDirectory) {
  TempDir dir;
  write_file(dir / "true", "#!/bin/sh\nexit 7\n", 0755);
  std::vector<char> old_cwd(4096);
  ASSERT_NE(getcwd(old_cwd.data(), old_cwd.size()), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  int local = (program({"true"}) & ~TExec::SEARCH_PATH).run().status;
  int searched = program({"true"}).run().status;
  ASSERT_EQ(chdir(old_cwd.data()), 0);
  EXPECT_EQ(local, 7);
  EXPECT_EQ(searched, 0);
}

TEST(Exec, FlagOperatorsMakeCopiesSharingListAndStep) {
  TExec exec = program({"true"});
  exec.add(std::make_shared<TExec::TPrepare>());
  EXPECT_EQ(exec.flags(), TExec::DEFAULT);
  EXPECT_EQ((exec ^ TExec::WAIT).flags(), TExec::FORK | TExec::SEARCH_PATH);
  EXPECT_EQ((exec & ~TExec::FORK).flags(), TExec::WAIT | TExec::SEARCH_PATH);
  EXPECT_EQ(((exec ^ TExec::WAIT) | TExec::WAIT).flags(), TExec::DEFAULT);
  TExec copy = exec.with_flags(TExec::FORK);
  EXPECT_EQ(copy.flags(), TExec::FORK);
  EXPECT_TRUE(copy.args().shares_list_with(exec.args()));
  EXPECT_EQ(copy.prep(), exec.prep());
  EXPECT_EQ(exec.flags(), TExec::DEFAULT);
}

TEST(Exec, HooksRunInOrderAndStepsInTheOrderAdded) {
  Pipe child_notes = make_pipe();
  auto first = std::make_shared<Recorder>("A", child_notes.write.get());
  auto second = std::make_shared<Recorder>("B", child_notes.write.get());
  TExec exec = program({"true"});
  exec.add(first).add(second);
  EXPECT_EQ(exec.run().status, 0);
  child_notes.write.reset();
  EXPECT_EQ(read_all(child_notes.read.get()), "A.in_child B.in_child A.before_exec B.before_exec ");
  EXPECT_EQ(first->seen, (std::vector<std::string>{"A.before_fork", "A.in_parent"}));
  EXPECT_EQ(second->seen, (std::vector<std::string>{"B.before_fork", "B.in_parent"}));
}

TEST(Exec, LastStepDecidesWhetherAnExecFailureIsRaised) {
  QuietChildFailures quiet;
  Pipe child_notes = make_pipe();
  TExec missing = program({"/nonexistent/program"});
  TExec raised = missing;
  raised.add(std::make_shared<Recorder>("A", child_notes.write.get(), false));
  raised.add(std::make_shared<Recorder>("B", child_notes.write.get(), true));
  EXPECT_EQ(raised.run().status, 42) << "the reporter's status";
  TExec kept_quiet = missing;
  kept_quiet.add(std::make_shared<Recorder>("C", child_notes.write.get(), false));
  EXPECT_EQ(kept_quiet.run().status, 127) << "a quiet failure still ends the child";
  child_notes.write.reset();
  EXPECT_EQ(read_all(child_notes.read.get()),
            "A.in_child B.in_child A.before_exec B.before_exec A.exec_failed B.exec_failed "
            "C.in_child C.before_exec C.exec_failed ");
}

TEST(Exec, ExecFailureWithoutForkIsRaisedInTheCaller) {
  try {
    (program({"/nonexistent/program"}) & ~TExec::FORK).run();
    FAIL() << "no error";
  } catch (const kelvor::sys::TSysCallErr& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_STREQ(e.what(), std::strerror(ENOENT));
  }
  EXPECT_THROW(TExec(kelvor::sys::TEArgs(), TExec::DEFAULT & ~TExec::FORK).run(),
               kelvor::sys::TSysCallErr);
}

TEST(Exec, WithoutForkTheProgramTakesOverAfterPendingOutputIsWritten) {
  Forked caller = run_forked([] {
    std::printf("written by the caller\n");
    (program({"echo", "written by the program"}) & ~TExec::FORK).run();
  });
  EXPECT_EQ(caller.status, 0);
  EXPECT_EQ(caller.out, "written by the caller\nwritten by the program\n");
}

TEST(Exec, WaitingSurvivesSignals) {
  Interrupter interrupter;
  EXPECT_EQ(shell("sleep 0.3; exit 5").run().status, 5);
}

// Starts a program of its own (as a caller's hook might) while the step's pipes are open.
class StartsAHelper : public TExec::TPrepare {
public:
  explicit StartsAHelper(int release_fd) : release_fd_(release_fd) {}
  void in_parent(TExec&) override {
    // It ends when the test lets go of the pipe, or at the latest after a minute.
    TExec helper = from_file(program({"timeout", "60", "cat"}),
                             "/proc/self/fd/" + std::to_string(release_fd_));
    pid = (helper ^ TExec::WAIT).run().pid;
  }
  pid_t pid = -1;

private:
  int release_fd_;
};

TEST(Exec, ProgramsStartedMeanwhileGetNoneOfTheStepsPipes) {
  Pipe release = make_pipe();
  auto helper = std::make_shared<StartsAHelper>(release.read.get());
  TExec exec = program({"echo", "out"});
  exec.add(helper);
  std::string text;
  kelvor::sys::read_output(exec, text);
  EXPECT_EQ(text, "out\n");
  // Holding the write end of the output pipe, the helper would have kept read_output
  // reading until it ended.
  EXPECT_EQ(waitpid(helper->pid, nullptr, WNOHANG), 0) << "read_output waited for the helper";
  release.write.reset();
  EXPECT_EQ(wait_exit_code(helper->pid), 0);
}

TEST(Exec, ProgramStartsWithNoSignalBlocked) {
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, &previous);
  std::string text;
  kelvor::sys::read_output(program({"grep", "^SigBlk:", "/proc/self/status"}), text);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_EQ(text, "SigBlk:\t0000000000000000\n");
}

TEST(ChildFailure, FailedExecReportsAndEndsWithoutTouchingTheParent) {
  TempDir dir;
  std::string path = dir / "owned-by-parent";
  Forked parent = run_forked([&] {
    write_file(path, "x");
    TempFileGuard guard{path};
    std::printf("before\n");  // still in the stdio buffer when the child is forked
    int status = program({"/nonexistent/program"}).run().status;
    std::printf("status %d exists %d\n", status, access(path.c_str(), F_OK) == 0 ? 1 : 0);
  });
  EXPECT_EQ(parent.status, 0);
  EXPECT_EQ(parent.out, "before\nNo such file or directory\nstatus 1 exists 1\nremoved\n");
}

TEST(ChildFailure, AnyErrorOfAStepInTheChildIsContainedThere) {
  Forked parent = run_forked([] {
    TExec exec = program({"true"});
    exec.add(std::make_shared<ThrowingStep>());
    std::printf("status %d\n", exec.run().status);
  });
  EXPECT_EQ(parent.status, 0);
  EXPECT_EQ(parent.out, "refused in the child\nstatus 1\n");
}

TEST(ChildFailure, EmptyArgumentListFailsInExec) {
  Forked parent = run_forked([] {
    std::printf("status %d\n", TExec(kelvor::sys::TEArgs()).run().status);
  });
  EXPECT_EQ(parent.out, "No such file or directory\nstatus 1\n");
}

TEST(ChildFailure, ErrorTextFollowsTheFrontEnd) {
  using kelvor::sys::error_text;
  EXPECT_EQ(error_text(std::make_exception_ptr(TUError("Update is started already."))),
            "Update is started already.");
  EXPECT_EQ(error_text(std::make_exception_ptr(kelvor::sys::TSysCallErr(EAGAIN))),
            std::strerror(EAGAIN));
  EXPECT_EQ(error_text(std::make_exception_ptr(std::runtime_error("x"))), "Error");
  EXPECT_EQ(kelvor::sys::report_child_failure_as_status(
                std::make_exception_ptr(kelvor::sys::TSysCallErr(ENOENT))),
            ENOENT);
  EXPECT_EQ(kelvor::sys::report_child_failure_as_status(std::make_exception_ptr(TUError("x"))), 255);
}

}  // namespace
