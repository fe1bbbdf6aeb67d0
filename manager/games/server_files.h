// The files that mark a game server running and the FIFO between it and its job.
#pragma once

#include <string>

// "<cs-dir>/game_wrapper_<id>.pid": the launcher's pid, written by the job.
std::string wrapper_pid_path(const std::string& cs_dir, const std::string& game_id);
// "<cs-dir>/game_server_<id>.pid": the game server's pid, written by the server itself.
std::string server_pid_path(const std::string& cs_dir, const std::string& game_id);
// "/tmp/.cs_gstatistics-<id>.pipe": the statistics FIFO between the server and its job.
std::string statistics_fifo_path(const std::string& game_id);
