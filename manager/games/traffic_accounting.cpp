#include "manager/games/traffic_accounting.h"

#include <algorithm>
#include <charconv>

#include "manager/jobs/job_log.h"
#include "mysql/cpp_mysql.h"
#include "sys/errors.h"

using kelvor::mysql::Connection;
using kelvor::mysql::mError;
using kelvor::mysql::mReplyLost;

namespace {

struct PeriodFormat {
  const char* period;
  const char* first_day;
};

const PeriodFormat kPeriodFormats[] = {
    {"day", "%Y-%m-%d"},
    {"month", "%Y-%m-01"},
    {"year", "%Y-01-01"},
};

// Closes the connection on every way out of a write.
class DisconnectAfter {
public:
  explicit DisconnectAfter(Connection& database) : database_(database) {}
  ~DisconnectAfter() { database_.disconnect(); }
  DisconnectAfter(const DisconnectAfter&) = delete;
  DisconnectAfter& operator=(const DisconnectAfter&) = delete;

private:
  Connection& database_;
};

// Whether the server has a variable of this name.
bool server_knows(Connection& database, const char* variable) {
  database << "SHOW VARIABLES LIKE '" << variable << "'";
  kelvor::mysql::Result result = database.query();
  kelvor::mysql::Row row;
  return database.fetch_row(result, row);
}

}  // namespace

std::string period_format_for(const std::string& stats_period) {
  for (const PeriodFormat& format : kPeriodFormats) {
    if (stats_period == format.period) return format.first_day;
  }
  throw TUError("Incorrect traffic statistics period (can be 'day', 'month', 'year').");
}

std::string traffic_update_statement(std::uint64_t bytes, const TrafficRow& row) {
  const std::string n = std::to_string(bytes);
  return "UPDATE module_zentra_servers SET total_traffic=total_traffic+" + n +
         ", period_traffic=if(@in_period:=(begin_period_date <= (@curdate:=CURDATE()) AND @curdate < "
         "end_period_date), period_traffic+" +
         n + ", " + n + "), " + "begin_period_date=if(@in_period, begin_period_date, DATE_FORMAT(@curdate, '" +
         period_format_for(row.stats_period) +
         "')), end_period_date=if(@in_period, end_period_date, begin_period_date + INTERVAL 1 " + row.stats_period +
         ") WHERE id=" + row.game_id + ";";
}

void assign_curdate_on_connect(Connection& database) {
  // Compared with a NULL begin_period_date the update never reaches its own assignment of
  // @curdate: a new row would never get its first period.
  database.add_session_statement("SET @curdate=CURDATE()");
  const std::string limit = std::to_string(kStatementLimit.count());
  // A MySQL server knows no statement limit; its lock waits can be bounded.
  database.add_session_statement(mariadb_connection(database.handle())
                                     ? "SET SESSION max_statement_time=" + limit
                                     : "SET SESSION lock_wait_timeout=" + limit + ", innodb_lock_wait_timeout=" + limit);
  // A Galera node applies what the others committed a little later: the row read back after
  // a failover would miss an update the dead node applied, and its bytes would go out twice.
  // The read waits until the node has caught up. A server without the variable refuses it.
  if (server_knows(database, "wsrep_sync_wait")) database.add_session_statement("SET SESSION wsrep_sync_wait=1");
}

TrafficWriter::TrafficWriter(Connection& database, TrafficRow row, std::string job_name)
    : database_(database), row_(std::move(row)), job_name_(std::move(job_name)) {}

void TrafficWriter::admit(std::uint64_t& pending, std::uint64_t bytes, std::chrono::steady_clock::duration elapsed) {
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(elapsed) + std::chrono::seconds(1);
  const std::uint64_t most = kMostBytesPerSecond * static_cast<std::uint64_t>(seconds.count());
  if (bytes <= most) {
    pending = saturating_add(pending, bytes);
    return;
  }
  job_log(LOG_ERR, job_name_ + ": implausible traffic held back, not billed: " + std::to_string(bytes) +
                       " bytes read within " + std::to_string(seconds.count()) + " s, more than " + std::to_string(most) +
                       " a host's network carries");
}

// Lost replies. An update adds N to total_traffic, and this job is the only writer of its
// row's traffic; the period columns may roll over with it, total_traffic never does. So the
// total is read just before each update, as T, and an update whose reply was lost is decided
// later from the row: total T + N means it was applied, T that it was not (its bytes are
// pending again), anything else that someone else changed the row, and the bytes count as
// written (never sent twice blindly). The row is read only once the lost statement cannot be
// running any more (kStatementLimit after it went), and nothing is sent before it is decided.
bool TrafficWriter::write(std::uint64_t& pending) {
  if (pending == 0 && !unresolved_) return true;
  DisconnectAfter disconnect(database_);
  try {
    // Connecting first: a connection refused or lost now is no lost reply to the update.
    database_.handle();
    if (unresolved_ && !resolve(pending)) return false;
    if (pending == 0) return true;
    const std::optional<RowFigures> row = read_row();
    const std::uint64_t bytes = fitting(pending, row);
    if (bytes == 0) {
      pending = 0;
      return true;
    }
    const auto sent = std::chrono::steady_clock::now();
    try {
      send_update(bytes);
    } catch (const mReplyLost& e) {
      unresolved_ = Unresolved{row ? std::optional(row->total) : std::nullopt, bytes, sent};
      pending = 0;
      job_log(LOG_WARNING, job_name_ + ": reply to the traffic update lost, " + std::to_string(bytes) +
                               " bytes to be checked in the row: " + e.what());
      return false;
    }
    pending = 0;
    return written(bytes);
  } catch (const mError& e) {
    log_failure(pending, e.what());
    return false;
  }
}

