// Commands that manage the system user and look at a game installation.
#include <cstdio>
#include <unistd.h>

#include "manager/command_options.h"
#include "manager/commands.h"
#include "manager/file_checks.h"
#include "manager/programs.h"
#include "manager/system_user.h"
#include "sys/errors.h"

using kelvor::opt::TOParsing;

bool create_system_user(TOParsing parsing) {
  CommandOptions options(parsing);
  options.finish();
  std::printf("%s\n", generate_user().c_str());
  return true;
}

bool delete_file(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string file = options.required("file");
  options.finish();
  unlink(file.c_str());  // a file already gone is no failure
  return true;
}

bool check_install(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  options.finish();
  const std::string source_server = cs_dir + "/cssource/srcds_run";
  if (!exists(cs_dir + "/hlds_run") && !exists(source_server))
    throw TUError("Half-Life dedicated server is not installed");
  // The Source server is started under the other server's script name.
  if (exists(source_server) && !exists(cs_dir + "/cssource/hlds_run"))
    program({"ln", "-s", source_server, cs_dir + "/cssource/hlds_run"}).run();
  std::printf("Half-Life dedicated server is installed\n");
  return true;
}

bool check_game(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string game = options.required("game");
  options.finish();
  if (!exists(cs_dir + "/" + game + "/maps")) throw TUError(game + " game is not installed");
  std::printf("%s game is installed\n", game.c_str());
  return true;
}

bool set_cs_dir(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string cs_dir = options.required("cs-dir");
  const std::string sys_user = options.required("sys-user");
  options.finish();
  program({"mkdir", "-p", cs_dir}).run();
  chown_tree(cs_dir, sys_user);
  return true;
}
