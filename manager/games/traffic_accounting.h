// A game server's traffic in the panel database: a running total and a total for the current
// statistics period (a day, a month or a year) in its row of module_zentra_servers, the
// period rolled over by the database itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "manager/jobs/billed_traffic.h"
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
// needs, and limit how long a statement may run (kStatementLimit); runs both once now.
// Throws as Connection::execute().
void assign_curdate_on_connect(kelvor::mysql::Connection& database);

// The server ends a statement of the job that has run this long (a lock held by a backup, a
// table locked for writing) with a definite error, well before the client's read timeout of
// 10 s (panel/db_connect.cpp) would leave its outcome unknown.
inline constexpr std::chrono::seconds kStatementLimit{5};

// More than the fastest host link carries in both directions, 2 x 100 Gbit/s, as the library
// adds both directions into one count: traffic read faster than this is forged.
inline constexpr std::uint64_t kMostBytesPerSecond = 25'000'000'000;

// Writes a game server's traffic, holding a database connection only while it writes, so
// that hundreds of servers share the panel database's connection limit.
class TrafficWriter {
public:
  // `database` has connected once already (it keeps the settings of that connection) and
  // had assign_curdate_on_connect(); `job_name` starts the log lines.
  TrafficWriter(kelvor::mysql::Connection& database, TrafficRow row, std::string job_name);

  // Adds `bytes`, read from the FIFO over the last `elapsed`, to `pending` (saturating), unless
  // they are more than kMostBytesPerSecond allows for that time (and a second): such a figure
  // is logged and held back, never billed.
  void admit(std::uint64_t& pending, std::uint64_t bytes, std::chrono::steady_clock::duration elapsed);

  // Writes `pending` bytes with one UPDATE and closes the connection again; returns true
  // when nothing is left pending or unresolved. A refused or failed write leaves the bytes
  // pending for the next call. What would take the row past the columns' range is logged
  // and not billed. A statement is never sent twice blindly: when its reply is lost, a later
  // call first reads the row back and finds out whether it was applied (see the .cpp).
  bool write(std::uint64_t& pending);
  // True unless an update whose reply was lost is still to be decided.
  bool settled() const noexcept { return !unresolved_; }
  // The bytes of the update whose reply was lost and that is still to be decided, else 0.
  std::uint64_t undecided() const noexcept { return unresolved_ ? unresolved_->bytes : 0; }

private:
  // The row's traffic as read just before an update.
  struct RowFigures {
    std::uint64_t total;
    std::uint64_t period;  // 0 when the period has ended: the update restarts it
  };
  // An update whose reply was lost: its bytes are neither pending nor written.
  struct Unresolved {
    std::optional<std::uint64_t> total_before;  // empty: the row was missing
    std::uint64_t bytes;
    std::chrono::steady_clock::time_point sent;
  };

  std::optional<RowFigures> read_row();
  // Decides an unresolved update from the row; false while it may still be running.
  bool resolve(std::uint64_t& pending);
  // The part of `pending` that the row can take, logging the rest as not billed.
  std::uint64_t fitting(std::uint64_t pending, const std::optional<RowFigures>& row);
  void send_update(std::uint64_t bytes);
  void log_failure(std::uint64_t pending, const std::string& reason);
  bool written(std::uint64_t bytes);

  kelvor::mysql::Connection& database_;
  TrafficRow row_;
  std::string job_name_;
  std::string failing_;  // the reason of the last failed write, until one succeeds
  std::optional<Unresolved> unresolved_;
};

// Reads the statistics FIFO until its writers are gone (or, once `stopping` returns true,
// until what they still send is read), admitting the traffic that `billed` makes of what was
// read and writing it at most once per `interval` and once at the end; returns the bytes
// still unwritten then (zero unless the last write failed). Kind 2 records are read and never
// written.
std::uint64_t account_traffic(StatisticsReader& reader, TrafficWriter& writer, BilledTraffic& billed,
                              std::chrono::milliseconds interval, const std::function<bool()>& stopping = {});
