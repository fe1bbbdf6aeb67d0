// Ending an update job from outside, whatever state it is in.
#pragma once

#include <sys/types.h>

// Root's guard that update-games and kill-updates take one at a time, in kRunLockDir.
inline constexpr char kUpdateGuard[] = "update.guard";

// Notes in the guard, held as `guard`, the account that root handed the update lock to.
// Throws TUError "Can not lock <guard's path>: <reason>".
void note_lock_owner(int guard, uid_t uid);

// Removes the update lock and ends its job: every process of the lock's owner (read before
// the lock goes, and only when it is the account noted by the last update-games) that is named steam or holds the update FIFO open is killed, except the job,
// which then writes its game's result and ends by itself; one still there after 10 seconds is
// killed too. Then the FIFO's name goes. Without a lock, or with one of root's, nothing is
// signalled, nor with another account's.
void end_update_job();
