// Waiting for the launcher that a background job started.
#pragma once

#include <sys/types.h>

// The launcher's wait status, waitpid retried after signals; a stopped launcher counts as
// ended (WUNTRACED). Throws the system error "waitpid() failed".
int wait_for_launcher(pid_t pid);

// True once the launcher, a child of this process, has ended or stopped; it is left to be
// reaped by wait_for_launcher.
bool launcher_ended(pid_t pid);
