// Commands that list, install and remove maps and manage a server's map cycle.
#include "manager/command_options.h"
#include "manager/commands.h"

using kelvor::opt::TOParsing;

bool maps_list(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game = options.required("game");
  options.finish();
  return true;
}

bool game_maps(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game = options.required("game");
  const std::string game_id = options.required("game-id");
  options.finish();
  return true;
}

bool set_game_maps(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string sys_user = options.required("sys-user");
  const std::string game = options.required("game");
  const std::string game_id = options.required("game-id");
  const std::string file = options.required("file");
  options.finish();
  return true;
}

bool install_map(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string sys_user = options.required("sys-user");
  const std::string file = options.required("file");
  const std::string uploadfile_name = options.required("uploadfile-name");
  options.finish();
  return true;
}

bool remove_map(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game = options.required("game");
  const std::string map_name = options.required("map-name");
  options.finish();
  return true;
}
