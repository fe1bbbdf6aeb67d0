// The update job's rows in module_zentra_parameters: per game its state, the bytes the updater
// moved and the install records it queried, each under "mod::<game>.update.<row>".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mysql/cpp_mysql.h"

// Each change is kept until a statement carrying it has succeeded, so a database that is away
// for a while loses nothing: what is pending goes out with the next write. A statement whose
// reply was lost may have been applied: its row is read back first, and the statement goes
// again only when the row does not hold its value.
class UpdateRows {
public:
  explicit UpdateRows(kelvor::mysql::Connection& db) : db_(db) {}

  // The game's three rows made afresh: state "wait", traffic and files 0.
  void reset(const std::string& game);
  // The game's state: "wait", "updating", "error" or "completed".
  void set_state(const std::string& game, const std::string& state);
  // The game's two figures; nothing happens when they are what was last set.
  void set_figures(const std::string& game, std::uint64_t traffic, std::uint64_t files);

  // Sends what is pending, in the order it was first set, one statement per row; stops at
  // the first failure, keeping that row and the ones after it. True when nothing is left.
  bool write() noexcept;
  // write(), tried `attempts` times in all, `pause_seconds` apart, until nothing is left;
  // then throws the last database error.
  void write_or_throw(int attempts, unsigned pause_seconds);

private:
  struct Row {
    std::string game;
    const char* name;    // "state", "traffic" or "files"
    std::string value;   // as the column holds it
    bool replace;        // the row is still to be made: REPLACE rather than UPDATE
    bool unsure = false; // the reply to this value's statement was lost
  };
  void set(const std::string& game, const char* name, std::string value, bool replace);
  // Sends the row's statement, unless an earlier one whose reply was lost did the work.
  void write_row(Row& row);
  // True when the database's row holds the value that `row` carries.
  bool holds(const Row& row);
  void send(const Row& row);
  // The value as the statement writes it: states are words and go quoted, figures are numbers.
  static std::string sql_value(const Row& row);

  kelvor::mysql::Connection& db_;
  std::vector<Row> pending_;
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> figures_;  // last set, by game
  std::string last_error_;  // of the last failed write; empty once one succeeded
};
