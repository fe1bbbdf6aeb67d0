#include "manager/games/game_processes.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "manager/games/server_files.h"
#include "manager/jobs/job_processes.h"
#include "sys/unique_fd.h"

namespace {

// What root may act on in a pid file that the system user writes.
struct PidFile {
  pid_t pid;
  uid_t owner;
};

// The first bytes of a regular file at path, never through a link, never blocking on a FIFO.
std::optional<std::string> read_start(const std::string& path, uid_t* owner = nullptr) {
  kelvor::sys::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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

// True when the process is this server's: its command line names the server's pid file,
// or its environment the server's FIFO, as the launcher passes both on down the exec chain.
// A pid reused by another server of the account, or by anything else, fails both.
bool runs_server(pid_t pid, const std::string& server_pid_file, const std::string& fifo) {
  const std::vector<std::string> args = process_strings(pid, "cmdline");
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "-pidfile" && args[i + 1] == server_pid_file) return true;
  }
  for (const std::string& variable : process_strings(pid, "environ")) {
    if (variable == "ZENTRA_STAT_FILE=" + fifo) return true;
  }
  return false;
}

void terminate_listed(const std::string& path, const std::string& server_pid_file, const std::string& fifo) {
  const std::optional<PidFile> file = read_pid_file(path);
  // 0 and -1 would reach whole process groups, 1 is init; root's files are not the account's.
  if (!file || file->pid <= 1 || file->owner == 0) return;
  signal_checked(file->pid, file->owner, SIGTERM,
                 [&](pid_t pid) { return runs_server(pid, server_pid_file, fifo); });
}

}  // namespace

bool game_running(const std::string& cs_dir, const std::string& game_id) {
  struct stat status {};
  return stat(server_pid_path(cs_dir, game_id).c_str(), &status) == 0 ||
         stat(wrapper_pid_path(cs_dir, game_id).c_str(), &status) == 0;
}

void kill_game_processes(const std::string& cs_dir, const std::string& game_id) {
  const std::string wrapper = wrapper_pid_path(cs_dir, game_id);
  const std::string server = server_pid_path(cs_dir, game_id);
  const std::string fifo = statistics_fifo_path(game_id);
  terminate_listed(wrapper, server, fifo);
  terminate_listed(server, server, fifo);
  unlink(wrapper.c_str());
  unlink(server.c_str());
}
