// Bounded argument lists of the programs that TExec starts.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "sys/errors.h"

namespace kelvor::sys {

// An ordered list of at most LIMIT arguments (argument 0 is the program). Copies share
// one list until one of them changes it; an empty list shares a single static list, so
// making one allocates nothing.
class TEArgs {
public:
  class TEArgsError;
  class TOutOfRange;
  class TOverflow;

  static constexpr unsigned LIMIT = 100;

  TEArgs();

  // Appends one argument; throws TOverflow (list unchanged) past LIMIT.
  TEArgs& add(const std::string& arg);
  // Appends all of `more` at once, or none of them (TOverflow).
  TEArgs& add(const TEArgs& more);
  TEArgs& add(std::initializer_list<std::string> more);

  unsigned size() const noexcept { return static_cast<unsigned>(list_->size()); }
  bool empty() const noexcept { return list_->empty(); }
  // Argument i; throws TOutOfRange past the end.
  const std::string& operator[](unsigned i) const;
  std::vector<std::string>::const_iterator begin() const noexcept { return list_->begin(); }
  std::vector<std::string>::const_iterator end() const noexcept { return list_->end(); }

  // True when both handles use the same list (no copy was made between them).
  bool shares_list_with(const TEArgs& other) const noexcept { return list_ == other.list_; }

private:
  template <class It>
  void append(It first, It last, unsigned count);

  std::shared_ptr<std::vector<std::string>> list_;
};

// Base of the list's errors; keeps a handle on the list that failed (no strings copied).
class TEArgs::TEArgsError : public TSysErr {
public:
  TEArgsError(std::string message, TEArgs args) : TSysErr(std::move(message)), args_(std::move(args)) {}
  const TEArgs& args() const noexcept { return args_; }

private:
  TEArgs args_;
};

// An indexed read past the end: "Wrong index (index = i)".
class TEArgs::TOutOfRange : public TEArgsError {
public:
  TOutOfRange(const TEArgs& args, unsigned index);
  unsigned index() const noexcept { return index_; }

private:
  unsigned index_;
};

// Adding `added` arguments to a list of `count` would pass the limit.
class TEArgs::TOverflow : public TEArgsError {
public:
  TOverflow(const TEArgs& args, unsigned count, unsigned added);
};

}  // namespace kelvor::sys
