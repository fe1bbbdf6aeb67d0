// Commands that start, query and stop a game server.
#include "manager/command_options.h"
#include "manager/commands.h"

using kelvor::opt::TOParsing;

bool start_game(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string sys_user = options.required("sys-user");
  const std::string game = options.required("game");
  const std::string game_id = options.required("game-id");
  const std::string ip = options.optional("ip");
  const std::string port = options.required("port");
  const std::string hostname = options.optional("hostname");
  const std::string maxplayers = options.required("maxplayers");
  const std::string map = options.optional("map");
  const std::string config_id = options.optional("config-id");
  const std::string config_dir = options.optional("config-dir");
  const std::string rcon_password = options.optional("rcon-password");
  const std::string sv_password = options.optional("sv-password");
  const std::string sv_lan = options.required("sv-lan");
  const std::string secure = options.required("secure");
  const bool autoupdate = options.flag("autoupdate");
  const bool no_master = options.flag("no-master");
  const std::string stats_period = options.optional("stats-period");
  // Here no-daemon is a bare flag.
  const bool no_daemon = options.flag("no-daemon");
  options.finish();
  (void)autoupdate, (void)no_master, (void)no_daemon;
  return true;
}

bool game_started(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game_id = options.required("game-id");
  options.finish();
  return true;
}

bool kill_game(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game_id = options.required("game-id");
  const std::string port = options.required("port");  // required, though stopping needs no port
  options.finish();
  return true;
}
