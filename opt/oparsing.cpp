#include "opt/oparsing.h"

#include <exception>

namespace kelvor::opt {
namespace {

const std::string kRequiresShort = "Requires short option";
const std::string kRequiresLong = "Requires long option";
const std::string kIncorrectLong = "Incorrect long option";
const std::string kUnknown = "Unknown option";

std::string quoted_short(char letter) { return std::string(" '-") + letter + "'"; }
std::string quoted_long(const std::string& name) { return " '--" + name + "'"; }

}  // namespace

TOParsing::TNoSOpt::TNoSOpt(char letter, TOParsing parsing)
    : TPError(kRequiresShort + quoted_short(letter), std::move(parsing)), letter_(letter) {}

TOParsing::TNoLOpt::TNoLOpt(const std::string& name, TOParsing parsing)
    : TPError(kRequiresLong + quoted_long(name), std::move(parsing)), name_(name) {}

TOParsing::TBadLOpt::TBadLOpt(const TOpts::LongEntry& entry, TOParsing parsing)
    : TPError(kIncorrectLong + quoted_long(entry.name), std::move(parsing)), entry_(entry) {}

TOParsing::TUnknSOpt::TUnknSOpt(const TOpts::ShortEntry& entry, TOParsing parsing)
    : TPError(kUnknown + quoted_short(entry.letter), std::move(parsing)), entry_(entry) {}

TOParsing::TUnknLOpt::TUnknLOpt(const TOpts::LongEntry& entry, TOParsing parsing)
    : TPError(kUnknown + quoted_long(entry.name), std::move(parsing)), entry_(entry) {}

TOParsing::TOParsing(TOpts opts) : body_(std::make_shared<Body>(std::move(opts))) {}

TOptResult TOParsing::long_opt(const std::string& name, int mode) {
  Body& b = *body_;
  b.state = GOOD;
  b.armed = true;
  const auto& table = b.opts.long_options();
  const auto it = table.find(name);
  if (it == table.end()) {
    b.missing_kind = 1;
    b.missing_name = name;
    b.state |= MISSING;
    return TOptResult(*this, false, std::nullopt, 0);
  }
  const bool fits = mode == ANY_VALUE || (mode == NO_VALUE && it->second.value.empty()) ||
                    (mode == REQUIRED_VALUE && !it->second.value.empty());
  if (!fits) {
    b.bad_entry = it->second;
    b.state |= BAD_VALUE;
    return TOptResult(*this, false, std::nullopt, 0);
  }
  b.asked_long.insert(name);
  return TOptResult(*this, true, it->second, 0);
}

TOptResult TOParsing::short_opt(char letter) {
  Body& b = *body_;
  b.state = GOOD;
  b.armed = true;
  const auto& table = b.opts.short_options();
  if (table.find(static_cast<signed char>(letter)) == table.end()) {
    b.missing_kind = 0;
    b.missing_letter = letter;
    b.state |= MISSING;
    return TOptResult(*this, false, std::nullopt, letter);
  }
  b.asked_short.insert(static_cast<signed char>(letter));
  return TOptResult(*this, true, std::nullopt, letter);
}

void TOParsing::clear() { body_->state = GOOD; }

void TOParsing::exceptions(int mask) { body_->mask = mask; }

void TOParsing::check_unknown() {
  Body& b = *body_;
  if (b.asked_short.size() != b.opts.short_options().size() && (b.mask & UNKNOWN)) {
    for (const auto& [key, entry] : b.opts.short_options()) {
      if (!b.asked_short.count(key)) throw TUnknSOpt(entry, *this);
    }
  }
  if (b.asked_long.size() != b.opts.long_options().size() && (b.mask & UNKNOWN)) {
    for (const auto& [key, entry] : b.opts.long_options()) {
      if (!b.asked_long.count(key)) throw TUnknLOpt(entry, *this);
    }
  }
  b.asked_short.clear();
  b.asked_long.clear();
  b.state = GOOD;
}

void TOParsing::release_check() {
  Body& b = *body_;
  if (!b.armed) return;
  b.armed = false;
  if (b.state == GOOD) return;
  if ((b.state & MISSING) && (b.mask & MISSING)) {
    if (b.missing_kind == 1) throw TNoLOpt(b.missing_name, *this);
    throw TNoSOpt(b.missing_letter, *this);
  }
  if ((b.state & BAD_VALUE) && (b.mask & BAD_VALUE) && b.bad_entry) throw TBadLOpt(*b.bad_entry, *this);
}

TOptResult::TOptResult(TOParsing parsing, bool found, std::optional<TOpts::LongEntry> long_entry, char letter)
    : parsing_(std::move(parsing)),
      found_(found),
      long_entry_(std::move(long_entry)),
      letter_(letter),
      uncaught_at_birth_(std::uncaught_exceptions()) {}

TOptResult::TOptResult(TOptResult&& other) noexcept
    : parsing_(other.parsing_),
      found_(other.found_),
      long_entry_(std::move(other.long_entry_)),
      letter_(other.letter_),
      released_(other.released_),
      uncaught_at_birth_(other.uncaught_at_birth_) {
  other.released_ = true;
}

void TOptResult::release() {
  if (released_) return;
  released_ = true;
  parsing_.release_check();
}

TOptResult::~TOptResult() noexcept(false) {
  // Raising while another error unwinds would end the program; that error wins.
  if (std::uncaught_exceptions() > uncaught_at_birth_) return;
  release();
}

}  // namespace kelvor::opt
