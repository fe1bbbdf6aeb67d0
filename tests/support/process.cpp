#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace zentra_test {
namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() { close_both(); }
  void close_end(int i) {
    if (fd[i] >= 0) close(fd[i]);
    fd[i] = -1;
  }
  void close_both() { close_end(0), close_end(1); }
};

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             Pipe& in, Pipe& out, Pipe& err) {
  dup2(in.fd[0], 0);
  dup2(out.fd[1], 1);
  dup2(err.fd[1], 2);
  // The runner ignores SIGPIPE for itself; the program must get the action it has in service.
  signal(SIGPIPE, SIG_DFL);
  for (const auto& entry : env) putenv(const_cast<char*>(entry.c_str()));
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  const char* msg = "run_program: exec failed\n";
  (void)!write(2, msg, std::strlen(msg));
  _exit(127);
}

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const std::string& input,
                      const std::vector<std::string>& env, int timeout_seconds) {
  Pipe in, out, err;
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) exec_child(argv, env, in, out, err);
  in.close_end(0);
  out.close_end(1);
  err.close_end(1);

  RunResult result;
  size_t written = 0;
  if (input.empty()) in.close_end(1);
  fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
  const double deadline = now() + timeout_seconds;
  bool killed = false;
  while (out.fd[0] >= 0 || err.fd[0] >= 0) {
    pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
    const int ready = poll(fds, 3, 200);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else {
        (i == 0 ? out : err).close_end(0);
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = write(in.fd[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) in.close_end(1);
    }
    if (!killed && now() > deadline) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return result;
}

}  // namespace zentra_test
