#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <string>

#include "manager/standard_streams.h"
#include "sys/exec.h"
#include "sys/read_output.h"
#include "sys/redirect.h"

namespace {

// Runs `body` in a child whose descriptors 0 and 1 are closed; returns its exit status.
template <class Body>
int with_closed_stdin_and_stdout(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      close(0);
      close(1);
      code = body();
    } catch (...) {
    }
    _exit(code);  // never back into the test runner
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(StandardStreams, ClosedStreamsAreReopenedOnTheNullDevice) {
  EXPECT_EQ(with_closed_stdin_and_stdout([] {
              ensure_standard_streams();
              return fcntl(0, F_GETFD) != -1 && fcntl(1, F_GETFD) != -1 ? 0 : 1;
            }),
            0);
}

TEST(StandardStreams, ProgramOutputIsCollectedEvenWhenStartedWithoutStreams) {
  // Without the guard, the pipes take numbers 0 and 1 and the steps close each other's ends.
  EXPECT_EQ(with_closed_stdin_and_stdout([] {
              ensure_standard_streams();
              std::string text;
              kelvor::sys::read_output(
                  kelvor::sys::from_string(kelvor::sys::TExec(kelvor::sys::TEArgs().add("cat")), "hello"), text);
              return text == "hello" ? 0 : 1;
            }),
            0);
}
