#include "sys/daemon.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "sys/child_failure.h"
#include "sys/descriptors.h"
#include "sys/errors.h"
#include "sys/signals.h"

namespace kelvor::sys {
namespace {

pid_t fork_or_refuse() {
  pid_t pid = fork();
  if (pid < 0) throw TUError("Unable to run as daemon");
  return pid;
}

void streams_to_null() {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return;
  dup2(fd, STDIN_FILENO);
  dup2(fd, STDOUT_FILENO);
  dup2(fd, STDERR_FILENO);
  if (fd > STDERR_FILENO) close(fd);
}

bool is_inherited(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  return fd > STDERR_FILENO && flags != -1 && !(flags & FD_CLOEXEC);
}

// The open descriptors of this process, from /proc; every possible number without it.
std::vector<int> open_descriptors() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    const long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = 0; fd < (limit > 0 && limit < 65536 ? limit : 65536); ++fd) fds.push_back(fd);
    return fds;
  }
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') fds.push_back(std::atoi(entry->d_name));
  }
  closedir(dir);
  return fds;
}

// A panel's pipe or a web server's socket would stay open for as long as the job and the
// game server run, and a caller reading to end of file would wait that long. What came
// from the caller is what lacks close-on-exec: every descriptor this program opens has it.
void close_inherited_descriptors() {
  for (int fd : open_descriptors()) {
    if (is_inherited(fd)) close(fd);
  }
}

}  // namespace

namespace detail {

void run_job(const std::function<int()>& body) noexcept {
  // Programs that the job starts end like the job would on an error of theirs.
  set_child_failure_reporter(&report_child_failure_as_status);
  try {
    std::exit(body());
  } catch (const TSysCallErr& e) {
    std::exit(e.error_number());
  } catch (...) {
    std::exit(-1);
  }
}

}  // namespace detail

TExecResult run_as_daemon(TExec exec) {
  // The forks below must not carry the caller's unwritten output along.
  detail::flush_stdio();
  if (fork_or_refuse() > 0) std::exit(0);
  setsid();
  set_signal_action(SIGHUP, SIG_IGN);
  // A forked copy of the caller: _exit, so that no stdio buffer or static destructor runs twice.
  if (fork_or_refuse() > 0) _exit(0);
  streams_to_null();
  close_inherited_descriptors();
  return exec.run();
}

}  // namespace kelvor::sys
