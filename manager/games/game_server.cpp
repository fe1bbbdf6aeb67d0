// The game server's job, in this order:
//  1. SIGTERM kills the rest of the job's process group (the launcher, the game server and
//     its children) at once; the job itself reads what is left in the FIFO, writes it and ends;
//  2. the statistics period is checked;
//  3. the panel database is opened once as root, which reads and keeps its credentials (a
//     full database, or one that is away, is waited for), and closed again: the job holds a
//     connection only while it writes;
//  4. it starts its kernel traffic meter where it runs, becomes the system user for good and
//     writes the game configuration;
//  5. it makes the statistics FIFO, opens its reading end and starts the launcher with the
//     game server's command line in the installation directory, in the meter's cgroup, then
//     writes the wrapper pid file;
//  6. it waits for the game server to open the FIFO, or for the launcher to end first: then
//     the start failed, and the FIFO and the wrapper pid file go; else it lets go of the
//     start's running mark, as the pid files mark the server now;
//  7. it reads the FIFO until the server and its children are gone, writing the traffic (see
//     BilledTraffic for which figure bills) at most once a minute, removes the
//     FIFO, reaps the launcher and writes what is left, retrying for a while when the database
//     does not take it.
#include "manager/games/game_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <errmsg.h>
#include <functional>
#include <mysqld_error.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "manager/games/game_command_line.h"
#include "manager/games/game_config.h"
#include "manager/games/server_files.h"
#include "manager/games/traffic_accounting.h"
#include "manager/jobs/job_files.h"
#include "manager/jobs/job_log.h"
#include "manager/jobs/kernel_meter.h"
#include "manager/jobs/launcher_wait.h"
#include "manager/jobs/statistics_reader.h"
#include "manager/users/system_user.h"
#include "mysql/cpp_mysql.h"
#include "panel/db_connect.h"
#include "sys/errors.h"
#include "sys/signals.h"

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::minutes kWriteInterval{1};
// How long traffic left at the end is retried before it is given up (and logged).
constexpr std::chrono::seconds kFinalWriteLimit = std::chrono::hours(1);
// How long a job waits for a connection to a full database before it gives up the start.
constexpr std::chrono::seconds kStartWaitLimit = std::chrono::minutes(5);
constexpr std::chrono::seconds kLongestRetryDelay{60};
// After SIGTERM (a host shutting down gives its processes some 90 s) the last write gets this long.
constexpr std::chrono::seconds kFinalWriteLimitStopping{30};

volatile sig_atomic_t stop_requested = 0;

bool stopping() { return stop_requested != 0; }

// Sleeps, returning early when SIGTERM comes; one the caller has seen no longer cuts the
// wait, or a retry after it would never wait at all.
void sleep_unless_stopped(std::chrono::milliseconds delay, bool stop_seen) {
  if (stopping() && !stop_seen) return;
  timespec time{static_cast<time_t>(delay.count() / 1000), static_cast<long>(delay.count() % 1000) * 1'000'000};
  nanosleep(&time, nullptr);
}

// SIGTERM held back while the launcher is being started, so that it either comes before
// (no launcher starts) or finds the launcher in the group.
class TermBlocked {
public:
  TermBlocked() {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &previous_);
  }
  ~TermBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  TermBlocked(const TermBlocked&) = delete;
  TermBlocked& operator=(const TermBlocked&) = delete;

private:
  sigset_t previous_;
};

pid_t start_launcher(const kelvor::sys::TEArgs& command_line, const kelvor::meter::TrafficMeter* meter) {
  kelvor::sys::TExec launcher(command_line, kelvor::sys::TExec::DEFAULT ^ kelvor::sys::TExec::WAIT);
  return metered(launcher, meter).run().pid;
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "stopped";
}

