// Signal state: what the manager takes over from its caller, and what started programs get.
#pragma once

namespace kelvor::sys {

// For the start of the process, before anything is set on purpose: every signal that the
// caller left ignored gets its default action again (an ignored SIGCHLD would reap
// children behind waitpid's back, an ignored SIGTERM would pass on to the game server),
// and no signal stays blocked.
void reset_signal_state() noexcept;

// Sets the action of signal `number`: a handler, SIG_IGN or SIG_DFL, with interrupted
// system calls restarted. Only an invalid number could make it fail.
void set_signal_action(int number, void (*handler)(int)) noexcept;

// Empties the signal mask of the calling process (a child about to become a program).
void unblock_all_signals() noexcept;

}  // namespace kelvor::sys
