#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "sys/read_output.h"
#include "sys/signals.h"
#include "tests/sys/helpers.h"

using namespace sys_test;

namespace {

TEST(Signals, StartResetsWhatTheCallerIgnoredOrBlocked) {
  Forked manager = run_forked([] {
    signal(SIGCHLD, SIG_IGN);  // children would be reaped behind waitpid's back
    signal(SIGINT, SIG_IGN);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);

    kelvor::sys::reset_signal_state();
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    std::printf("term blocked %d\n", sigismember(&blocked, SIGTERM));
    std::string text;
    kelvor::sys::read_output(program({"grep", "^SigIgn:", "/proc/self/status"}), text);
    std::printf("%sstatus %d\n", text.c_str(), program({"true"}).run().status);
  });
  EXPECT_EQ(manager.status, 0);
  EXPECT_EQ(manager.out, "term blocked 0\nSigIgn:\t0000000000000000\nstatus 0\n");
}

}  // namespace