// Calls `attempt` until it returns true or `limit` has passed, waiting 1 s, 2 s, 4 s... (at
// most a minute) in between, each wait spread by half: the many jobs of a host that start or
// end together do not come back together. Once SIGTERM has come, only `limit_stopping` is left.
// Returns the last attempt's result.
bool retry_spread(std::chrono::seconds limit, std::chrono::seconds limit_stopping, const std::function<bool()>& attempt) {
  std::minstd_rand random(static_cast<unsigned>(getpid()));
  auto delay = std::chrono::milliseconds(1s);
  auto give_up = std::chrono::steady_clock::now() + limit;
  bool stop_seen = false;
  for (;;) {
    if (stopping() && !stop_seen) {
      stop_seen = true;
      give_up = std::min(give_up, std::chrono::steady_clock::now() + limit_stopping);
    }
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::uniform_int_distribution<long> spread(delay.count() / 2, delay.count() * 3 / 2);
    sleep_unless_stopped(std::min(std::chrono::milliseconds(spread(random)),
                                  std::chrono::ceil<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now())),
                         stop_seen);
    if (stopping() && !stop_seen) continue;  // the wait was cut short: the limit first
    if (attempt()) return true;
    delay = std::min<std::chrono::milliseconds>(delay * 2, kLongestRetryDelay);
  }
}

// Connect failures that pass: the server is full (servers restarted together), restarting or
// not reachable yet (the host is booting). Anything else (password, database, privileges)
// stays as it is.
constexpr unsigned int kPassingConnectErrors[] = {
    ER_CON_COUNT_ERROR, ER_SERVER_SHUTDOWN, CR_CONNECTION_ERROR, CR_CONN_HOST_ERROR, CR_SERVER_GONE_ERROR,
    CR_SERVER_LOST,
};

bool passing_connect_error(unsigned int number) {
  return std::find(std::begin(kPassingConnectErrors), std::end(kPassingConnectErrors), number) !=
         std::end(kPassingConnectErrors);
}

// A database that is full or away is waited for, with one log line; any other failure ends
// the job before anything has started.
void connect_at_start(kelvor::mysql::Connection& database, const std::string& job_name) {
  bool logged = false;
  const auto connected = [&] {
    try {
      database.handle();
      return true;
    } catch (const kelvor::mysql::mError&) {
      const unsigned int number = last_connect_error();
      if (!passing_connect_error(number)) throw;
      if (!logged) {
        job_log(LOG_WARNING, job_name + ": waiting for the database before starting the game server (error " +
                                 std::to_string(number) + ")");
        logged = true;
      }
      return false;
    }
  };
  if (connected()) return;
  if (!retry_spread(kStartWaitLimit, 0s, connected)) {
    if (stopping()) throw TUError("SIGTERM came while waiting for the database; the game server was not started");
    throw kelvor::mysql::mError("connection failed");
  }
  job_log(LOG_INFO, job_name + ": the database is there, the game server starts");
}

// Traffic left at the end is retried for a while: the database may be restarting.
void write_remaining(TrafficWriter& writer, std::uint64_t& pending, const std::string& job_name) {
  if ((pending == 0 && writer.settled()) ||
      retry_spread(kFinalWriteLimit, kFinalWriteLimitStopping, [&] { return writer.write(pending); })) {
    return;
  }
  // Bytes whose update may or may not have been applied are named apart: the operator
  // checks the row for them.
  const std::uint64_t undecided = writer.undecided();
  job_log(LOG_ERR, job_name + ": " + std::to_string(pending) + " bytes of traffic given up after retrying" +
                       (undecided == 0 ? std::string()
                                       : ", and " + std::to_string(undecided) +
                                             " whose update's reply was lost, not decided from the row"));
}

}  // namespace

