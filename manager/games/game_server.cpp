// The game server's job, in this order:
//  1. SIGTERM kills the job's whole process group;
//  2. the statistics period is checked;
//  3. the panel database is opened once as root, which reads and keeps its credentials (a
//     full database is waited for), and closed again: the job holds a connection only while
//     it writes;
//  4. the job becomes the system user for good and writes the game configuration;
//  5. it makes the statistics FIFO, opens its reading end and starts the launcher with the
//     game server's command line in the installation directory, then writes the wrapper pid
//     file;
//  6. it waits for the game server to open the FIFO, or for the launcher to end first: then
//     the start failed, and the FIFO and the wrapper pid file go;
//  7. it reads the FIFO until the server and its children are gone, writing the traffic at
//     most once a minute, removes the FIFO, lets go of the start's running mark (another start
//     may follow now), reaps the launcher and writes what is left,
//     retrying for a while when the database does not take it.
#include "manager/games/game_server.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <mysqld_error.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "manager/games/game_command_line.h"
#include "manager/games/game_config.h"
#include "manager/games/server_files.h"
#include "manager/games/traffic_accounting.h"
#include "manager/jobs/job_files.h"
#include "manager/jobs/job_log.h"
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

pid_t start_launcher(const kelvor::sys::TEArgs& command_line) {
  kelvor::sys::TExec launcher(command_line, kelvor::sys::TExec::DEFAULT ^ kelvor::sys::TExec::WAIT);
  return launcher.run().pid;
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "stopped";
}

// Calls `attempt` until it returns true or `limit` has passed, waiting 1 s, 2 s, 4 s... (at
// most a minute) in between, each wait spread by half: the many jobs of a host that start or
// end together do not come back together. Returns the last attempt's result.
bool retry_spread(std::chrono::seconds limit, const std::function<bool()>& attempt) {
  std::minstd_rand random(static_cast<unsigned>(getpid()));
  auto delay = std::chrono::milliseconds(1s);
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < give_up) {
    std::uniform_int_distribution<long> spread(delay.count() / 2, delay.count() * 3 / 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(spread(random)));
    if (attempt()) return true;
    delay = std::min<std::chrono::milliseconds>(delay * 2, kLongestRetryDelay);
  }
  return false;
}

// A database that is full (servers restarted together) is waited for; any other failure
// ends the job before anything has started.
void connect_at_start(kelvor::mysql::Connection& database) {
  const auto connected = [&database] {
    try {
      database.handle();
      return true;
    } catch (const kelvor::mysql::mError&) {
      if (last_connect_error() != ER_CON_COUNT_ERROR) throw;
      return false;
    }
  };
  if (!connected() && !retry_spread(kStartWaitLimit, connected)) throw kelvor::mysql::mError("connection failed");
}

// Traffic left at the end is retried for a while: the database may be restarting.
void write_remaining(TrafficWriter& writer, std::uint64_t& pending, const std::string& job_name) {
  if (pending == 0 || retry_spread(kFinalWriteLimit, [&] { return writer.write(pending); })) return;
  job_log(LOG_ERR, job_name + ": " + std::to_string(pending) + " bytes of traffic given up after retrying for an hour");
}

}  // namespace

void on_term_signal(int) { kill(0, SIGKILL); }

int TStartGame::operator()() {
  return run_logged("game server job " + game_id, [this] { return run(); });
}

int TStartGame::run() {
  kelvor::sys::set_signal_action(SIGTERM, on_term_signal);
  period_format = period_format_for(stats_period);
  kelvor::mysql::Connection database(false);
  connect_at_start(database);  // as root: reads the credentials and keeps them
  assign_curdate_on_connect(database);
  database.disconnect();
  // Another account's file at the FIFO's name would keep the server from ever starting.
  if (const auto user = find_system_user(sys_user)) remove_unless_owned_by(statistics_fifo_path(game_id), user->uid);
  switch_to_user(sys_user);
  write_game_config(*this);

  const std::string fifo_path = statistics_fifo_path(game_id);
  JobFile fifo = JobFile::make_fifo(fifo_path, "Can not create FIFO " + fifo_path, JobFile::Existing::REPLACE);
  StatisticsReader reader(fifo_path);
  const pid_t launcher = start_server(user_home(sys_user), reader);

  const std::string job_name = "game server job " + game_id;
  TrafficWriter writer(database, TrafficRow{game_id, stats_period}, job_name);
  std::uint64_t pending = account_traffic(reader, writer, kWriteInterval);
  reader.close();
  fifo.remove();
  if (running_mark >= 0) close(running_mark);  // the server is gone: a new start may follow
  running_mark = -1;
  const int status = wait_for_launcher(launcher);
  write_remaining(writer, pending, job_name);
  job_log(LOG_INFO, job_name + ": the game server ended, its launcher with " + describe_status(status));
  return 0;
}

pid_t TStartGame::start_server(const std::string& home, StatisticsReader& reader) const {
  const kelvor::sys::TEArgs command_line = game_server_command_line(*this, home);
  if (chdir(cs_dir.c_str()) != 0) {
    // The launcher then does not find ./hlds_run, which the caller sees below.
  }
  const pid_t launcher = start_launcher(command_line);
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
