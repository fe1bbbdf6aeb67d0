// Commands that show and replace a game server's configuration file.
#include "manager/commands.h"
#include "manager/common/programs.h"
#include "manager/configs/server_config.h"
#include "manager/users/system_user.h"
#include "manager/users/user_files.h"


namespace {

std::string config_path(const std::string& cs_dir, const std::string& game, const std::string& config_id,
                        const std::string& config_dir) {
  return cs_dir + "/" + game + "/" + server_config_name(config_id, config_dir);
}

}  // namespace

bool config_file_content(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game = options["game"];
  const std::string config_id = options["config-id"];
  const std::string config_dir = options["config-dir"];
  show_user_file(config_path(cs_dir, game, config_id, config_dir));
  return true;
}

bool save_to_config_file(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string sys_user = options["sys-user"];
  const std::string game = options["game"];
  const std::string config_id = options["config-id"];
  const std::string config_dir = options["config-dir"];
  const std::string file = options["file"];
  const SystemUser user = system_user_to_run_as(sys_user);
  const std::string path = config_path(cs_dir, game, config_id, config_dir);
  copy_as_user(file, path, user);
  as_user(program({"chown", sys_user, path}), user).run();
  return true;
}
