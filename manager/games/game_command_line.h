// The command line that starts a game server behind the launcher.
#pragma once

#include <string>

#include "manager/games/game_settings.h"
#include "sys/eargs.h"

// True when hlds_run is to start the 64-bit server "./hlds_amd": the machine name (uname -m)
// contains "x86_64", "<cs-dir>/hlds_amd64" exists and "/usr/lib64/libstdc++.so.5" does not.
bool use_amd_binary(const std::string& cs_dir);

// "<home>/shaper -g -l <home>/libstatistics.so.1.0.0 -o <FIFO> -- ./hlds_run" followed by the
// server's options, in the order the game server expects them.
kelvor::sys::TEArgs game_server_command_line(const GameServerSettings& job, const std::string& home);
