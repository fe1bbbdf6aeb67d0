#include "manager/updates/update_job.h"

#include <chrono>
#include <sstream>
#include <sys/wait.h>

#include "manager/common/file_checks.h"
#include "manager/common/programs.h"
#include "manager/jobs/billed_traffic.h"
#include "manager/jobs/job_log.h"
#include "manager/jobs/kernel_meter.h"
#include "manager/jobs/launcher_wait.h"
#include "manager/jobs/statistics_reader.h"
#include "manager/updates/update_rows.h"
#include "manager/users/system_user.h"
#include "mysql/cpp_mysql.h"
#include "sys/errors.h"
#include "sys/redirect.h"

using kelvor::sys::TEArgs;
using kelvor::sys::TExec;

namespace {

// How often the figures of a running update reach the database.
constexpr std::chrono::seconds kFlushInterval{5};
// At the end, rows still pending get this many tries, this far apart, before the job fails.
constexpr int kFinalAttempts = 4;
constexpr unsigned kFinalPauseSeconds = 5;

// Results of an earlier job would pass for this one's.
void clear_old_results(const std::string& home) {
  for (const char* pattern : {"*.log", "*.res"}) {
    program({"find", home + "/log/", "-name", pattern, "-exec", "rm", "-f", "{}", ";"}).run();
  }
}

// Counter-Strike Source starts through the name its game servers are started by.
void prepare_source_dir(const std::string& dir) {
  program({"mkdir", dir}).run();
  program({"ln", "-s", "./srcds_run", dir + "/hlds_run"}).run();
}

// The launcher's exit code, or -1 when a signal ended or stopped it.
int launcher_result(pid_t pid) {
  const int status = wait_for_launcher(pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void write_result(const std::string& path, int result) {
  kelvor::sys::to_file(kelvor::sys::from_string(program({"cat"}), std::to_string(result)), path).run();
}

// One game's turn: the updater behind the launcher (in the meter's cgroup, if any), its
// statistics read until every writer is gone, then its result. The game's rows follow along.
void update_game(const std::string& home, const std::string& game, const UpdaterTarget& target,
                 const kelvor::sys::TEArgs& command, UpdateRows& rows, const JobFile& lock,
                 const kelvor::meter::TrafficMeter* meter) {
  if (game == "cssource") prepare_source_dir(target.dir);
  // Open before the launcher starts, so the updater's statistics library finds a reader.
  StatisticsReader reader(kUpdateFifo);
  const std::string log = home + "/log/update_" + game;
  BilledTraffic billed(meter, "update of " + game);
  const pid_t launcher =
      kelvor::sys::to_file(metered(TExec(command, TExec::DEFAULT ^ TExec::WAIT), meter), log + ".log").run().pid;
  rows.set_state(game, "updating");
  rows.write();
  StatisticsCounters counters;
  std::uint64_t library_seen = 0, traffic = 0;
  const auto take_traffic = [&](bool final) {
    traffic = saturating_add(traffic, billed.take(counters.traffic - library_seen, final));
    library_seen = counters.traffic;
  };
  // A launcher or updater that cannot start never connects: its exit tells the result.
  if (reader.wait_for_writer(launcher) == StatisticsReader::FirstEvent::WRITER) {
    const auto flush = [&](bool final) {
      take_traffic(final);
      rows.set_figures(game, traffic, counters.files);
      rows.write();
    };
    // Something the updater left may hold the FIFO for good: once the launcher has ended and
    // the lock is gone (kill-updates), the reading stops within one flush interval.
    const auto lock_gone = [&] {
      const bool stop = launcher_ended(launcher) && !lock.still_ours();
      if (stop) job_log(LOG_WARNING, "update of " + game + ": the lock is gone, the FIFO no longer read");
      return stop;
    };
    FollowLimits limits;
    limits.give_up = lock_gone;
    follow_statistics(reader, counters, kFlushInterval, flush, limits);
  }
  reader.close();
  const int result = launcher_result(launcher);
  // What a process that had let go of the FIFO (or never opened it) still moved.
  take_traffic(true);
  rows.set_figures(game, traffic, counters.files);
  write_result(log + ".res", result);
  // The job goes on with the next game; the admin learns here which one to look at.
  if (result != 0) job_log(LOG_WARNING, "update of " + game + " ended with result " + std::to_string(result));
  rows.set_state(game, result == 0 ? "completed" : "error");
  rows.write();
}

}  // namespace

std::vector<std::string> game_list(const std::string& games) {
  std::istringstream words(games);
  std::vector<std::string> list;
  for (std::string word; words >> word;) list.push_back(word);
  return list;
}

UpdaterTarget updater_target(const std::string& cs_dir, const std::string& game) {
  if (game == "cssource") return {"Counter-Strike Source", cs_dir + "/cssource"};
  return {game, cs_dir};
}

TEArgs updater_command(const std::string& home, const UpdaterTarget& target, const std::string& username,
                       const std::string& password) {
  TEArgs args;
  args.add({home + "/shaper", "-s", "-d", target.dir, "-l", home + "/libstatistics.so.1.0.0", "-o", kUpdateFifo,
            "--", home + "/steam", "-command", "update", "-game", target.game, "-dir", target.dir});
  if (!username.empty() && !password.empty()) args.add({"-username", username, "-password", password});
  return args;
}

TUpdateGames::TUpdateGames(std::string games, std::string cs_dir, std::string sys_user, std::string username,
                           std::string password, JobFile* lock)
    : games_(std::move(games)),
      cs_dir_(std::move(cs_dir)),
      sys_user_(std::move(sys_user)),
      username_(std::move(username)),
      password_(std::move(password)),
      lock_(lock) {}

int TUpdateGames::operator()() {
  // From here on this process holds the lock, whatever becomes of the command's copy.
  JobFile lock(std::move(*lock_));
  return run_logged("update-games", [&] { return run(lock); });
}

int TUpdateGames::run(JobFile& lock) {
  const std::string home = user_home(sys_user_);
  kelvor::mysql::Connection db(true);
  const std::unique_ptr<kelvor::meter::TrafficMeter> meter = start_kernel_meter("update-games", "update");
  switch_to_user(sys_user_);
  if (name_taken(kUpdateFifo)) throw TUError("Update is started already.");
  clear_old_results(home);
  program({"mkdir", home + "/log/", home + "/run"}).run();

  const std::vector<std::string> games = game_list(games_);
  UpdateRows rows(db);
  for (const std::string& game : games) rows.reset(game);
  rows.write_or_throw(1, 0);

  JobFile fifo = JobFile::make_fifo(kUpdateFifo, "Can not create FIFO /tmp/.cs_ustatistics.pipe.");
  for (const std::string& game : games) {
    // kill-updates removed the lock: the game it stopped was the last one.
    if (!lock.still_ours()) {
      rows.write();
      throw TUError("Update process was broken.");
    }
    const UpdaterTarget target = updater_target(cs_dir_, game);
    update_game(home, game, target, updater_command(home, target, username_, password_), rows, lock, meter.get());
  }
  rows.write_or_throw(kFinalAttempts, kFinalPauseSeconds);
  return 0;
}
