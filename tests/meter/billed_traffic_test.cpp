// The billed figure, where a kernel meter counts the job's cgroup beside the library.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "manager/jobs/billed_traffic.h"
#include "meter/traffic_meter.h"

namespace {

constexpr long kSpliced = 100000;

// A listening loopback TCP socket and its address.
int listening(sockaddr_in& address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return -1;
  return fd;
}

// In the cgroup: takes kSpliced bytes off a TCP connection by splice, then sends 500 by write.
[[noreturn]] void splicing_child(int procs_fd, sockaddr_in server) {
  if (!kelvor::meter::join_cgroup(procs_fd)) _exit(10);
  const int tcp = socket(AF_INET, SOCK_STREAM, 0);
  int pipe_ends[2];
  if (connect(tcp, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 || pipe(pipe_ends) != 0) _exit(11);
  static char data[65536];
  for (long got = 0; got < kSpliced;) {
    const ssize_t n = splice(tcp, nullptr, pipe_ends[1], nullptr, sizeof data, 0);
    if (n <= 0 || read(pipe_ends[0], data, n) != n) _exit(12);
    got += n;
  }
  if (write(tcp, data, 500) != 500) _exit(13);
  _exit(0);
}

// The lines that `body`, run in a child whose /dev is a private tmpfs, sends to the system log.
std::vector<std::string> logged_by(void (*body)()) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    sockaddr_un address{AF_UNIX, "/dev/log"};
    const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("zentra-test", "/dev", "tmpfs", 0, nullptr) || bind(log, (sockaddr*)&address, sizeof address))
      _exit(2);
    closelog();
    body();
    char line[512];
    for (ssize_t n; (n = recv(log, line, sizeof line - 1, MSG_DONTWAIT)) > 0;) {
      line[n] = '\n';
      if (write(out[1], line, n + 1) != n + 1) _exit(3);
    }
    _exit(0);
  }
  close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(out[0]);
  waitpid(child, nullptr, 0);
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// A job whose program the library does not see (a static one) moves 20000 bytes before each
// of three flushes and the final one.
void static_program_job() {
  const kelvor::meter::TrafficMeter meter("billed_log_test", "/run/billed_test.programs");
  BilledTraffic billed(&meter, "billed test");
  sockaddr_in server;
  const int listener = listening(server);
  int go[2];
  if (listener < 0 || pipe(go) != 0) _exit(4);
  const pid_t child = fork();
  if (child == 0) {
    close(go[1]);
    if (!kelvor::meter::join_cgroup(meter.cgroup().procs_fd())) _exit(10);
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(tcp, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) _exit(11);
    static char data[20000];
    for (char next; read(go[0], &next, 1) == 1;) {
      if (write(tcp, data, sizeof data) != static_cast<ssize_t>(sizeof data)) _exit(12);
    }
    _exit(0);
  }
  close(go[0]);
  const int peer = accept(listener, nullptr, nullptr);
  static char data[20000];
  for (int flush = 0; flush < 4; ++flush) {
    if (write(go[1], "x", 1) != 1 || recv(peer, data, sizeof data, MSG_WAITALL) != sizeof data) _exit(5);
    billed.take(0, flush == 3);
  }
  close(go[1]);
  waitpid(child, nullptr, 0);
}

}  // namespace

// A difference that grows at every flush is logged when it appears and at the end, not at
// each flush between.
TEST(BilledTraffic, LogsAGrowingDifferenceWhenItAppearsAndAtTheEnd) {
  const std::vector<std::string> lines = logged_by(static_program_job);
  ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
  EXPECT_NE(lines[0].find("billed test: traffic differs: kernel meter 20000 bytes, statistics library 0 bytes"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("billed test: traffic differs: kernel meter 80000 bytes, statistics library 0 bytes"),
            std::string::npos)
      << lines[1];
}

// Each figure bills what it saw that the other did not, and what both saw bills once.
TEST(BilledTraffic, BillsTheLargerOfTheTwoTotalsOnce) {
  const kelvor::meter::TrafficMeter meter("billed_test", "/run/billed_test.programs");
  BilledTraffic billed(&meter, "billed test");
  sockaddr_in server;
  const int listener = listening(server);
  ASSERT_GE(listener, 0);
  const pid_t child = fork();
  if (child == 0) splicing_child(meter.cgroup().procs_fd(), server);
  ASSERT_GT(child, 0);
  const int peer = accept(listener, nullptr, nullptr);
  static char data[kSpliced];
  std::memset(data, 'x', sizeof data);
  for (long sent = 0; sent < kSpliced;) {
    const ssize_t n = write(peer, data + sent, kSpliced - sent);
    ASSERT_GT(n, 0);
    sent += n;
  }
  ASSERT_EQ(recv(peer, data, 500, MSG_WAITALL), 500);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0) << "the child failed at step " << WEXITSTATUS(status);
  close(peer);
  close(listener);

  // The kernel does not see a splice off a TCP socket; the library reports it, and the write
  // that both saw bills once.
  EXPECT_EQ(meter.bytes(), 500u);
  const std::uint64_t first = billed.take(kSpliced, false);
  EXPECT_EQ(first + billed.take(500, true), static_cast<std::uint64_t>(kSpliced + 500));
}
