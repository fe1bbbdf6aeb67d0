// Running the installed manager inside the sandbox.
#pragma once

#include <string>

#include "tests/support/sandbox.h"

namespace zentra_test {

// Runs "$ZENTRA_MNG <args>" in a fresh sandbox after `setup` (shell commands, may be empty).
// `args` is inserted into the shell command as it stands.
inline RunResult run_manager(const std::string& args, const std::string& setup = "") {
  return sandbox_run(setup + "\nexec \"$ZENTRA_MNG\" " + args);
}

}  // namespace zentra_test
