// The pieces the background jobs share, with real FIFOs and children in private directories.
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <vector>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "manager/jobs/job_files.h"
#include "manager/jobs/job_log.h"
#include "manager/jobs/statistics_reader.h"
#include "sys/errors.h"
#include "tests/sys/helpers.h"

using namespace sys_test;
using testing::ContainsRegex;
using Outcome = StatisticsReader::Outcome;

namespace {

std::string records(std::initializer_list<std::pair<std::int32_t, std::int32_t>> list) {
  std::string bytes;
  for (auto [kind, value] : list) bytes.append((const char*)&kind, 4).append((const char*)&value, 4);
  return bytes;
}

// Opens for writing without blocking, as the reader is already there.
Fd writer(const std::string& path) { return Fd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)); }

// A child that runs body and exits with 3, waited for but not reaped.
pid_t ended_child(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) body(), _exit(3);
  siginfo_t info{};
  waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
  return pid;
}

// Descriptors that a program started now would inherit.
std::set<int> inheritable() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    if (fcntl(fd, F_GETFD) == 0) fds.insert(fd);
  }
  return fds;
}

// Runs body in a child whose /dev is a private tmpfs, so that its system log is this test's
// socket, never the host's; returns the lines logged and what body printed.
std::string logged_by(const std::function<void()>& body) {
  return run_forked([&] {
    sockaddr_un address{AF_UNIX, "/dev/log"};
    const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("zentra-test", "/dev", "tmpfs", 0, nullptr) || bind(log, (sockaddr*)&address, sizeof address)) return;
    closelog();
    body();
    char line[512];
    for (ssize_t n; (n = recv(log, line, sizeof line, MSG_DONTWAIT)) > 0;) std::printf("%.*s\n", int(n), line);
  }).out;
}

}  // namespace

TEST(StatisticsReader, SumsKindsInSixtyFourBitsAcrossSplitRecords) {
  TempDir dir;
  const std::set<int> inherited = inheritable();
  JobFile fifo = JobFile::make_fifo(dir / "pipe", "no FIFO");
  StatisticsReader reader(fifo.path());
  EXPECT_EQ(inheritable(), inherited);
  StatisticsCounters sums;
  EXPECT_EQ(reader.read_available(sums), Outcome::NOTHING_NOW);  // no writer yet is no end
  Fd out = writer(fifo.path());
  // Kind 3 and a negative count are ignored; the last record comes in two pieces.
  const std::string bytes = records({{1, 2000000000}, {1, 2000000000}, {1, 300000000}, {2, 1}, {3, 5}, {1, -7}, {2, 4}});
  write(out.get(), bytes.data(), bytes.size() - 3);
  EXPECT_EQ(reader.read_available(sums), Outcome::RECORDS);
  write(out.get(), bytes.data() + bytes.size() - 3, 3);
  EXPECT_EQ(reader.read_available(sums), Outcome::RECORDS);
  EXPECT_EQ(sums.traffic, 4300000000u);
  EXPECT_EQ(sums.files, 5u);
  EXPECT_EQ(reader.read_available(sums), Outcome::NOTHING_NOW);
  StatisticsReader fresh(fifo.path());
  out.reset(), writer(fifo.path());  // the last writer leaves, then one comes and goes silently
  EXPECT_TRUE(fresh.wait_readable(0));
  EXPECT_EQ(fresh.read_available(sums), Outcome::END_OF_FILE);
  StatisticsReader directory(dir.path());
  EXPECT_EQ(directory.read_available(sums), Outcome::READ_ERROR);
  EXPECT_THROW(StatisticsReader(dir / "missing"), TUError);
}

TEST(StatisticsReader, FirstWriterOrLauncherEndWithoutReaping) {
  TempDir dir;
  JobFile fifo = JobFile::make_fifo(dir / "pipe", "no FIFO");
  StatisticsReader reader(fifo.path());
  const pid_t silent = ended_child([] {});
  EXPECT_EQ(reader.wait_for_writer(silent), StatisticsReader::FirstEvent::LAUNCHER_ENDED);
  EXPECT_EQ(wait_exit_code(silent), 3);
  // A writer that came and went before its launcher ended wins, and its end is seen.
  const pid_t connected = ended_child([&] { writer(fifo.path()); });
  EXPECT_EQ(reader.wait_for_writer(connected), StatisticsReader::FirstEvent::WRITER);
  StatisticsCounters sums;
  EXPECT_EQ(reader.read_available(sums), Outcome::END_OF_FILE);
  EXPECT_EQ(wait_exit_code(connected), 3);
  // A start script that ends while the server it started holds the FIFO, silent so far.
  StatisticsReader handed_on(fifo.path());
  Fd server = writer(fifo.path());
  const pid_t script = ended_child([] {});
  EXPECT_EQ(handed_on.wait_for_writer(script), StatisticsReader::FirstEvent::WRITER);
  EXPECT_EQ(wait_exit_code(script), 3);
}

