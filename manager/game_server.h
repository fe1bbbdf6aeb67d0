// One game server of the panel: its background job and the files that mark it running.
#pragma once

#include <string>
#include <sys/types.h>

class StatisticsReader;

// The job that runs a game server behind the launcher and accounts its traffic; copied by
// value into the background process. Every string comes verbatim from the option of the
// same name (empty when not given), after the unsafe-value check.
struct TStartGame {
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

  // Runs the job as described in game_server.cpp; returns 0 once the game server has ended,
  // its launcher has been reaped and its traffic written. Its start, end and failure go to
  // the system log.
  int operator()();

private:
  int run();
  // Starts the launcher in the installation, writes the wrapper pid file and waits until the
  // game server has opened the FIFO; returns the launcher's pid. Throws TUError when the
  // launcher ends first, the wrapper pid file then removed.
  pid_t start_server(const std::string& home, StatisticsReader& reader) const;
};

// "<cs-dir>/game_wrapper_<id>.pid": the launcher's pid, written by the job.
std::string wrapper_pid_path(const std::string& cs_dir, const std::string& game_id);
// "<cs-dir>/game_server_<id>.pid": the game server's pid, written by the server itself.
std::string server_pid_path(const std::string& cs_dir, const std::string& game_id);
// "/tmp/.cs_gstatistics-<id>.pipe": the statistics FIFO between the server and its job.
std::string statistics_fifo_path(const std::string& game_id);

// The job's SIGTERM handler: SIGKILL to its whole process group (the job, the launcher and
// the game server in the background).
void on_term_signal(int signal_number);
