// Running a host program against a fresh statistics FIFO and collecting its records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace statistics_test {

struct Record {
  int32_t kind;
  int32_t value;
  bool operator==(const Record&) const = default;
};

struct HostRun {
  zentra_test::RunResult result;
  std::vector<Record> records;
  int64_t traffic() const;  // sum of the traffic records
  int files() const;        // number of file records
};

// A private directory holding a statistics FIFO (mode 0600); both go with the object.
class StatisticsFifo {
 public:
  StatisticsFifo();
  ~StatisticsFifo();
  StatisticsFifo(const StatisticsFifo&) = delete;
  StatisticsFifo& operator=(const StatisticsFifo&) = delete;
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_, path_;
};

// Runs argv with the extra environment while a reader takes the FIFO's records until end of
// file; with `drop_reader`, the reader closes its end as soon as the host has opened it.
HostRun run_host(const StatisticsFifo& fifo, const std::vector<std::string>& argv,
                 const std::vector<std::string>& env, bool drop_reader = false);

// The environment that preloads `library` in the given regime, reporting to `fifo`.
std::vector<std::string> preload_env(const StatisticsFifo& fifo, const std::string& library,
                                     const std::string& regime = "game",
                                     const std::string& game_dir = "");

std::string host(const std::string& name);  // path of a built host program
std::string lib64();
std::string lib32();
std::string shaper();

Record traffic(int32_t bytes);
Record file_record();

}  // namespace statistics_test
