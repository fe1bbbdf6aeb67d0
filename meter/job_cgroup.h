// A cgroup v2 of a job's own, below the one the job runs in, that the job's launcher (and so
// everything it starts) joins; the kernel meter counts the processes in it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "sys/unique_fd.h"

namespace kelvor::meter {

// Why the kernel meter can not run on this host or for this job; the text says it to an admin.
struct MeterUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class JobCgroup {
public:
  // As root: makes "zentra.<name>" below this process's own cgroup v2 (at /sys/fs/cgroup, or
  // /sys/fs/cgroup/unified on hosts with the hybrid layout), first removing an empty one that
  // an earlier job left; a leftover that still holds processes is left to them and the name
  // gets this process's pid. `name` is letters, digits and '_'. Throws MeterUnavailable.
  explicit JobCgroup(const std::string& name);

  // The cgroup's id, as the kernel reports it to BPF programs.
  std::uint64_t id() const noexcept { return id_; }
  // Its path below the hierarchy's root, for log lines.
  const std::string& path() const noexcept { return path_; }
  // Its cgroup.procs, opened for writing by root and close-on-exec: a child that writes "0"
  // to it joins the cgroup, with root's right to, after it has become another user.
  int procs_fd() const noexcept { return procs_.get(); }
  // As root: false once the cgroup with `id`, in the same hierarchy, has been removed.
  bool still_exists(std::uint64_t id) const noexcept;

private:
  kelvor::sys::UniqueFd root_;
  kelvor::sys::UniqueFd procs_;
  std::uint64_t id_ = 0;
  std::string path_;
};

// Moves the calling process into the cgroup whose cgroup.procs `procs_fd` is; async-signal-safe,
// for a forked child before exec. False when the kernel refused.
bool join_cgroup(int procs_fd) noexcept;

}  // namespace kelvor::meter
