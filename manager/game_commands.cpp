// Commands that start, query and stop a game server.
#include <cstdio>
#include <memory>

#include "manager/command_options.h"
#include "manager/commands.h"
#include "manager/game_processes.h"
#include "manager/game_server.h"
#include "manager/traffic_accounting.h"
#include "sys/daemon.h"
#include "sys/errors.h"

using kelvor::opt::TOParsing;
using kelvor::sys::TExec;

bool start_game(TOParsing parsing) {
  CommandOptions options(parsing);
  TStartGame job;
  job.cs_dir = options.required("cs-dir");
  job.sys_user = options.required("sys-user");
  job.game = options.required("game");
  job.game_id = options.required("game-id");
  job.ip = options.optional("ip");
  job.port = options.required("port");
  job.hostname = options.optional("hostname");
  job.maxplayers = options.required("maxplayers");
  job.map = options.optional("map");
  job.config_id = options.optional("config-id");
  job.config_dir = options.optional("config-dir");
  job.rcon_password = options.optional("rcon-password");
  job.sv_password = options.optional("sv-password");
  job.sv_lan = options.required("sv-lan");
  job.secure = options.required("secure");
  job.autoupdate = options.flag("autoupdate");
  job.no_master = options.flag("no-master");
  const std::string stats_period = options.optional("stats-period");
  if (!stats_period.empty()) job.stats_period = stats_period;
  // Here no-daemon is a bare flag.
  const bool no_daemon = options.flag("no-daemon");
  options.finish();

  if (game_running(job.cs_dir, job.game_id)) throw TUError("Game server is running already");
  // Checked here too, so that the panel sees the refusal of a background start.
  period_format_for(job.stats_period);
  if (no_daemon) {
    job();
    return true;
  }
  TExec exec{kelvor::sys::TEArgs()};
  exec.add(std::make_shared<kelvor::sys::TFnCall<TStartGame>>(job));
  kelvor::sys::run_as_daemon(exec);
  return true;
}

bool game_started(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game_id = options.required("game-id");
  options.finish();
  if (!game_running(cs_dir, game_id)) throw TUError("Game server is not running");
  std::fputs("Game server is running\n", stdout);
  return true;
}

bool kill_game(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game_id = options.required("game-id");
  const std::string port = options.required("port");  // required, though stopping needs no port
  options.finish();
  kill_game_processes(cs_dir, game_id);
  return true;
}
