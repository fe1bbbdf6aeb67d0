// What a game server is started with: the command's options and the job's period format.
#pragma once

#include <string>

// Every string comes verbatim from the option of the same name (empty when not given), after
// the unsafe-value check.
struct GameServerSettings {
  std::string sys_user;       // the system user the server runs as
  std::string cs_dir;         // the installation: ./hlds_run and the game directories
  std::string game;           // game directory below cs_dir, passed to -game
  std::string game_id;        // the server's record: file names and database row
  std::string ip;             // address to bind; empty: none given
  std::string port;
  std::string hostname;
  std::string maxplayers;
  std::string map;            // start map; empty: none given
  std::string sv_lan;
  std::string secure;         // "0" selects -insecure, anything else -secure
  bool autoupdate = false;
  bool no_master = false;
  std::string config_id;      // stored base configuration; empty: the game's server.cfg
  std::string config_dir;     // directory part of the base and game configurations
  std::string rcon_password;
  std::string sv_password;
  std::string stats_period = "month";  // "day", "month" or "year"
  std::string period_format;           // computed at the job's start
};
