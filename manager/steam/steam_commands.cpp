// Commands that install the Steam updater and hand account requests to it.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/commands.h"
#include "manager/common/programs.h"
#include "manager/users/system_user.h"
#include "manager/users/user_files.h"
#include "sys/unique_fd.h"
#include "sys/errors.h"
#include "sys/redirect.h"

using kelvor::sys::TEArgs;
using kelvor::sys::TExec;

namespace {

const char kClientNotFound[] = "Steam client was not found";

// The manager becomes the updater, as the system user: the panel reads the updater's
// own output and exit status.
void become_updater(const std::string& sys_user, std::initializer_list<std::string> request) {
  switch_to_user(sys_user);
  TEArgs args = TEArgs().add(user_home(sys_user) + "/steam").add(request);
  TExec(args, TExec::DEFAULT & ~TExec::FORK).run();
}

// The gzip tool is what the installer calls under the old name.
void provide_uncompress() {
  struct stat st;
  if (stat("/bin/uncompress", &st) != 0 && symlink("gunzip", "/bin/uncompress") != 0)
    throw TUError("Can not to create symlink /bin/uncompress");
}

}  // namespace

bool create_steam_account(const OptionValues& options) {
  const std::string sys_user = options["sys-user"];
  const std::string username = options["username"];
  const std::string password = options["password"];
  const std::string email = options["email"];
  const std::string question = options["question"];
  const std::string answer = options["answer"];
  become_updater(sys_user, {"-command", "create", "-username", username, "-password", password, "-email", email,
                            "-question", question, "-answer", answer});
  return true;
}

bool check_steam_account(const OptionValues& options) {
  const std::string sys_user = options["sys-user"];
  const std::string username = options["username"];
  const std::string password = options["password"];
  become_updater(sys_user, {"-command", "list", "-username", username, "-password", password});
  return true;
}

bool copy_steam_client(const OptionValues& options) {
  std::string path = options["path"];
  const std::string sys_user = options["sys-user"];
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw TUError(kClientNotFound);
  if (S_ISDIR(st.st_mode)) path += "/steam";
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw TUError(kClientNotFound);
  // The home belongs to the account: everything written there is written as the account.
  // A missing account is reported as such before root is refused as one.
  const std::string client = user_home(sys_user) + "/steam";
  const SystemUser user = system_user_to_run_as(sys_user);
  copy_as_user(path, client, user);
  as_user(program({"chown", sys_user, client}), user).run();
  as_user(program({"chmod", "750", client}), user).run();
  // rm follows no link, and as root it also clears what root once left there.
  program({"rm", "-rf", user.home + "/.steam"}).run();
  return true;
}

bool install_steam_client(const OptionValues& options) {
  const std::string exec_file = options["exec-file"];
  const std::string sys_user = options["sys-user"];
  const std::string input = options["input"];
  provide_uncompress();
  struct stat st;
  if (stat(exec_file.c_str(), &st) != 0) throw TUError("File was not found");
  const std::string home = user_home(sys_user);
  // Read with root's rights, the only thing root does here; the rest is the account's.
  kelvor::sys::UniqueFd installer(open(exec_file.c_str(), O_RDONLY | O_CLOEXEC));
  if (installer.get() < 0) throw TUError("File was not found");
  switch_to_user(sys_user);
  std::string path = home + "/steam_installer_XXXXXX";
  {
    kelvor::sys::UniqueFd copy(mkostemp(path.data(), O_CLOEXEC));
    if (copy.get() < 0) throw TUError("Can not to create temporary file in " + home);
    TExec cat = kelvor::sys::redirect(program({"cat"}), STDIN_FILENO, installer.get());
    kelvor::sys::redirect(cat, STDOUT_FILENO, copy.get()).run();
    fchmod(copy.get(), 0750);
  }  // closed now: a program still open for writing cannot be run
  kelvor::sys::from_string(TExec(TEArgs().add(path)), input).run();
  unlink(path.c_str());
  return true;
}
