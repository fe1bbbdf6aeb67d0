// One game server of the panel: its background job.
#pragma once

#include <string>
#include <sys/types.h>

#include "manager/games/game_settings.h"

class StatisticsReader;
namespace kelvor::meter {
class TrafficMeter;
}

// The job that runs a game server behind the launcher and accounts its traffic; copied by
// value into the background process.
struct TStartGame : GameServerSettings {
  // The descriptor of the flock that start-game takes for the game id before the job starts;
  // the job holds it until its game server has started (or failed to). -1: none.
  int running_mark = -1;

  // Runs the job as described in game_server.cpp; returns 0 once the game server has ended,
  // its launcher has been reaped and its traffic written. Its start, end and failure go to
  // the system log.
  int operator()();

private:
  int run();
  // Starts the launcher in the installation (in the cgroup of `meter`, if any), writes the
  // wrapper pid file and waits until the game server has opened the FIFO; returns the
  // launcher's pid. Throws TUError when the launcher ends first, the wrapper pid file then removed.
  pid_t start_server(const std::string& home, StatisticsReader& reader, const kelvor::meter::TrafficMeter* meter) const;
};

// The job's SIGTERM handler: SIGKILL to the rest of its process group (the launcher, the game
// server and their children in the background), the job stepping out of the group first so
// that it can still read and write their traffic; later SIGTERMs do nothing.
void on_term_signal(int signal_number);
