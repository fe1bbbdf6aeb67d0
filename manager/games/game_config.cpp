#include "manager/games/game_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include "manager/common/programs.h"
#include "manager/configs/server_config.h"
#include "sys/redirect.h"

using kelvor::sys::append_to_file;
using kelvor::sys::from_file;
using kelvor::sys::from_string;
using kelvor::sys::to_file;

namespace {

// The server's own map cycle when one was written for it, else the game's.
std::string map_cycle_name(const GameServerSettings& job) {
  const std::string own = "mapcycle_" + job.game_id + ".txt";
  struct stat status {};
  return stat((job.cs_dir + "/" + job.game + "/" + own).c_str(), &status) == 0 ? own : "mapcycle.txt";
}

// Files created while it lives (also by the programs forked meanwhile) are the owner's alone.
class OwnerOnlyFiles {
public:
  OwnerOnlyFiles() : old_(umask(077)) {}
  ~OwnerOnlyFiles() { umask(old_); }
  OwnerOnlyFiles(const OwnerOnlyFiles&) = delete;
  OwnerOnlyFiles& operator=(const OwnerOnlyFiles&) = delete;

private:
  mode_t old_;
};

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
  // It holds the passwords: made anew, readable by the account alone (a reader that opened
  // an older, wider file would see what is written into it).
  unlink(target.c_str());
  const OwnerOnlyFiles owner_only;
  to_file(from_file(program({"cat"}), base), target).run();
  append_to_file(from_string(program({"cat"}), game_config_block(job, map_cycle_name(job))), target).run();
  program({"chown", job.sys_user, target}).run();
}
