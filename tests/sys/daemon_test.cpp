#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/daemon.h"
#include "tests/sys/helpers.h"

using kelvor::sys::TExec;
using kelvor::sys::TFnCall;
using namespace sys_test;

namespace {

enum class Ending { Result, SysCallError, UserError, OtherError };

[[noreturn]] void end_as(Ending ending) {
  switch (ending) {
    case Ending::SysCallError: throw kelvor::sys::TSysCallErr(ENOENT);
    case Ending::UserError: throw TUError("refused");
    default: throw std::runtime_error("other");
  }
}

int finish(Ending ending) {
  if (ending == Ending::Result) return 7;
  end_as(ending);
}

// Starts `job` as a background step of an empty TExec and returns its exit code.
template <class Job>
int job_exit_code(Job job) {
  TExec exec{kelvor::sys::TEArgs()};
  exec.add(std::make_shared<TFnCall<Job>>(job));
  kelvor::sys::TExecResult started = exec.run();
  EXPECT_EQ(started.status, 0);
  EXPECT_FALSE(exec.flags() & TExec::WAIT) << "the job is not waited for";
  return wait_exit_code(started.pid);
}

TEST(FnCall, JobExitStatusComesFromResultOrError) {
  EXPECT_EQ(job_exit_code([] { return finish(Ending::Result); }), 7);
  EXPECT_EQ(job_exit_code([] { return finish(Ending::SysCallError); }), ENOENT);
  EXPECT_EQ(job_exit_code([] { return finish(Ending::UserError); }), 255);
  EXPECT_EQ(job_exit_code([] { return finish(Ending::OtherError); }), 255);
}

TEST(FnCall, ErrorsOfTheJobUnwindInsideTheJob) {
  Forked caller = run_forked([] {
    int code = job_exit_code([] {
      struct Cleanup {
        ~Cleanup() { std::printf("job cleaned up\n"); }
      } cleanup;
      return finish(Ending::SysCallError);
    });
    std::printf("job ended with %d\n", code);
  });
  EXPECT_EQ(caller.out, "job cleaned up\njob ended with 2\n");
}

TEST(FnCall, ProgramThatFailsInAJobEndsWithTheErrorNumberSilently) {
  Forked caller = run_forked([] {
    std::printf("caller's pending output\n");
    int code = job_exit_code([] { return TExec(kelvor::sys::TEArgs().add("/nonexistent/program")).run().status; });
    std::printf("job ended with %d\n", code);
  });
  EXPECT_EQ(caller.out, "caller's pending output\njob ended with 2\n");
}

TEST(FnCall, JobDoesNotWriteTheCallersBufferedOutputAgain) {
  TempDir dir;
  std::FILE* log = std::fopen((dir / "log").c_str(), "we");
  ASSERT_NE(log, nullptr);
  std::fputs("once\n", log);  // still in the buffer when the job is forked
  EXPECT_EQ(job_exit_code([] { return 0; }), 0);  // exit() flushes every stream
  std::fclose(log);
  EXPECT_EQ(read_file(dir / "log"), "once\n");
}

// What the job saw of its surroundings, written to a pipe from the test.
struct DaemonJob {
  int report_fd;
  int release_fd;
  int inherited_fd;  // as a panel's pipe would be: open, not close-on-exec
  pid_t caller_session;
  Ending ending;

  int operator()() const {
    char byte;
    ssize_t from_stdin = read(STDIN_FILENO, &byte, 1);
    struct stat out {}, null {};
    fstat(STDOUT_FILENO, &out);
    stat("/dev/null", &null);
    struct sigaction hup {};
    sigaction(SIGHUP, nullptr, &hup);
    std::string line = std::to_string(getpid()) + " stdin=" + std::to_string(from_stdin) +
                       " null=" + std::to_string(out.st_rdev == null.st_rdev) +
                       " hup_ignored=" + std::to_string(hup.sa_handler == SIG_IGN) +
                       " new_session=" + std::to_string(getsid(0) != caller_session) +
                       " inherited_open=" + std::to_string(fcntl(inherited_fd, F_GETFD) != -1) +
                       "\n";
    (void)!write(report_fd, line.data(), line.size());
    (void)!read(release_fd, &byte, 1);  // the test checks the caller ended before we do
    return finish(ending);
  }
};

std::string read_line(int fd) {
  std::string line;
  char byte;
  while (read(fd, &byte, 1) == 1) {
    line.push_back(byte);
    if (byte == '\n') break;
  }
  return line;
}

// Reaps every descendant adopted by this process; returns their exit codes by pid.
std::map<pid_t, int> reap_all() {
  std::map<pid_t, int> codes;
  int status = 0;
  for (;;) {
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) return codes;
    codes[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
}

int daemon_job_exit_code(Ending ending) {
  // Orphans of the detached chain come back to us, so that the job's status can be read.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  Pipe report = make_pipe();
  Pipe release = make_pipe();
  int inherited[2];
  EXPECT_EQ(pipe(inherited), 0);
  DaemonJob job{report.write.get(), release.read.get(), inherited[1], getsid(0), ending};
  TempDir dir;
  Forked command = run_forked([&] {
    std::printf("written before detaching\n");
    // Not a standard stream: still in its buffer when the detaching forks begin.
    std::fputs("logged before detaching\n", std::fopen((dir / "log").c_str(), "we"));
    TExec exec{kelvor::sys::TEArgs()};
    exec.add(std::make_shared<TFnCall<DaemonJob>>(job));
    kelvor::sys::run_as_daemon(exec);
    _exit(0);  // the detached process, back in the command's code
  });
  EXPECT_EQ(command.status, 0);
  EXPECT_EQ(command.out, "written before detaching\n");
  report.write.reset();
  std::string seen = read_line(report.read.get());
  std::size_t space = seen.find(' ');
  pid_t job_pid = space == std::string::npos ? -1 : std::stoi(seen.substr(0, space));
  EXPECT_EQ(seen.substr(space == std::string::npos ? 0 : space),
            " stdin=0 null=1 hup_ignored=1 new_session=1 inherited_open=0\n");
  close(inherited[0]);
  close(inherited[1]);
  // Every process of the chain holds the write end, so a byte says it rather than a close.
  (void)!write(release.write.get(), "x", 1);
  std::map<pid_t, int> codes = reap_all();
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_EQ(read_file(dir / "log"), "logged before detaching\n") << "written again by a fork";
  return codes.count(job_pid) ? codes[job_pid] : -1;
}

TEST(Daemon, CommandEndsAtOnceAndTheDetachedJobEndsWithItsStatus) {
  EXPECT_EQ(daemon_job_exit_code(Ending::Result), 7);
  EXPECT_EQ(daemon_job_exit_code(Ending::SysCallError), 2);
  EXPECT_EQ(daemon_job_exit_code(Ending::UserError), 255);
}

}  // namespace
