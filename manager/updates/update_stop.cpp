#include "manager/updates/update_stop.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "manager/jobs/job_processes.h"
#include "manager/jobs/run_locks.h"
#include "manager/updates/update_job.h"
#include "panel/file_descriptor.h"

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

}  // namespace

void end_update_job() {
  FileDescriptor guard(take_run_lock(kUpdateGuard, true));
  FileDescriptor lock(open(kUpdateLock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  const bool job_lock = lock.get() >= 0 && fstat(lock.get(), &status) == 0 && S_ISREG(status.st_mode) &&
                        status.st_uid != 0;
  clear_name(kUpdateLock);
  if (job_lock) stop_job(lock.get(), status);
  clear_name(kUpdateFifo);
}
