// The sandbox keeps everything a test does away from the host.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <dirent.h>
#include <fstream>
#include <string>

#include "tests/support/sandbox.h"

using zentra_test::sandbox_run;

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// True when a process on the host has exactly this command line (words joined by NUL).
bool host_runs(const std::string& cmdline) {
  DIR* proc = opendir("/proc");
  bool found = false;
  while (dirent* entry = readdir(proc)) {
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text == cmdline) found = true;
  }
  closedir(proc);
  return found;
}

}  // namespace

TEST(Sandbox, FileAndAccountChangesStayInside) {
  const std::string marker = "zentra-sandbox-test-" + std::to_string(getpid());
  const auto r = sandbox_run("useradd -m " + marker.substr(0, 30) + "\n" +
                             "touch /etc/" + marker + " /tmp/" + marker + " /home/" + marker +
                             " /usr/" + marker + " /var/" + marker + "\n"
                             "grep -c '^" + marker.substr(0, 30) + ":' /etc/passwd");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1\n");
  for (const char* dir : {"/etc/", "/tmp/", "/home/", "/usr/", "/var/"}) {
    EXPECT_FALSE(exists(dir + marker)) << dir;
  }
  std::ifstream passwd("/etc/passwd");
  std::string text((std::istreambuf_iterator<char>(passwd)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find(marker.substr(0, 30)), std::string::npos);
}

TEST(Sandbox, ProvidesPanelConfigurationAndInstalledModule) {
  const auto r = sandbox_run(
      "grep -c . /etc/vexa/vexa.conf\n"
      "test -x \"$ZENTRA_MNG\" && echo manager\n"
      "test \"$ZENTRA_MODULE_DIR\" = /usr/local/vexa/admin/bin/modules/zentra && echo module-dir\n"
      "ls -A /tmp /home | grep -c . || true");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "25\nmanager\nmodule-dir\n2\n");  // /tmp and /home are empty: only their headers
}

TEST(Sandbox, ProcessesLeftBehindEndWithIt) {
  const std::string seconds = std::to_string(900000 + getpid() % 10000);
  const auto r = sandbox_run("setsid sleep " + seconds + " </dev/null >/dev/null 2>&1 &\necho started");
  ASSERT_EQ(r.out, "started\n") << r.err;
  EXPECT_FALSE(host_runs("sleep" + std::string(1, '\0') + seconds + std::string(1, '\0')));
}

TEST(Sandbox, ExitStatusIsTheCommands) {
  EXPECT_EQ(sandbox_run("exit 7").status, 7);
}
