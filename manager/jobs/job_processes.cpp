#include "manager/jobs/job_processes.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sys/unique_fd.h"

namespace {

// A /proc file whole, up to `limit` bytes; empty when it cannot be read.
std::string read_proc(const std::string& path, std::size_t limit = 1 << 20) {
  kelvor::sys::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  std::string text;
  if (fd.get() < 0) return text;
  char buffer[4096];
  while (text.size() < limit) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

bool all_digits(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

// True when the process's real, effective and saved user ids are all `owner`.
bool runs_wholly_as(pid_t pid, uid_t owner) {
  const std::string status = read_proc("/proc/" + std::to_string(pid) + "/status", 16384);
  const std::size_t at = status.find("\nUid:");
  if (at == std::string::npos) return false;
  std::istringstream ids(status.substr(at + 5));
  uid_t real, effective, saved;
  return static_cast<bool>(ids >> real >> effective >> saved) && real == owner && effective == owner &&
         saved == owner;
}

}  // namespace

std::vector<pid_t> all_processes() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* entry = readdir(proc)) {
    if (all_digits(entry->d_name)) pids.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
  }
  closedir(proc);
  return pids;
}

bool holds_open(pid_t pid, dev_t device, ino_t inode) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fds.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(dir)) {
    struct stat status {};
    // The link leads to the open file itself, wherever its name went.
    if (all_digits(entry->d_name) && stat((fds + "/" + entry->d_name).c_str(), &status) == 0 &&
        status.st_dev == device && status.st_ino == inode) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

std::string process_name(pid_t pid) {
  std::string name = read_proc("/proc/" + std::to_string(pid) + "/comm", 64);
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

std::vector<std::string> process_strings(pid_t pid, const std::string& which) {
  const std::string text = read_proc("/proc/" + std::to_string(pid) + "/" + which);
  std::vector<std::string> strings;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    strings.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return strings;
}

bool signal_checked(pid_t pid, uid_t owner, int signal, const std::function<bool(pid_t)>& is_it) {
  const auto checked = [&] { return runs_wholly_as(pid, owner) && (!is_it || is_it(pid)); };
  // The pidfd pins the process: what is read below is its own as long as it has not ended.
  kelvor::sys::UniqueFd process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (process.get() < 0) {
    // Kernels before 5.3: the check and the signal are not tied to one process.
    return errno == ENOSYS && checked() && kill(pid, signal) == 0;
  }
  if (!checked()) return false;
  pollfd ended{process.get(), POLLIN, 0};
  if (poll(&ended, 1, 0) != 0) return false;  // it ended, so what was read may be a newer process's
  return syscall(SYS_pidfd_send_signal, process.get(), signal, nullptr, 0) == 0;
}
