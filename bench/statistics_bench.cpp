// Measures what the statistics library adds to its host: the same work in a plain process and
// in one with the library preloaded, side by side, best of a few alternating rounds. Given a
// second library (an earlier build, say), it runs that too and compares the two. As root it
// also measures the kernel meter: the work in the meter's cgroup, and in a plain process
// beside a meter counting another cgroup (what every meter adds to every process of a host).
//   statistics_bench LIBRARY [BASELINE]
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "meter/traffic_meter.h"

namespace {

constexpr int kRounds = 4;
constexpr long kTransferBytes = 256L << 20;
constexpr size_t kCallBytes = 4096;
constexpr long kCalls = 1000000;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A connected loopback TCP pair made through the (possibly interposed) socket calls.
std::pair<int, int> tcp_pair() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0)
    std::exit(3);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::exit(3);
  const int server = accept(listener, nullptr, nullptr);
  close(listener);
  return {client, server};
}

// ns per 4 KiB write of a loopback transfer; a thread reads the other end.
double tcp_transfer() {
  auto [client, server] = tcp_pair();
  std::thread reader([fd = server] {
    std::vector<char> buf(1 << 16);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
  });
  std::vector<char> buf(kCallBytes, 'x');
  const auto start = std::chrono::steady_clock::now();
  const long calls = kTransferBytes / static_cast<long>(kCallBytes);
  for (long i = 0; i < calls; ++i)
    if (write(client, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) std::exit(3);
  shutdown(client, SHUT_WR);
  reader.join();
  const double ns = seconds_since(start) * 1e9 / static_cast<double>(calls);
  close(client);
  close(server);
  return ns;
}

// ns per write of one byte to /dev/null: a descriptor the library does not count.
double uncounted_call() {
  const int fd = open("/dev/null", O_WRONLY);
  char byte = 'x';
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < kCalls; ++i) (void)!write(fd, &byte, 1);
  const double ns = seconds_since(start) * 1e9 / kCalls;
  close(fd);
  return ns;
}

// ns per send of one byte on a counted UDP socket: one record per 10240 calls. Nobody reads
// the receiving end; once its buffer is full the kernel drops what arrives.
double counted_call() {
  const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(receiver, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::exit(3);
  getsockname(receiver, reinterpret_cast<sockaddr*>(&addr), &len);
  if (connect(sender, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::exit(3);
  char byte = 'x';
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < kCalls; ++i) (void)!send(sender, &byte, 1, 0);
  const double ns = seconds_since(start) * 1e9 / kCalls;
  close(sender);
  close(receiver);
  return ns;
}

int measure() {
  std::printf("tcp %.1f\nuncounted %.1f\ncounted %.1f\n", tcp_transfer(), uncounted_call(),
              counted_call());
  return 0;
}

using Figures = std::map<std::string, double>;

// Drains the statistics FIFO of one preloaded run in a child process until end of file.
pid_t drain(const std::string& fifo) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(fifo.c_str(), O_RDONLY);
    char buf[4096];
    while (fd >= 0 && read(fd, buf, sizeof buf) > 0) {
    }
    _exit(0);
  }
  return pid;
}

// Runs this program with --measure, preloaded when `env` says so, in the cgroup of
// `cgroup_procs` unless it is -1, and parses its figures.
Figures run_round(const char* self, const std::vector<std::string>& env, int cgroup_procs = -1) {
  int out[2];
  if (pipe(out) != 0) std::exit(3);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    for (const auto& entry : env) putenv(const_cast<char*>(entry.c_str()));
    if (cgroup_procs >= 0 && !kelvor::meter::join_cgroup(cgroup_procs)) _exit(126);
    execl(self, self, "--measure", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "statistics_bench: a measuring run failed\n");
    std::exit(1);
  }
  Figures figures;
  std::istringstream in(text);
  std::string name;
  double value;
  while (in >> name >> value) figures[name] = value;
  return figures;
}

void keep_best(Figures& best, const Figures& round) {
  for (const auto& [name, value] : round)
    best[name] = best.count(name) ? std::min(best[name], value) : value;
}

// Runs one preloaded round against a fresh statistics FIFO, drained until end of file.
Figures preloaded_round(const char* self, const std::string& library, const std::string& fifo) {
  mkfifo(fifo.c_str(), 0600);
  const pid_t reader = drain(fifo);
  const Figures figures = run_round(
      self, {"LD_PRELOAD=" + library, "ZENTRA_STAT_REGIME=game", "ZENTRA_STAT_FILE=" + fifo});
  waitpid(reader, nullptr, 0);
  unlink(fifo.c_str());
  return figures;
}

constexpr std::pair<const char*, const char*> kCases[] = {
    {"tcp", "TCP loopback transfer, 4 KiB write() calls"},
    {"uncounted", "write() of 1 byte to /dev/null (uncounted)"},
    {"counted", "send() of 1 byte on a counted UDP socket"}};

