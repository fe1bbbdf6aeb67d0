#include "manager/games/server_files.h"

std::string wrapper_pid_path(const std::string& cs_dir, const std::string& game_id) {
  return cs_dir + "/game_wrapper_" + game_id + ".pid";
}

std::string server_pid_path(const std::string& cs_dir, const std::string& game_id) {
  return cs_dir + "/game_server_" + game_id + ".pid";
}

std::string statistics_fifo_path(const std::string& game_id) { return "/tmp/.cs_gstatistics-" + game_id + ".pipe"; }
