// Asking for options by name. A query never fails by itself: it records its outcome in the
// shared state, and releasing the query's result raises that outcome, filtered by the
// exception mask (like a stream's state and exceptions()).
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "opt/opts.h"

namespace kelvor::opt {

class TOptResult;

class TOParsing {
public:
  static constexpr int GOOD = 0, MISSING = 1, UNKNOWN = 2, BAD_VALUE = 4;
  static constexpr int NO_VALUE = 0, ANY_VALUE = 1, REQUIRED_VALUE = 2;

  class TPError;
  class TNoSOpt;
  class TNoLOpt;
  class TBadLOpt;
  class TUnknSOpt;
  class TUnknLOpt;

  // A query object over `opts`, state GOOD, all three error kinds raised.
  explicit TOParsing(TOpts opts);

  // Looks up --name; found only when its value fits `mode`.
  TOptResult long_opt(const std::string& name, int mode);
  // Looks up -letter.
  TOptResult short_opt(char letter);
  // Forgets the outcome of the latest query, so that releasing its result raises nothing.
  void clear();
  // Sets the error kinds that are raised.
  void exceptions(int mask);
  int state() const { return body_->state; }
  // Raises for the first option given but never asked for (short ones first), then forgets
  // what was asked.
  void check_unknown();

private:
  friend class TOptResult;
  struct Body {
    explicit Body(TOpts o) : opts(std::move(o)) {}
    TOpts opts;
    int state = GOOD;
    bool armed = false;
    int mask = MISSING | UNKNOWN | BAD_VALUE;
    int missing_kind = 0;  // 1 long, 0 short
    char missing_letter = 0;
    std::string missing_name;
    std::optional<TOpts::LongEntry> bad_entry;
    std::set<signed char> asked_short;
    std::set<std::string> asked_long;
  };
  // Raises the outcome of the latest query once (see the class comment).
  void release_check();
  std::shared_ptr<Body> body_;
};

class TOParsing::TPError : public TError {
public:
  TPError(std::string message, TOParsing parsing) : TError(std::move(message)), parsing_(std::move(parsing)) {}
  const TOParsing& parsing() const { return parsing_; }

private:
  TOParsing parsing_;
};
class TOParsing::TNoSOpt : public TOParsing::TPError {
public:
  TNoSOpt(char letter, TOParsing parsing);
  char letter() const { return letter_; }

private:
  char letter_;
};
class TOParsing::TNoLOpt : public TOParsing::TPError {
public:
  TNoLOpt(const std::string& name, TOParsing parsing);
  const std::string& name() const { return name_; }

private:
  std::string name_;
};
class TOParsing::TBadLOpt : public TOParsing::TPError {
public:
  TBadLOpt(const TOpts::LongEntry& entry, TOParsing parsing);
  const TOpts::LongEntry& entry() const { return entry_; }

private:
  TOpts::LongEntry entry_;
};
class TOParsing::TUnknSOpt : public TOParsing::TPError {
public:
  TUnknSOpt(const TOpts::ShortEntry& entry, TOParsing parsing);
  const TOpts::ShortEntry& entry() const { return entry_; }

private:
  TOpts::ShortEntry entry_;
};
class TOParsing::TUnknLOpt : public TOParsing::TPError {
public:
  TUnknLOpt(const TOpts::LongEntry& entry, TOParsing parsing);
  const TOpts::LongEntry& entry() const { return entry_; }

private:
  TOpts::LongEntry entry_;
};

// The result of one query. Releasing it (release() or its destructor) raises the outcome of
// the latest query of its TOParsing, once.
class TOptResult {
public:
  TOptResult(TOParsing parsing, bool found, std::optional<TOpts::LongEntry> long_entry, char letter);
  TOptResult(TOptResult&& other) noexcept;
  TOptResult(const TOptResult&) = delete;
  TOptResult& operator=(const TOptResult&) = delete;
  ~TOptResult() noexcept(false);

  bool found() const { return found_; }
  // The value of a found long option.
  const std::string& value() const { return long_entry_->value; }
  // Runs the release check now; the destructor then does nothing.
  void release();

private:
  TOParsing parsing_;
  bool found_;
  std::optional<TOpts::LongEntry> long_entry_;
  char letter_;
  bool released_ = false;
  int uncaught_at_birth_;
};

}  // namespace kelvor::opt
