// The parsed command line: long options "--name[=value]", short options "-abc" and plain words.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sys/errors.h"

namespace kelvor::opt {

class TOpts {
public:
  struct ShortEntry {
    char letter;
    size_t arg_index;  // the argument it came from
  };
  struct LongEntry {
    std::string name;
    std::string value;  // empty when none was given
    size_t arg_index;
  };
  using ShortTable = std::map<signed char, ShortEntry>;
  using LongTable = std::map<std::string, LongEntry>;

  class TOptsError;
  class TOutOfRange;

  // Parses argv[1..argc-1], stopping at a null element; argv[0] is the program name.
  TOpts(const char* const* argv, int argc);
  // The same for a null-terminated vector.
  explicit TOpts(const char* const* argv);

  const std::string& program_name() const { return body_->program; }
  size_t arg_count() const { return body_->args.size(); }
  // The argument at `index` (0 is the first after the program name); raises TOutOfRange.
  const std::string& arg(int index) const;
  const ShortTable& short_options() const { return body_->shorts; }
  const LongTable& long_options() const { return body_->longs; }

private:
  struct Body {
    std::string program;
    std::vector<std::string> args;
    ShortTable shorts;
    LongTable longs;
  };
  void parse(const char* argument);
  std::shared_ptr<Body> body_;
};

class TOpts::TOptsError : public TError {
public:
  TOptsError(std::string message, TOpts opts) : TError(std::move(message)), opts_(std::move(opts)) {}
  const TOpts& opts() const { return opts_; }

private:
  TOpts opts_;
};
class TOpts::TOutOfRange : public TOpts::TOptsError {
public:
  TOutOfRange(int index, TOpts opts);
  int index() const { return index_; }

private:
  int index_;
};

}  // namespace kelvor::opt
