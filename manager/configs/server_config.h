// Names of a game server's configuration files below its game directory.
#pragma once

#include <string>

// The base configuration: "server.cfg" without a configuration id, else config_dir +
// "config_" + config_id + ".cfg" (config_dir is a prefix and brings its own "/").
std::string server_config_name(const std::string& config_id, const std::string& config_dir);
