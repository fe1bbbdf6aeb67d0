// Commands that install the Steam updater and hand account requests to it.
#include "manager/command_options.h"
#include "manager/commands.h"

using kelvor::opt::TOParsing;

bool create_steam_account(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string sys_user = options.required("sys-user");
  const std::string username = options.required("username");
  const std::string password = options.required("password");
  const std::string email = options.required("email");
  const std::string question = options.required("question");
  const std::string answer = options.required("answer");
  options.finish();
  return true;
}

bool check_steam_account(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string sys_user = options.required("sys-user");
  const std::string username = options.required("username");
  const std::string password = options.required("password");
  options.finish();
  return true;
}

bool copy_steam_client(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string path = options.required("path");
  const std::string sys_user = options.required("sys-user");
  options.finish();
  return true;
}

bool install_steam_client(TOParsing parsing) {
  CommandOptions options(parsing);
  const std::string exec_file = options.required("exec-file");
  const std::string sys_user = options.required("sys-user");
  const std::string input = options.required("input");
  options.finish();
  return true;
}
