#include "manager/jobs/launcher_wait.h"

#include <cerrno>
#include <sys/wait.h>

#include "sys/errors.h"

int wait_for_launcher(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, WUNTRACED) < 0) {
    if (errno != EINTR) kelvor::throw_system_error("waitpid() failed", errno);
  }
  return status;
}

bool launcher_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}
