// Commands that update the games in a background job and report on it.
#include "manager/command_options.h"
#include "manager/commands.h"

using kelvor::opt::TOParsing;

bool update_games(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string sys_user = options.required("sys-user");
  const std::string games = options.required("games");
  const std::string username = options.optional("username");
  const std::string password = options.optional("password");
  // Here no-daemon carries a value: --no-daemon=1.
  const bool no_daemon = !options.optional("no-daemon").empty();
  options.finish();
  (void)no_daemon;
  return true;
}

bool game_update_log(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string game = options.required("game");
  const std::string sys_user = options.required("sys-user");
  options.finish();
  return true;
}

bool kill_updates(TOParsing parsing) {
  CommandOptions options(parsing);
  options.finish();
  return true;
}
