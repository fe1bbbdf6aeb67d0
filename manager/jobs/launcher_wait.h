// Waiting for the launcher that a background job started.
#pragma once

#include <sys/types.h>

// The launcher's wait status, waitpid retried after signals; a stopped launcher counts as
// ended (WUNTRACED). Throws the system error "waitpid() failed".
int wait_for_launcher(pid_t pid);
