#include "manager/games/game_processes.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "manager/games/server_files.h"
#include "panel/file_descriptor.h"

namespace {

// What root may act on in a pid file that the system user writes.
struct PidFile {
  pid_t pid;
  uid_t owner;
};

// The first bytes of a regular file at path, never through a link, never blocking on a FIFO.
std::optional<std::string> read_start(const std::string& path, uid_t* owner = nullptr) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  char text[4096];
  ssize_t size;
  while ((size = read(fd.get(), text, sizeof text)) < 0 && errno == EINTR) {
  }
  if (size < 0) return std::nullopt;
  if (owner != nullptr) *owner = status.st_uid;
  return std::string(text, static_cast<size_t>(size));
}

// The decimal number at the start of the file (white space first is skipped), with the
// file's owner; nothing when the file or the number cannot be read.
std::optional<PidFile> read_pid_file(const std::string& path) {
  uid_t owner = 0;
  const std::optional<std::string> text = read_start(path, &owner);
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  pid_t pid = 0;
  if (!(in >> pid)) return std::nullopt;
  return PidFile{pid, owner};
}

// True when the process's real, effective and saved user ids are all `owner`.
bool runs_wholly_as(pid_t pid, uid_t owner) {
  const std::optional<std::string> status = read_start("/proc/" + std::to_string(pid) + "/status");
  if (!status) return false;
  const size_t at = status->find("\nUid:");
  if (at == std::string::npos) return false;
  std::istringstream ids(status->substr(at + 5));
  uid_t real, effective, saved;
  return static_cast<bool>(ids >> real >> effective >> saved) && real == owner && effective == owner &&
         saved == owner;
}

void terminate_listed(const std::string& path) {
  const std::optional<PidFile> file = read_pid_file(path);
  // 0 and -1 would reach whole process groups, 1 is init; root's files are not the account's.
  if (!file || file->pid <= 1 || file->owner == 0) return;
  terminate_if_owned_by(file->pid, file->owner);
}

}  // namespace

bool game_running(const std::string& cs_dir, const std::string& game_id) {
  struct stat status {};
  return stat(server_pid_path(cs_dir, game_id).c_str(), &status) == 0 ||
         stat(wrapper_pid_path(cs_dir, game_id).c_str(), &status) == 0;
}

bool terminate_if_owned_by(pid_t pid, uid_t owner) {
  // The pidfd pins the process: the ids read below are its own as long as it has not ended.
  FileDescriptor process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (process.get() < 0) {
    // Kernels before 5.3: the check and the signal are not tied to one process.
    return errno == ENOSYS && runs_wholly_as(pid, owner) && kill(pid, SIGTERM) == 0;
  }
  if (!runs_wholly_as(pid, owner)) return false;
  pollfd ended{process.get(), POLLIN, 0};
  if (poll(&ended, 1, 0) != 0) return false;  // it ended, so the ids may be a newer process's
  return syscall(SYS_pidfd_send_signal, process.get(), SIGTERM, nullptr, 0) == 0;
}

void kill_game_processes(const std::string& cs_dir, const std::string& game_id) {
  const std::string wrapper = wrapper_pid_path(cs_dir, game_id);
  const std::string server = server_pid_path(cs_dir, game_id);
  terminate_listed(wrapper);
  terminate_listed(server);
  unlink(wrapper.c_str());
  unlink(server.c_str());
}
