// The sandbox keeps everything a test does away from the host.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <dirent.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "tests/support/sandbox.h"
#include "tests/support/test_db.h"

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
      "test \"$ZENTRA_MODULE_DIR\" = /usr/local/vexa/admin/bin/modules/zentra && echo module-dir\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "25\nmanager\nmodule-dir\n");
}

TEST(Sandbox, StartsWithFreshTmpAndHome) {
  const std::string marker = "/tmp/zentra-host-marker-" + std::to_string(getpid());
  std::ofstream(marker) << "host";
  const auto r = sandbox_run("test ! -e " + marker + " && echo fresh-tmp\n"
                             "ls -A /home | grep -c . || true");
  std::remove(marker.c_str());
  ASSERT_EQ(r.status, 0) << r.err;
  // A checkout below /home would be bound back in; this one is not there.
  const bool repo_in_home = zentra_test::source_dir().rfind("/home/", 0) == 0;
  if (!repo_in_home) {
    EXPECT_EQ(r.out, "fresh-tmp\n0\n");
  }
}

TEST(Sandbox, BuildTreeBelowTmpStaysVisible) {
  char dir_template[] = "/tmp/zentra-build-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  std::ofstream(dir + "/inside") << "kept";
  const auto r = zentra_test::run_program({zentra_test::source_dir() + "/scripts/sandbox", "--build", dir,
                                           "--no-install", "--", "cat", dir + "/inside"});
  std::remove((dir + "/inside").c_str());
  rmdir(dir.c_str());
  EXPECT_EQ(r.out, "kept") << r.err;
}

TEST(Sandbox, ProcessesLeftBehindEndWithIt) {
  const std::string seconds = std::to_string(900000 + getpid() % 10000);
  const auto r = sandbox_run("setsid sleep " + seconds + " </dev/null >/dev/null 2>&1 &\necho started");
  ASSERT_EQ(r.out, "started\n") << r.err;
  EXPECT_FALSE(host_runs("sleep" + std::string(1, '\0') + seconds + std::string(1, '\0')));
}

TEST(Sandbox, HostNameRunAndIpcStayOutside) {
  // A server directory of the host's /run, as scripts/test-db makes them.
  char dir_template[] = "/run/zentra-sandbox-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string db_dir = dir_template;
  std::ofstream(db_dir + "/mysqld.sock") << "stand-in";
  const std::string host_marker = db_dir + ".other";
  std::ofstream(host_marker) << "host";
  char host_name[256] = "";
  gethostname(host_name, sizeof host_name);
  std::ifstream queues_file("/proc/sysvipc/msg");
  const std::string queues((std::istreambuf_iterator<char>(queues_file)), std::istreambuf_iterator<char>());

  const auto r = sandbox_run(
      "hostname zentra-sandbox-probe && hostname\n"
      "ipcmk -Q >/dev/null && grep -vc key /proc/sysvipc/msg\n"
      "test -e " + host_marker + " || echo run-private\n"
      "cat " + db_dir + "/mysqld.sock && echo\n"
      "touch " + db_dir + "/x 2>/dev/null || echo read-only\n",
      {"ZENTRA_TEST_DB_SOCKET=" + db_dir + "/mysqld.sock"});
  std::remove(host_marker.c_str());
  std::remove((db_dir + "/mysqld.sock").c_str());
  std::remove((db_dir + "/x").c_str());  // written only when the binding was not read-only
  rmdir(db_dir.c_str());
  EXPECT_EQ(r.out, "zentra-sandbox-probe\n1\nrun-private\nstand-in\nread-only\n") << r.err;
  char after[256] = "";
  gethostname(after, sizeof after);
  EXPECT_STREQ(after, host_name);
  std::ifstream queues_after("/proc/sysvipc/msg");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(queues_after)), std::istreambuf_iterator<char>()),
            queues);
}

TEST(Sandbox, LinesForTheSystemLogStayInside) {
  // A host whose system log listens on a socket in /dev itself, as syslog daemons without
  // systemd do, made in a mount namespace of its own around the sandbox.
  const auto r = zentra_test::run_program(
      {"unshare", "--mount", "--propagation", "private", "sh", "-ec", R"(
    exec 3</dev
    host_dev=/proc/$$/fd/3
    mount -t tmpfs zentra-test-dev /dev
    for node in null zero urandom; do
      touch /dev/$node && mount --bind $host_dev/$node /dev/$node
    done
    mkdir /dev/shm
    exec perl -MIO::Socket::UNIX -e '
      my $log = IO::Socket::UNIX->new(Type => SOCK_DGRAM, Local => "/dev/log") or die;
      system("logger", "-t", "zentra", "from the host");
      system(@ARGV, "logger", "-t", "zentra", "from the sandbox");
      system("logger", "-t", "zentra", "from the host again");  # its socket still in place
      $log->blocking(0);
      while (defined $log->recv(my $line, 512)) { print "$1\n" if $line =~ /zentra: (.*)/ }
    ' "$0" --build "$1" --no-install --)",
       zentra_test::source_dir() + "/scripts/sandbox", zentra_test::build_dir()});
  EXPECT_EQ(r.out, "from the host\nfrom the host again\n") << r.err;
}

TEST(Sandbox, TestsThatNeedItRefuseToRunOutside) {
  // The variable alone, as when a test binary is run by hand from a sandbox shell's history.
  EXPECT_DEATH(
      {
        setenv("ZENTRA_MNG", "/usr/local/vexa/admin/bin/modules/zentra/zentra_mng", 1);
        zentra_test::require_sandbox();
      },
      "refusing to run outside scripts/sandbox");
}

TEST(Sandbox, ExitStatusIsTheCommands) {
  EXPECT_EQ(sandbox_run("exit 7").status, 7);
}

TEST(RunProgram, EveryProgramStartsWithTheDefaultBrokenPipeAction) {
  // The runner ignores SIGPIPE after its first start; later programs must not inherit that.
  for (int run = 1; run <= 2; ++run) {
    const auto r = zentra_test::run_program({"grep", "^SigIgn:", "/proc/self/status"});
    ASSERT_EQ(r.status, 0) << r.err;
    const unsigned long ignored = std::strtoul(r.out.substr(r.out.find(':') + 1).c_str(), nullptr, 16);
    EXPECT_EQ(ignored & (1UL << (SIGPIPE - 1)), 0UL) << "run " << run << ": " << r.out;
  }
}
