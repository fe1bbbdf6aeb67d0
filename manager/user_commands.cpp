// Commands that manage the system user and look at a game installation.
#include "manager/command_options.h"
#include "manager/commands.h"

using kelvor::opt::TOParsing;

bool create_system_user(TOParsing parsing) {
  CommandOptions options(parsing);
  options.finish();
  return true;
}

bool delete_file(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string file = options.required("file");
  options.finish();
  return true;
}

bool check_install(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  options.finish();
  return true;
}

bool check_game(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game = options.required("game");
  options.finish();
  return true;
}

bool set_cs_dir(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string sys_user = options.required("sys-user");
  options.finish();
  return true;
}