void on_term_signal(int) {
  // A second SIGTERM finds the job alone in its group.
  if (stop_requested) return;
  const int saved = errno;
  stop_requested = 1;
  // The job steps out of its group first: the SIGKILL is for the launcher, the game server
  // and their children, while the job still has their traffic to write. A job leading its
  // group (--no-daemon under a shell with job control) can not step out and goes with them.
  const pid_t group = getpgrp();
  if (group != getpid() && setpgid(0, 0) == 0) {
    kill(-group, SIGKILL);
  } else {
    kill(0, SIGKILL);
  }
  errno = saved;
}

int TStartGame::operator()() {
  return run_logged("game server job " + game_id, [this] { return run(); });
}

int TStartGame::run() {
  kelvor::sys::set_signal_action(SIGTERM, on_term_signal);
  period_format = period_format_for(stats_period);
  const std::string job_name = "game server job " + game_id;
  kelvor::mysql::Connection database(false);
  connect_at_start(database, job_name);  // as root: reads the credentials and keeps them
  assign_curdate_on_connect(database);
  database.disconnect();
  // Another account's file at the FIFO's name would keep the server from ever starting.
  if (const auto user = find_system_user(sys_user)) remove_unless_owned_by(statistics_fifo_path(game_id), user->uid);
  const std::unique_ptr<kelvor::meter::TrafficMeter> meter = start_kernel_meter(job_name, "game_" + game_id);
  switch_to_user(sys_user);
  write_game_config(*this);

  const std::string fifo_path = statistics_fifo_path(game_id);
  JobFile fifo = JobFile::make_fifo(fifo_path, "Can not create FIFO " + fifo_path, JobFile::Existing::REPLACE);
  StatisticsReader reader(fifo_path);
  // Counted from before the launcher starts: a server moves bytes as soon as it runs.
  BilledTraffic billed(meter.get(), job_name);
  const pid_t launcher = start_server(user_home(sys_user), reader, meter.get());
  // The pid files mark the server from here on; held longer, the mark would keep the id from
  // starting again, after kill-game, for as long as anything the server left holds the FIFO.
  if (running_mark >= 0) close(running_mark);
  running_mark = -1;

  TrafficWriter writer(database, TrafficRow{game_id, stats_period}, job_name);
  std::uint64_t pending = account_traffic(reader, writer, billed, kWriteInterval, stopping);
  reader.close();
  fifo.remove();
  const int status = wait_for_launcher(launcher);
  // What a process that had let go of the FIFO still moved.
  pending = saturating_add(pending, billed.take(0, true));
  write_remaining(writer, pending, job_name);
  if (stopping()) job_log(LOG_INFO, job_name + ": stopped by SIGTERM, the game server and its children killed");
  job_log(LOG_INFO, job_name + ": the game server ended, its launcher with " + describe_status(status));
  return 0;
}

pid_t TStartGame::start_server(const std::string& home, StatisticsReader& reader,
                               const kelvor::meter::TrafficMeter* meter) const {
  const kelvor::sys::TEArgs command_line = game_server_command_line(*this, home);
  if (chdir(cs_dir.c_str()) != 0) {
    // The launcher then does not find ./hlds_run, which the caller sees below.
  }
  pid_t launcher;
  {
    const TermBlocked held;
    if (stopping()) throw TUError("SIGTERM came before the game server started");
    launcher = start_launcher(command_line, meter);
  }
  const std::string wrapper_path = wrapper_pid_path(cs_dir, game_id);
  std::optional<JobFile> wrapper = JobFile::write_file(wrapper_path, std::to_string(launcher));
  if (!wrapper) job_log(LOG_WARNING, "game server job " + game_id + ": can not write " + wrapper_path);
  if (reader.wait_for_writer(launcher) == StatisticsReader::FirstEvent::LAUNCHER_ENDED) {
    // The FIFO and the wrapper pid file go with the error: nothing marks the server running.
    throw TUError("the game server did not start: its launcher ended with " + describe_status(wait_for_launcher(launcher)) +
                  " before opening " + statistics_fifo_path(game_id));
  }
  if (wrapper) wrapper->keep();
  return launcher;
}