bool TrafficWriter::resolve(std::uint64_t& pending) {
  const Unresolved lost = *unresolved_;
  if (std::chrono::steady_clock::now() < lost.sent + kStatementLimit + std::chrono::seconds(1)) return false;
  const std::optional<RowFigures> row = read_row();
  unresolved_.reset();
  const std::string figure = std::to_string(lost.bytes) + " bytes";
  if (row && lost.total_before && row->total == *lost.total_before + lost.bytes) {
    job_log(LOG_INFO, job_name_ + ": the traffic update whose reply was lost was applied, " + figure);
  } else if (row && lost.total_before && row->total == *lost.total_before) {
    pending = saturating_add(pending, lost.bytes);
    job_log(LOG_INFO, job_name_ + ": the traffic update whose reply was lost was not applied, " + figure + " pending again");
  } else {
    job_log(LOG_ERR, job_name_ + ": the traffic update whose reply was lost can not be told from the row, " + figure +
                         " counted as written");
  }
  return true;
}

std::optional<TrafficWriter::RowFigures> TrafficWriter::read_row() {
  database_ << "SELECT total_traffic, period_traffic, begin_period_date <= CURDATE() AND CURDATE() < end_period_date AS "
               "in_period FROM module_zentra_servers WHERE id="
            << row_.game_id << ";";
  kelvor::mysql::Result result = database_.query();
  kelvor::mysql::Row fetched;
  if (!database_.fetch_row(result, fetched)) return std::nullopt;
  const auto number = [&](const char* column) {
    const kelvor::mysql::Value& value = fetched[column];
    std::uint64_t figure = 0;
    const char* end = value.text.data() + value.text.size();
    if (!value.is_null && std::from_chars(value.text.data(), end, figure).ptr != end) {
      throw mError("the row's " + std::string(column) + " is no figure: " + value.text);
    }
    return figure;
  };
  return RowFigures{number("total_traffic"), fetched["in_period"].text == "1" ? number("period_traffic") : 0};
}

std::uint64_t TrafficWriter::fitting(std::uint64_t pending, const std::optional<RowFigures>& row) {
  if (!row) return pending;  // no row to bill: the update changes nothing
  // BIGINT UNSIGNED: a figure beyond it fails every later update of the row.
  const std::uint64_t room = UINT64_MAX - std::max(row->total, row->period);
  if (pending <= room) return pending;
  job_log(LOG_ERR, job_name_ + ": the row holds " + std::to_string(row->total) + " bytes in all, " +
                       std::to_string(row->period) + " in its period: " + std::to_string(room) + " of " +
                       std::to_string(pending) + " bytes fit, " + std::to_string(pending - room) + " not billed");
  return room;
}

bool TrafficWriter::written(std::uint64_t bytes) {
  if (!failing_.empty()) job_log(LOG_INFO, job_name_ + ": traffic written again, " + std::to_string(bytes) + " bytes");
  failing_.clear();
  return true;
}

void TrafficWriter::send_update(std::uint64_t bytes) {
  database_ << traffic_update_statement(bytes, row_);
  database_.execute();
}

// One line per run of equal failures, so an outage does not flood the log.
void TrafficWriter::log_failure(std::uint64_t pending, const std::string& reason) {
  if (reason == failing_) return;
  failing_ = reason;
  job_log(LOG_WARNING, job_name_ + ": traffic not written, " + std::to_string(pending) + " bytes kept pending: " + reason);
}

std::uint64_t account_traffic(StatisticsReader& reader, TrafficWriter& writer, BilledTraffic& billed,
                              std::chrono::milliseconds interval, const std::function<bool()>& stopping) {
  StatisticsCounters counters;  // read since the last flush
  std::uint64_t pending = 0;
  auto last = std::chrono::steady_clock::now();
  FollowLimits limits;
  limits.stopping = stopping;
  follow_statistics(
      reader, counters, interval,
      [&](bool final) {
        const auto now = std::chrono::steady_clock::now();
        writer.admit(pending, billed.take(counters.traffic, final), now - last);
        counters.traffic = 0;
        last = now;
        writer.write(pending);
      },
      limits);
  return pending;
}
