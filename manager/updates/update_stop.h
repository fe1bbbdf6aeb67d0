// Ending an update job from outside, whatever state it is in.
#pragma once

// Root's guard that update-games and kill-updates take one at a time, in kRunLockDir.
inline constexpr char kUpdateGuard[] = "update.guard";

// Removes the update lock and ends its job: every process of the lock's owner (read before
// the lock goes) that is named steam or holds the update FIFO open is killed, except the job,
// which then writes its game's result and ends by itself; one still there after 10 seconds is
// killed too. Then the FIFO's name goes. Without a lock, or with one of root's, nothing is
// signalled.
void end_update_job();
