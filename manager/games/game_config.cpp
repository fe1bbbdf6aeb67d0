#include "manager/games/game_config.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/common/programs.h"
#include "manager/configs/server_config.h"
#include "sys/unique_fd.h"
#include "sys/descriptors.h"
#include "sys/errors.h"

namespace {

// The passwords in it are nobody else's business.
constexpr mode_t kConfigMode = 0600;

[[noreturn]] void refuse(const std::string& what, const std::string& path, int number) {
  throw TUError("Can not " + what + " " + path + ": " + std::strerror(number));
}

// The base configuration's content; empty when it can not be opened or is no plain file (a
// FIFO there would hold the job for ever). A read that fails half way fails the start.
std::string base_content(const std::string& path) {
  const kelvor::sys::UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return "";
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(file.get(), buffer, sizeof buffer);
    if (n == 0) return content;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) refuse("read the base configuration", path, errno);
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

// Creates path holding exactly `content`: every write and the close checked, as
// a configuration cut short (a full disk) would start the server without the customer's
// passwords.
void write_whole(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kConfigMode);
  if (fd < 0) refuse("write the game configuration", path, errno);
  errno = 0;
  const bool all_written = kelvor::sys::detail::write_all(fd, content.data(), content.size());
  const int write_errno = all_written ? 0 : errno != 0 ? errno : ENOSPC;
  if (close(fd) != 0 && all_written) refuse("write the game configuration", path, errno);
  if (!all_written) refuse("write the game configuration", path, write_errno);
}

// The server's own map cycle when one was written for it, else the game's.
std::string map_cycle_name(const GameServerSettings& job) {
  const std::string own = "mapcycle_" + job.game_id + ".txt";
  struct stat status {};
  return stat((job.cs_dir + "/" + job.game + "/" + own).c_str(), &status) == 0 ? own : "mapcycle.txt";
}

}  // namespace

std::string game_config_path(const GameServerSettings& job) {
  return job.cs_dir + "/" + job.game + job.config_dir + "/game_config_" + job.game_id + ".cfg";
}

std::string game_config_block(const GameServerSettings& job, const std::string& map_cycle) {
  return "\n\n// Added by Kelvor's module\n"
         "servercfgfile \"game_config_" + job.game_id + ".cfg\"\n"
         "mapcyclefile \"" + map_cycle + "\"\n"
         "hostname \"" + job.hostname + "\"\n"
         "rcon_password \"" + job.rcon_password + "\"\n"
         "sv_password \"" + job.sv_password + "\"\n"
         "sv_lan " + job.sv_lan + "\n";
}

void write_game_config(const GameServerSettings& job) {
  const std::string base = job.cs_dir + "/" + job.game + "/" + server_config_name(job.config_id, job.config_dir);
  const std::string target = game_config_path(job);
  // It holds the passwords: made anew (a reader that opened an older, wider file would see
  // what is written into it), readable by the account alone.
  if (unlink(target.c_str()) != 0 && errno != ENOENT) refuse("write the game configuration", target, errno);
  write_whole(target, base_content(base) + game_config_block(job, map_cycle_name(job)));
  program({"chown", job.sys_user, target}).run();
}