void print_against_plain(const Figures& plain, const Figures& preloaded) {
  std::printf("%-44s %10s %10s %8s %9s\n", "case", "plain", "preloaded", "ratio", "added");
  for (const auto& [key, label] : kCases)
    std::printf("%-44s %10.1f %10.1f %7.3fx %9.1f\n", label, plain.at(key), preloaded.at(key),
                preloaded.at(key) / plain.at(key), preloaded.at(key) - plain.at(key));
}

void print_against_baseline(const Figures& plain, const Figures& baseline,
                            const Figures& preloaded) {
  std::printf("%-44s %10s %10s %10s %10s %10s\n", "case", "plain", "baseline", "library",
              "added then", "added now");
  for (const auto& [key, label] : kCases)
    std::printf("%-44s %10.1f %10.1f %10.1f %10.1f %10.1f\n", label, plain.at(key),
                baseline.at(key), preloaded.at(key), baseline.at(key) - plain.at(key),
                preloaded.at(key) - plain.at(key));
}

// The kernel meter's rounds: in its cgroup, and beside it. False, with the reason printed,
// where no meter runs.
struct MeterFigures {
  Figures inside, beside, beside_many;
};

// As many meters as a host with that many running servers has.
constexpr int kManyMeters = 32;

bool meter_round(const char* self, MeterFigures& figures) {
  try {
    // The sandbox's /run is its own: the programs are shared by these meters alone.
    const std::string registry = "/run/statistics_bench.programs";
    std::vector<std::unique_ptr<kelvor::meter::TrafficMeter>> meters;
    meters.push_back(std::make_unique<kelvor::meter::TrafficMeter>("statistics_bench", registry));
    keep_best(figures.inside, run_round(self, {}, meters.front()->cgroup().procs_fd()));
    keep_best(figures.beside, run_round(self, {}));
    while (meters.size() < kManyMeters) {
      meters.push_back(std::make_unique<kelvor::meter::TrafficMeter>("statistics_bench_" + std::to_string(meters.size()), registry));
    }
    keep_best(figures.beside_many, run_round(self, {}));
    return true;
  } catch (const kelvor::meter::MeterUnavailable& reason) {
    std::printf("kernel meter not measured: %s\n", reason.what());
    return false;
  }
}

void print_meter(const Figures& plain, const MeterFigures& meter) {
  std::printf("\nkernel meter cost, same rounds (ns per call)\n");
  std::printf("%-44s %9s %9s %7s %9s %7s %9s %7s\n", "case", "plain", "metered", "ratio", "beside", "ratio",
              "beside 32", "ratio");
  for (const auto& [key, label] : kCases)
    std::printf("%-44s %9.1f %9.1f %6.3fx %9.1f %6.3fx %9.1f %6.3fx\n", label, plain.at(key), meter.inside.at(key),
                meter.inside.at(key) / plain.at(key), meter.beside.at(key), meter.beside.at(key) / plain.at(key),
                meter.beside_many.at(key), meter.beside_many.at(key) / plain.at(key));
  std::printf("(beside: a process outside the metered cgroup, with one meter and with %d running; they\n"
              " share one pair of programs, which every socket call of every process on the host passes)\n",
              kManyMeters);
}

int compare(const char* self, const std::string& library, const std::string& baseline) {
  char dir[] = "/tmp/statistics-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string fifo = std::string(dir) + "/statistics.pipe";
  Figures plain, earlier, preloaded;
  MeterFigures metered;
  bool meter_runs = geteuid() == 0;
  const auto run_baseline = [&] {
    if (!baseline.empty()) keep_best(earlier, preloaded_round(self, baseline, fifo));
  };
  for (int round = 0; round < kRounds; ++round) {
    keep_best(plain, run_round(self, {}));
    // The two libraries take turns at going first.
    if (round % 2 == 0) run_baseline();
    keep_best(preloaded, preloaded_round(self, library, fifo));
    if (round % 2 == 1) run_baseline();
    if (meter_runs) meter_runs = meter_round(self, metered);
  }
  rmdir(dir);
  std::printf("statistics library cost, best of %d rounds (ns per call)\n", kRounds);
  if (baseline.empty()) print_against_plain(plain, preloaded);
  else print_against_baseline(plain, earlier, preloaded);
  // Both ends of the transfer are in the measured process, so each 4 KiB write moves 8 KiB
  // of counted traffic: the threshold alone asks for 0.8 record writes per call there.
  std::printf("(the TCP case includes %.1f record writes per call, which the threshold demands)\n",
              2.0 * kCallBytes / 10240);
  if (meter_runs) print_meter(plain, metered);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--measure") == 0) return measure();
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: statistics_bench LIBRARY [BASELINE]\n");
    return 2;
  }
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  return compare(self, argv[1], argc == 3 ? argv[2] : "");
}
