#include "sys/child_failure.h"

#include <unistd.h>

#include "sys/descriptors.h"
#include "sys/errors.h"

namespace kelvor::sys {
namespace {

TChildFailureReporter current_reporter = &report_child_failure_to_stdout;

}  // namespace

TChildFailureReporter set_child_failure_reporter(TChildFailureReporter reporter) noexcept {
  TChildFailureReporter previous = current_reporter;
  current_reporter = reporter ? reporter : &report_child_failure_to_stdout;
  return previous;
}

std::string error_text(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const TUError& e) {
    return e.message();
  } catch (const TError& e) {
    return e.what();
  } catch (...) {
    return "Error";
  }
}

int report_child_failure_to_stdout(const std::exception_ptr& error) {
  std::string line = error_text(error) + "\n";
  detail::write_all(STDOUT_FILENO, line.data(), line.size());
  return 1;
}

int report_child_failure_as_status(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const TSysCallErr& e) {
    return e.error_number() & 0xff;
  } catch (...) {
    return 255;
  }
}

void end_failed_child(const std::exception_ptr& error) noexcept {
  int status = 1;
  try {
    status = current_reporter(error);
  } catch (...) {
  }
  _exit(status);
}

}  // namespace kelvor::sys
