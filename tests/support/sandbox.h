// Running shell scripts as root inside a throw-away sandbox of this host.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace zentra_test {

// Runs `script` with /bin/sh -e inside a fresh sandbox (scripts/sandbox): private /tmp, /home
// and /run, host name and IPC, copy-on-write /etc, /usr and /var, a panel configuration and
// the installed module.
// Inside, $ZENTRA_MNG is the manager and $ZENTRA_MODULE_DIR its module directory.
RunResult sandbox_run(const std::string& script, const std::vector<std::string>& env = {},
                      const std::string& input = "");

// Quotes a word for the shell.
std::string shell_quote(const std::string& word);

// Absolute paths of the source and build trees of this test build.
std::string source_dir();
std::string build_dir();

}  // namespace zentra_test
