// Commands that update the games in a background job and report on it.
#include <ctime>
#include <memory>
#include <unistd.h>

#include "manager/commands.h"
#include "manager/common/file_checks.h"
#include "manager/jobs/run_locks.h"
#include "manager/updates/update_job.h"
#include "manager/updates/update_stop.h"
#include "manager/users/system_user.h"
#include "manager/users/user_files.h"
#include "sys/unique_fd.h"
#include "sys/daemon.h"
#include "sys/errors.h"


namespace {

const char kStartedAlready[] = "Update is started already.";

// The update lock, taken at once or refused: two requests arriving together never both pass.
// It belongs to the system user, as the job that removes it runs as that user. Only a live
// job's lock refuses: what a dead job or another account left at the two names is removed.
JobFile take_update_lock(const std::string& sys_user) {
  const std::optional<SystemUser> account = find_system_user(sys_user);
  const kelvor::sys::UniqueFd guard(take_run_lock(kUpdateGuard, true));
  if (lock_is_held(kUpdateLock, account ? account->uid : 0)) throw TUError(kStartedAlready);
  clear_name(kUpdateLock);
  std::optional<JobFile> lock = JobFile::take_lock(kUpdateLock, std::time(nullptr));
  if (!lock) throw TUError(kStartedAlready);
  // No live job holds the lock, so no job of ours will read the FIFO there.
  clear_name(kUpdateFifo);
  const SystemUser user = system_user_with_home(sys_user);
  lock->give_to(user.uid, user.gid);
  note_lock_owner(guard.get(), user.uid);
  return std::move(*lock);
}

}  // namespace

bool update_games(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string sys_user = options["sys-user"];
  const std::string games = options["games"];
  const std::string username = options["username"];
  const std::string password = options["password"];
  const bool no_daemon = options.given("no-daemon");

  JobFile lock = take_update_lock(sys_user);
  TUpdateGames job(games, cs_dir, sys_user, username, password, &lock);
  if (no_daemon) {
    job();  // its result is not examined; its errors are the command's
    return true;
  }
  kelvor::sys::TExec exec{kelvor::sys::TEArgs()};
  exec.add(std::make_shared<kelvor::sys::TFnCall<TUpdateGames>>(job));
  kelvor::sys::run_as_daemon(exec);
  // Only the detached process gets here; the job has taken the lock over.
  lock.keep();
  return true;
}

bool game_update_log(const OptionValues& options) {
  const std::string game = options["game"];
  const std::string sys_user = options["sys-user"];
  const std::string log = user_home(sys_user) + "/log/update_" + game + ".log";
  if (name_taken(log)) show_user_file(log);
  return true;
}

bool kill_updates(const OptionValues&) {
  end_update_job();
  return true;
}
