// Error classes of the process execution library and the manager's own refusal error.
#pragma once

#include <exception>
#include <string>

namespace kelvor {

// Base of the library and option-parser errors: a message text.
class TError : public std::exception {
public:
  explicit TError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// A failed system call with a context text; what() is the context alone.
class ExError : public std::exception {
public:
  explicit ExError(std::string context) : context_(std::move(context)) {}
  const char* what() const noexcept override { return context_.c_str(); }
  const std::string& context() const noexcept { return context_; }

private:
  std::string context_;
};

// A failed system call: what() is "<context>: <strerror(number)>".
class ExSystemErrorBase : public ExError {
public:
  ExSystemErrorBase(const std::string& context, int number);
  const char* what() const noexcept override { return full_text_.c_str(); }
  int error_number() const noexcept { return number_; }

private:
  std::string full_text_;
  int number_;
};

// The same failure with its error number as a type, so callers can catch e.g. EINTR apart.
template <int N>
class ExSystemError : public ExSystemErrorBase {
public:
  explicit ExSystemError(const std::string& context) : ExSystemErrorBase(context, N) {}
};

// Throws ExSystemError<N> for EPERM, ENOENT, EINTR, ECHILD and EAGAIN, else ExSystemErrorBase.
[[noreturn]] void throw_system_error(const std::string& context, int number);

namespace sys {

// Common base for catching the process library's errors.
class TSysErr : public TError {
public:
  using TError::TError;
};

// A failed pipe, fork, waitpid or exec: the message is strerror(number) alone.
class TSysCallErr : public TSysErr {
public:
  explicit TSysCallErr(int number);
  int error_number() const noexcept { return number_; }

private:
  int number_;
};

}  // namespace sys
}  // namespace kelvor

// The manager's refusal: a message printed as the command's answer. Deliberately not a
// std::exception, so that it is never reported as a generic error.
class TUError {
public:
  explicit TUError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

private:
  std::string message_;
};
