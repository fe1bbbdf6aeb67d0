#include "manager/updates/update_rows.h"

#include <algorithm>
#include <string_view>
#include <unistd.h>

#include "manager/jobs/job_log.h"

using kelvor::mysql::escaped;

void UpdateRows::reset(const std::string& game) {
  set(game, "state", "wait", true);
  set(game, "traffic", "0", true);
  set(game, "files", "0", true);
  figures_[game] = {0, 0};
}

void UpdateRows::set_state(const std::string& game, const std::string& state) {
  set(game, "state", state, true);
}

void UpdateRows::set_figures(const std::string& game, std::uint64_t traffic, std::uint64_t files) {
  auto& last = figures_[game];
  if (last == std::make_pair(traffic, files)) return;
  last = {traffic, files};
  // Both together, as the panel shows them side by side.
  set(game, "traffic", std::to_string(traffic), false);
  set(game, "files", std::to_string(files), false);
}

void UpdateRows::set(const std::string& game, const char* name, std::string value, bool replace) {
  const auto same_row = [&](const Row& row) { return row.game == game && row.name == std::string(name); };
  const auto pending = std::find_if(pending_.begin(), pending_.end(), same_row);
  if (pending == pending_.end()) {
    pending_.push_back({game, name, std::move(value), replace});
    return;
  }
  // A row not yet made is still made by the statement that carries its newer value, which
  // goes out whatever became of a statement before it. The same value again (one figure
  // moved, the other not) is no newer: a lost statement carrying it is still read back.
  if (pending->value != value) pending->unsure = false;
  pending->value = std::move(value);
  pending->replace = pending->replace || replace;
}

void UpdateRows::write_row(Row& row) {
  if (row.unsure && holds(row)) return;
  row.unsure = false;
  try {
    send(row);
  } catch (const kelvor::mysql::mReplyLost&) {
    // The server may have applied it: it goes again only once the row is seen without it.
    row.unsure = true;
    throw;
  }
}

bool UpdateRows::holds(const Row& row) {
  db_ << "SELECT val FROM module_zentra_parameters WHERE param='mod::" << escaped << row.game << ".update."
      << row.name << "';";
  kelvor::mysql::Result result = db_.query();
  kelvor::mysql::Row fetched;
  if (!db_.fetch_row(result, fetched)) return false;
  return fetched["val"].text == row.value;
}

std::string UpdateRows::sql_value(const Row& row) {
  return row.name == std::string_view("state") ? "'" + row.value + "'" : row.value;
}

void UpdateRows::send(const Row& row) {
  if (row.replace) {
    db_ << "REPLACE module_zentra_parameters SET param='mod::" << escaped << row.game << ".update." << row.name
        << "', val=" << sql_value(row) << ";";
  } else {
    db_ << "UPDATE module_zentra_parameters SET val=" << sql_value(row) << " WHERE param='mod::" << escaped << row.game
        << ".update." << row.name << "';";
  }
  db_.execute();
}

bool UpdateRows::write() noexcept {
  std::size_t sent = 0;
  try {
    for (; sent < pending_.size(); ++sent) write_row(pending_[sent]);
  } catch (const std::exception& error) {
    // The first failure of a run of them is worth a line; the rest would only repeat it.
    if (last_error_.empty()) job_log(LOG_ERR, std::string("update state kept for a later write: ") + error.what());
    last_error_ = error.what();
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
  if (!pending_.empty()) return false;
  if (!last_error_.empty()) job_log(LOG_INFO, "update state written again");
  last_error_.clear();
  return true;
}

void UpdateRows::write_or_throw(int attempts, unsigned pause_seconds) {
  for (int attempt = 1; !write(); ++attempt) {
    if (attempt >= attempts) throw kelvor::mysql::mError(last_error_);
    sleep(pause_seconds);
  }
}
