#include "manager/games/traffic_accounting.h"

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
}

TrafficWriter::TrafficWriter(Connection& database, TrafficRow row, std::string job_name)
    : database_(database), row_(std::move(row)), job_name_(std::move(job_name)) {}

bool TrafficWriter::write(std::uint64_t& pending) {
  if (pending == 0) return true;
  DisconnectAfter disconnect(database_);
  try {
    // Connecting first: a connection refused or lost now is no lost reply to the update.
    database_.handle();
  } catch (const mError& e) {
    log_failure(pending, e.what());
    return false;
  }
  const std::uint64_t bytes = pending;
  try {
    send_update(bytes);
  } catch (const mReplyLost& e) {
    pending = 0;
    failing_.clear();
    job_log(LOG_ERR, job_name_ + ": reply to the traffic update lost, " + std::to_string(bytes) +
                         " bytes counted as written: " + e.what());
    return true;
  } catch (const mError& e) {
    log_failure(pending, e.what());
    return false;
  }
  pending = 0;
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

std::uint64_t account_traffic(StatisticsReader& reader, TrafficWriter& writer, std::chrono::milliseconds interval) {
  StatisticsCounters counters;
  follow_statistics(reader, counters, interval, [&](bool) { writer.write(counters.traffic); });
  return counters.traffic;
}
