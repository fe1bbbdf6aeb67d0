#include "manager/jobs/statistics_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sys/errors.h"

namespace {

constexpr std::size_t kRecordSize = 8;
// A whole default pipe buffer per read: a full FIFO empties in one call.
constexpr std::size_t kReadSize = 64 * 1024;

void add_record(const char* record, StatisticsCounters& counters) {
  std::int32_t kind;
  std::int32_t value;
  std::memcpy(&kind, record, sizeof kind);
  std::memcpy(&value, record + sizeof kind, sizeof value);
  // A negative count is no count: it must not turn into a huge unsigned figure.
  if (value < 0) return;
  if (kind == 1) counters.traffic = saturating_add(counters.traffic, static_cast<std::uint64_t>(value));
  if (kind == 2) counters.files = saturating_add(counters.files, static_cast<std::uint64_t>(value));
}

// poll retried after signals; the number of ready descriptors.
int poll_without_limit(pollfd* fds, nfds_t count) {
  int ready;
  while ((ready = poll(fds, count, -1)) < 0) {
    if (errno != EINTR) return -1;
  }
  return ready;
}

}  // namespace

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

StatisticsReader::StatisticsReader(const std::string& fifo_path)
    : path_(fifo_path), fd_(open(fifo_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
  if (fd_ < 0) throw TUError("Can not open FIFO " + path_ + " for reading.");
}

StatisticsReader::~StatisticsReader() {
  if (fd_ >= 0) ::close(fd_);
}

StatisticsReader::FirstEvent StatisticsReader::wait_for_writer(pid_t launcher) {
  // By number: glibc 2.36 declares pidfd_open without C linkage for C++. Always close-on-exec.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, launcher, 0));
  if (pidfd < 0) kelvor::throw_system_error("pidfd_open() failed", errno);
  // A FIFO's read end shows data, or a hang-up once a writer has come and gone; an open
  // writer that has not written yet stays unseen.
  pollfd fds[2] = {{fd_, POLLIN, 0}, {pidfd, POLLIN, 0}};
  const int ready = poll_without_limit(fds, 2);
  const int poll_errno = errno;
  ::close(pidfd);
  if (ready < 0) kelvor::throw_system_error("poll() failed", poll_errno);
  if (fds[0].revents == 0 && !writer_holds_fifo()) return FirstEvent::LAUNCHER_ENDED;
  writer_seen_ = true;
  return FirstEvent::WRITER;
}

bool StatisticsReader::writer_holds_fifo() {
  char byte;
  ssize_t n;
  while ((n = read(fd_, &byte, 1)) < 0 && errno == EINTR) {
  }
  if (n == 1) {
    // A record began meanwhile: its first byte waits with the rest of a split record.
    partial_[partial_size_++] = byte;
    return true;
  }
  // Without a writer the read ends the file; with one that has not written, it would block.
  return n < 0 && errno == EAGAIN;
}

bool StatisticsReader::wait_readable(int timeout_ms) {
  pollfd fifo{fd_, POLLIN, 0};
  const int ready = poll(&fifo, 1, timeout_ms);
  if (ready < 0 && errno != EINTR) kelvor::throw_system_error("poll() failed", errno);
  if (ready <= 0) return false;
  writer_seen_ = true;
  return true;
}

StatisticsReader::Outcome StatisticsReader::read_available(StatisticsCounters& counters) {
  char buffer[kReadSize];
  bool read_some = false;
  for (;;) {
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      writer_seen_ = read_some = true;
      add_records(buffer, static_cast<std::size_t>(n), counters);
      // A short read emptied the FIFO: give the caller its turn instead of chasing writers.
      if (static_cast<std::size_t>(n) < sizeof buffer) return Outcome::RECORDS;
    } else if (n == 0) {
      // Before the first writer a FIFO without writers reads as empty, not as ended.
      return writer_seen_ ? Outcome::END_OF_FILE : Outcome::NOTHING_NOW;
    } else if (errno == EAGAIN) {
      return read_some ? Outcome::RECORDS : Outcome::NOTHING_NOW;
    } else if (errno != EINTR) {
      return Outcome::READ_ERROR;
    }
  }
}

void StatisticsReader::add_records(const char* data, std::size_t size, StatisticsCounters& counters) {
  if (partial_size_ > 0) {
    const std::size_t take = std::min(size, kRecordSize - partial_size_);
    std::memcpy(partial_ + partial_size_, data, take);
    partial_size_ += take;
    data += take;
    size -= take;
    if (partial_size_ < kRecordSize) return;
    add_record(partial_, counters);
    partial_size_ = 0;
  }
  for (; size >= kRecordSize; data += kRecordSize, size -= kRecordSize) add_record(data, counters);
  std::memcpy(partial_, data, size);
  partial_size_ = size;
}

void StatisticsReader::close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0) throw TUError("Can not close FIFO " + path_ + " for reading.");
}

StatisticsReader::Outcome follow_statistics(StatisticsReader& reader, StatisticsCounters& counters,
                                            std::chrono::milliseconds interval,
                                            const std::function<void(bool final)>& flush,
                                            const FollowLimits& limits) {
  using Clock = std::chrono::steady_clock;
  auto due = Clock::now() + interval;
  std::optional<Clock::time_point> drain_end;
  StatisticsReader::Outcome outcome;
  for (;;) {
    outcome = reader.read_available(counters);
    if (outcome == StatisticsReader::Outcome::END_OF_FILE || outcome == StatisticsReader::Outcome::READ_ERROR) break;
    const auto now = Clock::now();
    if (!drain_end && limits.stopping && limits.stopping()) drain_end = now + limits.drain_limit;
    if (drain_end && now >= *drain_end) break;
    if (!drain_end && now >= due) {
      flush(false);
      if (limits.give_up && limits.give_up()) break;
      due = now + interval;
      continue;  // records may have piled up during the flush
    }
    const auto until = drain_end ? *drain_end : due;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    reader.wait_readable(static_cast<int>(left.count()));
  }
  flush(true);
  return outcome;
}
