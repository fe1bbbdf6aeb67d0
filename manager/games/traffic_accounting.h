// A game server's traffic in the panel database: a running total and a total for the current
// statistics period (a day, a month or a year) in its row of module_zentra_servers, the
// period rolled over by the database itself.
#pragma once

#include <cstdint>
#include <string>

#include "manager/jobs/statistics_reader.h"

namespace kelvor::mysql {
class Connection;
}

// The DATE_FORMAT pattern of a period's first day: "%Y-%m-%d" for "day", "%Y-%m-01" for
// "month", "%Y-01-01" for "year". Throws TUError "Incorrect traffic statistics period (can
// be 'day', 'month', 'year')." for any other value.
std::string period_format_for(const std::string& stats_period);

// The row that a game server's traffic goes to, and how its period runs.
struct TrafficRow {
  std::string game_id;       // decimal digits: the row's id
  std::string stats_period;  // "day", "month" or "year"
};

// The UPDATE adding `bytes` to the row: total_traffic grows; period_traffic grows while
// today lies in [begin_period_date, end_period_date), else the period restarts today.
std::string traffic_update_statement(std::uint64_t bytes, const TrafficRow& row);

// Makes every later connection of `database` assign @curdate at its start, as the update
// needs; runs the assignment once now. Throws as Connection::execute().
void assign_curdate_on_connect(kelvor::mysql::Connection& database);

// Writes a game server's traffic, holding a database connection only while it writes, so
// that hundreds of servers share the panel database's connection limit.
class TrafficWriter {
public:
  // `database` has connected once already (it keeps the settings of that connection) and
  // had assign_curdate_on_connect(); `job_name` starts the log lines.
  TrafficWriter(kelvor::mysql::Connection& database, TrafficRow row, std::string job_name);

  // Writes `pending` bytes with one UPDATE and closes the connection again; returns true
  // when nothing is left pending. A refused or failed write leaves the bytes pending for
  // the next call. A statement is never sent twice: when its reply is lost its bytes count
  // as written, and the log says how many.
  bool write(std::uint64_t& pending);

private:
  void send_update(std::uint64_t bytes);
  void log_failure(std::uint64_t pending, const std::string& reason);

  kelvor::mysql::Connection& database_;
  TrafficRow row_;
  std::string job_name_;
  std::string failing_;  // the reason of the last failed write, until one succeeds
};

// Reads the statistics FIFO until its writers are gone, writing the traffic read at most
// once per `interval` and once at the end; returns the bytes still unwritten then (zero
// unless the last write failed). Kind 2 records are read and never written.
std::uint64_t account_traffic(StatisticsReader& reader, TrafficWriter& writer,
                              std::chrono::milliseconds interval);