TEST(JobFile, RemovedOnlyWhileThePathStillNamesIt) {
  TempDir dir;
  const std::string path = dir / "pipe";
  { JobFile fifo = JobFile::make_fifo(path, "no FIFO"); }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  {
    JobFile fifo = JobFile::make_fifo(path, "no FIFO");
    EXPECT_EQ(file_mode(path), 0600u);
    write_file(dir / "other", "another job's");
    rename((dir / "other").c_str(), path.c_str());
  }
  EXPECT_EQ(read_file(path), "another job's");
  EXPECT_THROW(JobFile::make_fifo(path, "no FIFO"), TUError);
  EXPECT_NO_THROW(JobFile::make_fifo(path, "no FIFO", JobFile::Existing::REPLACE));
}

TEST(JobFile, LockIsTakenOnceWithItsStartTimeAndNeverThroughALink) {
  TempDir dir;
  const std::string path = dir / "lock";
  const std::time_t started = 1700000000;
  symlink((dir / "target").c_str(), path.c_str());
  EXPECT_FALSE(JobFile::take_lock(path, started));
  unlink(path.c_str());
  {
    const std::set<int> inherited = inheritable();
    std::optional<JobFile> lock = JobFile::take_lock(path, started);
    EXPECT_EQ(inheritable(), inherited);
    EXPECT_EQ(read_file(path), std::ctime(&started));
    EXPECT_FALSE(JobFile::take_lock(path, started));
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_THROW(JobFile::take_lock(dir / "missing/lock", started), TUError);
}

TEST(JobLog, StartEndAndFailuresAreDaemonLinesOfTheManager) {
  const auto job = [](std::function<int()> body) {
    try {
      std::printf("returned %d\n", run_logged("job 7", body));
    } catch (...) {
      std::printf("rethrown\n");
    }
  };
  const std::string out = logged_by([&] {
    job([] { return 4; });
    job([]() -> int { throw TUError("Can not create FIFO /x"); });
    job([]() -> int { kelvor::throw_system_error("waitpid() failed", ECHILD); });
  });
  if (out.empty()) GTEST_SKIP() << "no private /dev for the system log";
  EXPECT_THAT(out, testing::StartsWith("returned 4\nrethrown\nrethrown\n"));
  EXPECT_THAT(out, ContainsRegex("<30>[^\n]* zentra_mng\\[[0-9]+\\]: job 7 started\n"));
  EXPECT_THAT(out, ContainsRegex("<30>[^\n]*: job 7 ended with result 4\n"));
  EXPECT_THAT(out, ContainsRegex("<27>[^\n]*: job 7 failed: Can not create FIFO /x\n"));
  EXPECT_THAT(out, ContainsRegex("<27>[^\n]*: job 7 failed: waitpid\\(\\) failed: No child processes\n"));
}

TEST(FollowStatistics, FlushesWhenDueAndOnceMoreAtTheEnd) {
  TempDir dir;
  JobFile fifo = JobFile::make_fifo(dir / "pipe", "no FIFO");
  const std::string bytes = records({{1, 5}, {2, 1}});
  for (const bool due_at_once : {true, false}) {
    StatisticsReader reader(fifo.path());
    StatisticsCounters sums;
    std::vector<std::pair<bool, std::uint64_t>> flushes;
    Fd out = writer(fifo.path());
    write(out.get(), bytes.data(), bytes.size());
    // When due at once, the last writer writes again and leaves only at the first flush: a
    // loop that never flushed before the end, or stopped reading after a flush, shows here.
    if (!due_at_once) out.reset();
    const auto flush = [&](bool final) {
      flushes.emplace_back(final, sums.traffic);
      if (!final) write(out.get(), bytes.data(), bytes.size()), out.reset();
    };
    const auto interval = std::chrono::milliseconds(due_at_once ? 0 : 3600000);
    EXPECT_EQ(follow_statistics(reader, sums, interval, flush), Outcome::END_OF_FILE);
    if (due_at_once) {
      EXPECT_EQ(flushes.front(), std::make_pair(false, std::uint64_t{5}));
      EXPECT_EQ(flushes.back(), std::make_pair(true, std::uint64_t{10}));
    } else {
      EXPECT_EQ(flushes, (std::vector<std::pair<bool, std::uint64_t>>{{true, 5}}));
    }
  }
}
