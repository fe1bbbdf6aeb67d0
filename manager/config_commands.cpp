// Commands that show and replace a game server's configuration file.
#include "manager/command_options.h"
#include "manager/commands.h"
#include "manager/programs.h"
#include "manager/server_config.h"
#include "manager/system_user.h"
#include "manager/user_files.h"

using kelvor::opt::TOParsing;

namespace {

std::string config_path(const std::string& cs_dir, const std::string& game, const std::string& config_id,
                        const std::string& config_dir) {
  return cs_dir + "/" + game + "/" + server_config_name(config_id, config_dir);
}

}  // namespace

bool config_file_content(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game = options.required("game");
  const std::string config_id = options.optional("config-id");
  const std::string config_dir = options.optional("config-dir");
  options.finish();
  show_user_file(config_path(cs_dir, game, config_id, config_dir));
  return true;
}

bool save_to_config_file(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string sys_user = options.required("sys-user");
  const std::string game = options.required("game");
  const std::string config_id = options.optional("config-id");
  const std::string config_dir = options.optional("config-dir");
  const std::string file = options.required("file");
  options.finish();
  const SystemUser user = system_user_to_run_as(sys_user);
  const std::string path = config_path(cs_dir, game, config_id, config_dir);
  copy_as_user(file, path, user);
  as_user(program({"chown", sys_user, path}), user).run();
  return true;
}
