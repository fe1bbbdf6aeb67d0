// The update job: the listed games updated one after the other by the Steam updater behind
// the launcher, with each game's state and figures in the panel database.
#pragma once

#include <string>
#include <vector>

#include "manager/jobs/job_files.h"
#include "sys/eargs.h"

// The update lock, holding the job's start time, and the updater's statistics FIFO.
inline constexpr char kUpdateLock[] = "/tmp/.cs_update";
inline constexpr char kUpdateFifo[] = "/tmp/.cs_ustatistics.pipe";

// The words of the games option, which white space separates.
std::vector<std::string> game_list(const std::string& games);

// Where and under which name the updater updates `game`: "cssource" is Counter-Strike Source
// in its own directory, every other game goes unchanged into cs_dir.
struct UpdaterTarget {
  std::string game;  // the updater's name of the game
  std::string dir;
};
UpdaterTarget updater_target(const std::string& cs_dir, const std::string& game);

// The launcher's command line that runs the updater of `home` on `target`; the account's
// credentials are passed only when both are given.
kelvor::sys::TEArgs updater_command(const std::string& home, const UpdaterTarget& target,
                                    const std::string& username, const std::string& password);

// The job's function object. Its copies share the lock that the command took.
class TUpdateGames {
public:
  // `lock` is the update lock that the command holds; the job takes it over when it runs,
  // which may be in a forked copy of the command's process, and removes it on its way out.
  TUpdateGames(std::string games, std::string cs_dir, std::string sys_user, std::string username,
               std::string password, JobFile* lock);

  // Updates every game in turn, as the system user; 0 at the end. Raises on an error, and on
  // every way out removes the lock and the FIFO if they are still its own.
  int operator()();

private:
  int run(JobFile& lock);

  std::string games_;
  std::string cs_dir_;
  std::string sys_user_;
  std::string username_;
  std::string password_;
  JobFile* lock_;
};
