#include "tests/support/sandbox.h"

namespace zentra_test {

std::string source_dir() { return ZENTRA_SOURCE_DIR; }
std::string build_dir() { return ZENTRA_BUILD_DIR; }

std::string shell_quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

RunResult sandbox_run(const std::string& script, const std::vector<std::string>& env,
                      const std::string& input) {
  return run_program({source_dir() + "/scripts/sandbox", "--build", build_dir(), "--", "/bin/sh", "-ec", script},
                     input, env);
}

}  // namespace zentra_test
