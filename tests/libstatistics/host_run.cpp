#include "tests/libstatistics/host_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace statistics_test {
namespace {

// Reads the FIFO until end of file; unblocked by `release` if no writer ever comes.
class Reader {
 public:
  Reader(const std::string& path, bool drop)
      : path_(path), thread_([this, drop] { take(drop); }) {}
  ~Reader() { release(); }

  // Returns once the reader has finished, opening the FIFO briefly if it still waits for a writer.
  void release() {
    while (!done_) {
      const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Record> records() const {
    std::vector<Record> out(bytes_.size() / sizeof(Record));
    if (!out.empty()) std::memcpy(out.data(), bytes_.data(), out.size() * sizeof(Record));
    return out;
  }

 private:
  void take(bool drop) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[4096];
    ssize_t n;
    while (fd >= 0 && !drop && (n = read(fd, buf, sizeof buf)) > 0) bytes_.append(buf, static_cast<size_t>(n));
    if (fd >= 0) close(fd);
    done_ = true;
  }

  std::string path_;
  std::string bytes_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace

int64_t HostRun::traffic() const {
  int64_t sum = 0;
  for (const auto& r : records)
    if (r.kind == 1) sum += r.value;
  return sum;
}

int HostRun::files() const {
  int n = 0;
  for (const auto& r : records) n += r.kind == 2;
  return n;
}

StatisticsFifo::StatisticsFifo() {
  char dir[] = "/tmp/statistics-test-XXXXXX";
  if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  dir_ = dir;
  path_ = dir_ + "/statistics.pipe";
  if (mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
}

StatisticsFifo::~StatisticsFifo() {
  unlink(path_.c_str());
  zentra_test::run_program({"rm", "-rf", dir_});
}

HostRun run_host(const StatisticsFifo& fifo, const std::vector<std::string>& argv,
                 const std::vector<std::string>& env, bool drop_reader) {
  Reader reader(fifo.path(), drop_reader);
  HostRun run;
  run.result = zentra_test::run_program(argv, "", env, 180);
  reader.release();
  run.records = reader.records();
  return run;
}

std::vector<std::string> preload_env(const StatisticsFifo& fifo, const std::string& library,
                                     const std::string& regime, const std::string& game_dir) {
  std::vector<std::string> env = {"LD_PRELOAD=" + library, "ZENTRA_STAT_REGIME=" + regime,
                                  "ZENTRA_STAT_FILE=" + fifo.path()};
  if (!game_dir.empty()) env.push_back("ZENTRA_STAT_GAME_DIR=" + game_dir);
  return env;
}

std::string host(const std::string& name) { return std::string(HOST_DIR) + "/" + name; }
std::string lib64() { return STATISTICS_LIB64; }
std::string lib32() { return STATISTICS_LIB32; }
std::string shaper() { return SHAPER; }

Record traffic(int32_t bytes) { return {1, bytes}; }
Record file_record() { return {2, 1}; }

}  // namespace statistics_test
