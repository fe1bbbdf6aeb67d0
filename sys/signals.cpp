#include "sys/signals.h"

#include <cerrno>
#include <csignal>

namespace kelvor::sys {

void reset_signal_state() noexcept {
  // Messages print errno when it is set; the refused numbers below must not leave one.
  const int saved_errno = errno;
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction current {};
    // Numbers the C library keeps for itself are refused here and left alone.
    if (sigaction(number, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_IGN) continue;  // a handler does not survive exec
    set_signal_action(number, SIG_DFL);
  }
  unblock_all_signals();
  errno = saved_errno;
}

void set_signal_action(int number, void (*handler)(int)) noexcept {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(number, &action, nullptr);
}

void unblock_all_signals() noexcept {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace kelvor::sys
