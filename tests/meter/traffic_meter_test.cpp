// The meter counts what the processes of its cgroup move through internet sockets, by any
// path, and nothing of anyone else's.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "meter/traffic_meter.h"

using kelvor::meter::JobCgroup;
using kelvor::meter::TrafficMeter;

namespace {

constexpr const char* kHierarchy[] = {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"};

sockaddr_in loopback(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return address;
}

int bound(int type) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// The child's part: in the cgroup, it moves 1000 bytes by write, 500 by stdio, 300 by a
// datagram sent by system call, 50 on a local socket, and takes 100 after peeking at them.
[[noreturn]] void metered_child(int procs_fd, sockaddr_in stream, sockaddr_in datagram) {
  if (!kelvor::meter::join_cgroup(procs_fd)) _exit(10);
  const int tcp = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(tcp, reinterpret_cast<sockaddr*>(&stream), sizeof stream) != 0) _exit(11);
  char data[1000];
  std::memset(data, 'x', sizeof data);
  if (write(tcp, data, 1000) != 1000) _exit(12);
  FILE* text = fdopen(dup(tcp), "w");
  if (!text || std::fprintf(text, "%500s", "") != 500 || std::fclose(text) != 0) _exit(13);
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  if (syscall(SYS_sendto, udp, data, 300, 0, &datagram, sizeof datagram) != 300) _exit(14);
  int local[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, local) != 0 || write(local[0], data, 50) != 50) _exit(15);
  if (recv(tcp, data, 100, MSG_PEEK | MSG_WAITALL) != 100 || recv(tcp, data, 100, MSG_WAITALL) != 100) _exit(16);
  _exit(0);
}

}  // namespace

// This process's descriptors that an exec would pass on.
std::set<int> inherited_descriptors() {
  std::set<int> found;
  for (int fd = 0; fd < 1024; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) found.insert(fd);
  }
  return found;
}

TEST(TrafficMeter, CountsEveryPathOfItsProcessesAndNoOneElses) {
  const std::set<int> before = inherited_descriptors();
  TrafficMeter meter("meter_test", "/run/meter_test.programs");
  EXPECT_EQ(inherited_descriptors(), before) << "a descriptor of the meter would reach the launcher";
  const int listener = bound(SOCK_STREAM);
  const int datagrams = bound(SOCK_DGRAM);
  ASSERT_GE(listener, 0);
  ASSERT_GE(datagrams, 0);
  ASSERT_EQ(listen(listener, 1), 0);
  const pid_t child = fork();
  if (child == 0) metered_child(meter.cgroup().procs_fd(), loopback(listener), loopback(datagrams));
  ASSERT_GT(child, 0);
  // This side, outside the cgroup, moves as much again: none of it counts.
  const int peer = accept(listener, nullptr, nullptr);
  char data[1500];
  ASSERT_EQ(recv(peer, data, 1500, MSG_WAITALL), 1500);
  ASSERT_EQ(recv(datagrams, data, sizeof data, 0), 300);
  ASSERT_EQ(send(peer, data, 100, 0), 100);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0) << "the child failed at step " << WEXITSTATUS(status);
  EXPECT_EQ(meter.bytes(), 1000u + 500u + 300u + 100u);
  close(peer);
  close(listener);
  close(datagrams);
}

// Empty cgroups of earlier jobs go; one whose processes still run is left to them.
TEST(JobCgroup, ReplacesAnEmptyLeftoverAndLeavesABusyOne) {
  const std::string hierarchy = [] {
    for (const char* path : kHierarchy) {
      if (access((std::string(path) + "/cgroup.procs").c_str(), F_OK) == 0) return std::string(path);
    }
    return std::string();
  }();
  ASSERT_FALSE(hierarchy.empty());
  const std::string leftover = hierarchy + "/zentra.leftover";
  ASSERT_EQ(mkdir(leftover.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((leftover + ".12345").c_str(), 0755), 0);
  const JobCgroup reused("leftover");
  EXPECT_EQ(reused.path(), "/zentra.leftover");
  EXPECT_NE(access((leftover + ".12345").c_str(), F_OK), 0);

  const pid_t holder = fork();
  if (holder == 0) {
    kelvor::meter::join_cgroup(reused.procs_fd());
    pause();
    _exit(0);
  }
  ASSERT_GT(holder, 0);
  for (int i = 0; i < 200; ++i) {
    FILE* procs = std::fopen((leftover + "/cgroup.procs").c_str(), "r");
    int first = 0;
    const bool joined = procs && std::fscanf(procs, "%d", &first) == 1;
    if (procs) std::fclose(procs);
    if (joined) break;
    usleep(10000);
  }
  const JobCgroup beside("leftover");
  EXPECT_EQ(beside.path(), "/zentra.leftover." + std::to_string(getpid()));
  EXPECT_NE(beside.id(), reused.id());
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}

// The cgroups entered in the programs' map that the registry names.
std::vector<std::uint64_t> entered(const std::string& registry) {
  std::ifstream file(registry);
  unsigned sent = 0, received = 0, map_id = 0;
  file >> sent >> received >> map_id;
  const int map = bpf_map_get_fd_by_id(map_id);
  std::vector<std::uint64_t> ids;
  std::uint64_t key = 0, next = 0;
  for (const void* previous = nullptr; map >= 0 && bpf_map_get_next_key(map, previous, &next) == 0; previous = &key) {
    ids.push_back(next);
    key = next;
  }
  if (map >= 0) close(map);
  return ids;
}

// Jobs share the programs; one that ends as the system user still takes its entry out.
TEST(TrafficMeter, MetersShareTheProgramsAndEachTakesItsEntryOut) {
  const std::string registry = "/run/meter_share_test.programs";
  const TrafficMeter holder("share_holder", registry);
  const pid_t job = fork();
  if (job == 0) {
    const auto* meter = new TrafficMeter("share_job", registry);
    const bool shared = entered(registry).size() == 2;  // only root may look
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
    delete meter;
    _exit(shared ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(job, &status, 0), job);
  EXPECT_EQ(status, 0) << "the second meter did not share the first one's programs";
  EXPECT_EQ(entered(registry), std::vector<std::uint64_t>{holder.cgroup().id()});

  // A job killed outright leaves its entry; once its cgroup is gone, the next meter drops it.
  const pid_t killed = fork();
  if (killed == 0) {
    new TrafficMeter("share_killed", registry);
    _exit(0);
  }
  ASSERT_EQ(waitpid(killed, &status, 0), killed);
  ASSERT_EQ(entered(registry).size(), 2u);
  const JobCgroup successor("share_killed");  // removes the empty leftover
  const TrafficMeter next("share_next", registry);
  const std::vector<std::uint64_t> left = entered(registry);
  EXPECT_EQ(std::set<std::uint64_t>(left.begin(), left.end()),
            (std::set<std::uint64_t>{holder.cgroup().id(), next.cgroup().id()}));
}
