#include "manager/configs/server_config.h"

std::string server_config_name(const std::string& config_id, const std::string& config_dir) {
  if (config_id.empty()) return "server.cfg";
  return config_dir + "config_" + config_id + ".cfg";
}
