#include "tests/sys/helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <csignal>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/eargs.h"

namespace sys_test {

TempDir::TempDir() {
  char name[] = "/tmp/kelvor-sys-XXXXXX";
  if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

Pipe make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary) << content;
  chmod(path.c_str(), mode);
}

mode_t file_mode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

int open_descriptor_count() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

kelvor::sys::TExec program(std::initializer_list<std::string> args, int flags) {
  kelvor::sys::TEArgs list;
  list.add(args);
  return kelvor::sys::TExec(list, flags);
}

kelvor::sys::TExec shell(const std::string& script) { return program({"/bin/sh", "-c", script}); }

Forked run_forked(const std::function<void()>& body) {
  Pipe out = make_pipe();
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out.write.get(), STDOUT_FILENO);
    out.write.reset();  // only standard output may keep the reader waiting
    out.read.reset();
    int code = 0;
    try {
      body();
    } catch (...) {
      code = 99;
    }
    std::fflush(nullptr);
    _exit(code);
  }
  out.write.reset();
  Forked result;
  result.out = read_all(out.read.get());
  result.status = wait_exit_code(pid);
  return result;
}

int wait_exit_code(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

namespace {
void on_alarm(int) {}
}  // namespace

Interrupter::Interrupter() {
  struct sigaction action {};
  action.sa_handler = on_alarm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  itimerval every{{0, 10000}, {0, 10000}};
  setitimer(ITIMER_REAL, &every, nullptr);
}

Interrupter::~Interrupter() {
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_DFL);
}

}  // namespace sys_test
