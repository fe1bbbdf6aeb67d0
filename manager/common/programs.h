// Building the runs of system programs that the commands make.
#pragma once

#include <initializer_list>
#include <string>

#include "sys/exec.h"

// A TExec of `args` (program first, found through PATH) with the default flags: forked and
// waited for.
inline kelvor::sys::TExec program(std::initializer_list<std::string> args) {
  return kelvor::sys::TExec(kelvor::sys::TEArgs().add(args));
}
