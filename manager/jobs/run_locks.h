// Root's own locks between commands and jobs, in a directory that only root writes, so no
// other account can hold, plant or swap them.
#pragma once

#include <string>

inline constexpr char kRunLockDir[] = "/run/zentra";

// Opens kRunLockDir + "/" + name (both made when missing, never through a link) and takes its
// exclusive flock, waiting for it when `wait`. Returns the close-on-exec descriptor that holds
// it while any copy lives, or -1 when not `wait` and another process holds it. Throws TUError
// "Can not lock <path>: <reason>".
int take_run_lock(const std::string& name, bool wait);
