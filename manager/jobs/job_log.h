// Background jobs write to the system log, since their own output goes to the null device:
// an administrator sees there why a server did not start or an update stopped.
#pragma once

#include <functional>
#include <string>
#include <syslog.h>

// Sends one line to the system log as "zentra_mng[<pid>]", facility daemon, at `priority`
// (LOG_INFO, LOG_ERR, ...); line breaks in `text` become blanks.
void job_log(int priority, const std::string& text);

// Runs body, logging "<name> started", then "<name> ended with result <n>" and returning n, or
// "<name> failed: <error text>" (LOG_ERR) and rethrowing the error unchanged. The text is
// TUError's message, what() of a std::exception, else "unknown error".
int run_logged(const std::string& name, const std::function<int()>& body);
