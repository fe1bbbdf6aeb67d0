// The reading end of a statistics FIFO: 8-byte records (signed 32-bit kind and value, host
// byte order) summed by kind, read without ever blocking the job that owns it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

// a + b, or the largest figure when the sum would not fit: a forged flood of records must
// not wrap a sum round to a small figure.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept;

// Sums of the values read; they saturate rather than wrap.
struct StatisticsCounters {
  std::uint64_t traffic = 0;  // kind 1: bytes moved through internet sockets
  std::uint64_t files = 0;    // kind 2: install-record queries
};

class StatisticsReader {
public:
  // How a drain ended. Counters hold every whole record read, whatever the outcome.
  enum class Outcome { RECORDS, NOTHING_NOW, END_OF_FILE, READ_ERROR };
  // What wait_for_writer saw first.
  enum class FirstEvent { WRITER, LAUNCHER_ENDED };

  // Opens the FIFO at path non-blocking and close-on-exec, so it succeeds before any writer
  // and a writer's own open never blocks; throws TUError "Can not open FIFO <path> for reading.".
  explicit StatisticsReader(const std::string& fifo_path);
  // Closes the descriptor if close() did not.
  ~StatisticsReader();
  StatisticsReader(const StatisticsReader&) = delete;
  StatisticsReader& operator=(const StatisticsReader&) = delete;

  // Waits until a writer has connected (it wrote, or came and went) or `launcher`, a child of
  // this process, has ended; a writer wins a tie, and so does one that still holds the FIFO
  // open when the launcher has ended. Never reaps the launcher. Throws
  // ExSystemErrorBase when pidfd_open or poll fails.
  FirstEvent wait_for_writer(pid_t launcher);
  // Waits up to timeout_ms (-1: no limit) until a read would not block; false when the time
  // passed or a signal came first. Before any writer only the time can end it.
  bool wait_readable(int timeout_ms);
  // Reads what is available, adding kind 1 values to traffic and kind 2 values to files;
  // other kinds and negative values are ignored. A split record is completed by a later call.
  // END_OF_FILE only once a writer has been seen and every writer is gone.
  Outcome read_available(StatisticsCounters& counters);
  // Closes the descriptor; throws TUError "Can not close FIFO <path> for reading.".
  void close();

  // The descriptor, for a caller that polls it with others.
  int fd() const noexcept { return fd_; }

private:
  // True while a writer holds the FIFO open, also one that has not written yet (a launcher
  // that ended after handing the FIFO on to its server).
  bool writer_holds_fifo();
  void add_records(const char* data, std::size_t size, StatisticsCounters& counters);

  std::string path_;
  int fd_;
  bool writer_seen_ = false;  // a read of 0 means end of file only after a writer came
  char partial_[8] = {};      // the start of a record split across reads
  std::size_t partial_size_ = 0;
};

// Reads until every writer is gone or a read fails, calling flush(false) once `interval` has
// passed since the last call (also while the FIFO is silent, so figures still pending go out)
// and flush(true) once at the end; returns the outcome that ended it. What a flush writes and
// whether it keeps figures for the next one is the caller's business; `limits` may end the
// reading before end of file.
struct FollowLimits {
  // Checked after each read: once true, the writers are taken to be going, what they still
  // send within `drain_limit` is read, and the loop ends as at end of file (NOTHING_NOW when
  // one stays).
  std::function<bool()> stopping;
  std::chrono::milliseconds drain_limit = std::chrono::seconds(2);
  // Checked right after each periodic flush: true ends the reading there (at most one
  // interval after its reason arose), with NOTHING_NOW or RECORDS.
  std::function<bool()> give_up;
};
StatisticsReader::Outcome follow_statistics(StatisticsReader& reader, StatisticsCounters& counters,
                                            std::chrono::milliseconds interval,
                                            const std::function<void(bool final)>& flush,
                                            const FollowLimits& limits = {});
