// Commands that start, query and stop a game server.
#include <cstdio>
#include <memory>

#include "manager/commands.h"
#include "manager/games/game_processes.h"
#include "manager/games/game_server.h"
#include "manager/games/traffic_accounting.h"
#include "manager/jobs/run_locks.h"
#include "sys/daemon.h"
#include "sys/errors.h"

using kelvor::sys::TExec;

bool start_game(const OptionValues& options) {
  TStartGame job;
  job.cs_dir = options["cs-dir"];
  job.sys_user = options["sys-user"];
  job.game = options["game"];
  job.game_id = options["game-id"];
  job.ip = options["ip"];
  job.port = options["port"];
  job.hostname = options["hostname"];
  job.maxplayers = options["maxplayers"];
  job.map = options["map"];
  job.config_id = options["config-id"];
  job.config_dir = options["config-dir"];
  job.rcon_password = options["rcon-password"];
  job.sv_password = options["sv-password"];
  job.sv_lan = options["sv-lan"];
  job.secure = options["secure"];
  job.autoupdate = options.given("autoupdate");
  job.no_master = options.given("no-master");
  const std::string stats_period = options["stats-period"];
  if (!stats_period.empty()) job.stats_period = stats_period;
  const bool no_daemon = options.given("no-daemon");

  // Taken before the check, so that of two starts arriving together the second is refused.
  job.running_mark = take_run_lock("game_" + job.game_id + ".lock", false);
  if (job.running_mark < 0 || game_running(job.cs_dir, job.game_id)) throw TUError("Game server is running already");
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

bool game_started(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game_id = options["game-id"];
  if (!game_running(cs_dir, game_id)) throw TUError("Game server is not running");
  std::fputs("Game server is running\n", stdout);
  return true;
}

bool kill_game(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game_id = options["game-id"];
  kill_game_processes(cs_dir, game_id);
  return true;
}
