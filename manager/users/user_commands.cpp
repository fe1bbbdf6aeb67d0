// Commands that manage the system user and look at a game installation.
#include <cstdio>
#include <memory>
#include <optional>

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
  remove_file(file);  // a file already gone is no failure
  return true;
}

bool check_install(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string source_server = cs_dir + "/cssource/srcds_run";
  if (!exists(cs_dir + "/hlds_run") && !exists(source_server))
    throw TUError("Half-Life dedicated server is not installed");
  // The Source server is started under the other server's script name. ln works in the
  // directory reached without a planted link and never makes its link inside one that
  // took the name meanwhile.
  if (exists(source_server) && !exists(cs_dir + "/cssource/hlds_run")) {
    kelvor::sys::TExec ln = program({"ln", "-s", "-T", source_server, "hlds_run"});
    ln.add(std::make_shared<TEnterDirectory>(cs_dir + "/cssource"));
    ln.run();
  }
  std::printf("Half-Life dedicated server is installed\n");
  return true;
}

bool check_game(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game = options["game"];
  const std::string maps = cs_dir + "/" + game + "/maps";
  // Tested with the rights of the account that could have planted a link on the way.
  const std::optional<SystemUser> owner = first_owner_other_than_root({cs_dir, cs_dir + "/" + game, maps});
  const bool installed = owner ? as_user(program({"test", "-e", maps}), *owner).run().status == 0 : exists(maps);
  if (!installed) throw TUError(game + " game is not installed");
  std::printf("%s game is installed\n", game.c_str());
  return true;
}

bool set_cs_dir(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string sys_user = options["sys-user"];
  make_directories(cs_dir);
  chown_tree(cs_dir, sys_user);
  return true;
}
