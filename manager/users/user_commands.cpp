// Commands that manage the system user and look at a game installation.
#include <cstdio>
#include <unistd.h>

#include "manager/commands.h"
#include "manager/common/file_checks.h"
#include "manager/common/programs.h"
#include "manager/users/system_user.h"
#include "manager/users/user_accounts.h"
#include "manager/users/user_files.h"
#include "sys/errors.h"


bool create_system_user(const OptionValues&) {
  std::printf("%s\n", generate_user().c_str());
  return true;
}

bool delete_file(const OptionValues& options) {
  const std::string file = options["file"];
  unlink(file.c_str());  // a file already gone is no failure
  return true;
}

bool check_install(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string source_server = cs_dir + "/cssource/srcds_run";
  if (!exists(cs_dir + "/hlds_run") && !exists(source_server))
    throw TUError("Half-Life dedicated server is not installed");
  // The Source server is started under the other server's script name.
  if (exists(source_server) && !exists(cs_dir + "/cssource/hlds_run"))
    program({"ln", "-s", source_server, cs_dir + "/cssource/hlds_run"}).run();
  std::printf("Half-Life dedicated server is installed\n");
  return true;
}

bool check_game(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game = options["game"];
  if (!exists(cs_dir + "/" + game + "/maps")) throw TUError(game + " game is not installed");
  std::printf("%s game is installed\n", game.c_str());
  return true;
}

bool set_cs_dir(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string sys_user = options["sys-user"];
  program({"mkdir", "-p", cs_dir}).run();
  chown_tree(cs_dir, sys_user);
  return true;
}
