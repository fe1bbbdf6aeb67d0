// Whether a game server runs, and stopping it, through its two pid files.
#pragma once

#include <string>
#include <sys/types.h>

// True while the server pid file or the wrapper pid file exists.
bool game_running(const std::string& cs_dir, const std::string& game_id);

// Sends SIGTERM to the pid of the wrapper pid file, then of the server pid file, then
// removes both files. The files are written by the system user, so a pid is signalled only
// when it is above 1 and names a process that runs wholly as the (non-root) account owning
// its file; anything else, like a missing or unreadable file, is skipped silently.
void kill_game_processes(const std::string& cs_dir, const std::string& game_id);

// SIGTERM to `pid` when its real, effective and saved user ids are all `owner`, checked
// and sent on one process even if the pid is reused meanwhile; false when not sent.
bool terminate_if_owned_by(pid_t pid, uid_t owner);
