#include "manager/jobs/job_log.h"

#include <exception>

#include "sys/errors.h"

namespace {

std::string error_text(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const TUError& e) {
    return e.message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

void job_log(int priority, const std::string& text) {
  // Database errors come in two lines; a log line is one.
  std::string line = text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  // Sets the identity only; the socket is opened, close-on-exec, by the first line.
  openlog("zentra_mng", LOG_PID, LOG_DAEMON);
  syslog(priority, "%s", line.c_str());
}

int run_logged(const std::string& name, const std::function<int()>& body) {
  job_log(LOG_INFO, name + " started");
  try {
    const int result = body();
    job_log(LOG_INFO, name + " ended with result " + std::to_string(result));
    return result;
  } catch (...) {
    job_log(LOG_ERR, name + " failed: " + error_text(std::current_exception()));
    throw;
  }
}
