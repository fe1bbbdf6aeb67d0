#include "manager/updates/update_stop.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "manager/jobs/job_processes.h"
#include "manager/jobs/run_locks.h"
#include "manager/updates/update_job.h"
#include "sys/unique_fd.h"
#include "sys/errors.h"

namespace {

// How long the job may take, once its updater is gone, to write the game's result and end.
constexpr std::chrono::seconds kJobEndLimit{10};

// True once no process holds the lock's flock any more (the job has ended), within `limit`.
bool released_within(int lock, std::chrono::milliseconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (flock(lock, LOCK_SH | LOCK_NB) == 0) return true;
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// SIGKILL to every process of `owner` for which is_it holds.
void kill_all(uid_t owner, const std::function<bool(pid_t)>& is_it) {
  for (const pid_t pid : all_processes()) {
    if (pid != getpid()) signal_checked(pid, owner, SIGKILL, is_it);
  }
}

void stop_job(int lock_fd, const struct stat& lock) {
  struct stat fifo {};
  const bool have_fifo = lstat(kUpdateFifo, &fifo) == 0 && S_ISFIFO(fifo.st_mode);
  const auto is_job = [&](pid_t pid) { return holds_open(pid, lock.st_dev, lock.st_ino); };
  // The updater and whatever it left holding the FIFO, under any name.
  kill_all(lock.st_uid, [&](pid_t pid) {
    return !is_job(pid) && (process_name(pid) == "steam" || (have_fifo && holds_open(pid, fifo.st_dev, fifo.st_ino)));
  });
  if (released_within(lock_fd, kJobEndLimit)) return;
  kill_all(lock.st_uid, is_job);
  released_within(lock_fd, std::chrono::seconds(1));
}

// The account that note_lock_owner noted; nothing when none was noted since the last boot.
std::optional<uid_t> noted_lock_owner(int guard) {
  char text[32];
  const ssize_t size = pread(guard, text, sizeof text - 1, 0);
  if (size <= 0) return std::nullopt;
  text[size] = '\0';
  char* end = nullptr;
  const unsigned long uid = std::strtoul(text, &end, 10);
  if (end == text || *end != '\n') return std::nullopt;
  return static_cast<uid_t>(uid);
}

}  // namespace

void note_lock_owner(int guard, uid_t uid) {
  const std::string text = std::to_string(uid) + "\n";
  if (ftruncate(guard, 0) != 0 || pwrite(guard, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    throw TUError(std::string("Can not lock ") + kRunLockDir + "/" + kUpdateGuard + ": " + std::strerror(errno));
  }
}

void end_update_job() {
  kelvor::sys::UniqueFd guard(take_run_lock(kUpdateGuard, true));
  kelvor::sys::UniqueFd lock(open(kUpdateLock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  // A lock of an account that root never handed one to is not a job's: that account's
  // processes are not the module's to kill.
  const std::optional<uid_t> ours = noted_lock_owner(guard.get());
  const bool job_lock = lock.get() >= 0 && fstat(lock.get(), &status) == 0 && S_ISREG(status.st_mode) &&
                        status.st_uid != 0 && ours && status.st_uid == *ours;
  clear_name(kUpdateLock);
  if (job_lock) stop_job(lock.get(), status);
  clear_name(kUpdateFifo);
}
