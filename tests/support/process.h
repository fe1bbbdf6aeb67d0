// Running a program from a test and collecting what it did.
#pragma once

#include <string>
#include <vector>

namespace zentra_test {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv (argv[0] searched in PATH) with `input` on stdin and extra environment
// entries "NAME=value"; kills it after `timeout_seconds`.
RunResult run_program(const std::vector<std::string>& argv, const std::string& input = "",
                      const std::vector<std::string>& env = {}, int timeout_seconds = 240);

}  // namespace zentra_test
