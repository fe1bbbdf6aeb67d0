// Commands that show and replace a game server's configuration file.
#include "manager/command_options.h"
#include "manager/commands.h"

using kelvor::opt::TOParsing;

bool config_file_content(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game = options.required("game");
  const std::string config_id = options.optional("config-id");
  const std::string config_dir = options.optional("config-dir");
  options.finish();
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
  return true;
}
