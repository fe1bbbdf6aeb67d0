// Whether a game server runs, and stopping it, through its two pid files.
#pragma once

#include <string>
#include <sys/types.h>

// True while the server pid file or the wrapper pid file exists.
bool game_running(const std::string& cs_dir, const std::string& game_id);

// Sends SIGTERM to the pid of the wrapper pid file, then of the server pid file, then
// removes both files. The files are written by the system user, so a pid is signalled only
// when it is above 1 and names a process that runs wholly as the (non-root) account owning
// its file and is this server's (its arguments or environment name the server's pid file or
// FIFO: a crashed server's pid reused by another is left alone); anything else, like a
// missing or unreadable file, is skipped silently.
void kill_game_processes(const std::string& cs_dir, const std::string& game_id);
