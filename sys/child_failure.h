// What becomes of a forked child that fails before its program runs.
//
// A child forked by TExec::run is a copy of its caller: unwinding into the caller's code
// would run destructors of resources the parent still owns (a database connection, a
// temporary file). So an error raised in such a child (a failed exec, a failed pipe or
// fork of a step) is caught right in run(), handed to the process-wide reporter, and the
// child ends with _exit and the status the reporter returns.
#pragma once

#include <exception>
#include <string>

namespace kelvor::sys {

// Reports a child's error and returns the child's exit status. Runs in the failed child,
// whose stdio buffers are not its own: write with write(2) only.
using TChildFailureReporter = int (*)(const std::exception_ptr& error);

// Installs the reporter for this process and its future children; nullptr restores the
// default. Returns the previous one.
TChildFailureReporter set_child_failure_reporter(TChildFailureReporter reporter) noexcept;

// The default, doing what the front end does with an error: writes error_text + "\n" to
// standard output and returns 1.
int report_child_failure_to_stdout(const std::exception_ptr& error);

// For a background job: writes nothing, returns the error number of a TSysCallErr, else 255.
int report_child_failure_as_status(const std::exception_ptr& error);

// The front end's text of an error: a TUError's message, a kelvor::TError's what(),
// "Error" for anything else.
std::string error_text(const std::exception_ptr& error);

// Reports through the installed reporter and _exits with its status.
[[noreturn]] void end_failed_child(const std::exception_ptr& error) noexcept;

}  // namespace kelvor::sys
