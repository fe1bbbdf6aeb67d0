// The kernel's count of the payload bytes that one job's processes move through AF_INET and
// AF_INET6 sockets, both directions, whatever the program: dynamic or static, libc's own calls
// or a process that dies by a signal.
#pragma once

#include <cstdint>
#include <string>

#include "meter/job_cgroup.h"
#include "meter/shared_programs.h"

namespace kelvor::meter {

class TrafficMeter {
public:
  // As root, holding the lock that the jobs of this host take around it: makes the job's
  // cgroup (see JobCgroup), takes or loads the shared programs (see SharedPrograms, whose
  // registry is at `registry_path`) and enters the cgroup there with a count of its own,
  // mapped for reading. Entries of cgroups that are gone are dropped on the way. Everything
  // is close-on-exec and goes with this object or with the process, however it ends: nothing
  // is pinned. Throws MeterUnavailable.
  TrafficMeter(const std::string& cgroup_name, const std::string& registry_path);
  // Takes the cgroup's entry out where the kernel lets it (kernels before 6.5 let only root);
  // else the first meter made after the cgroup is gone drops it.
  ~TrafficMeter();
  TrafficMeter(const TrafficMeter&) = delete;
  TrafficMeter& operator=(const TrafficMeter&) = delete;

  // The bytes counted so far; read from the mapping, so it needs no privileges.
  std::uint64_t bytes() const noexcept { return __atomic_load_n(count_, __ATOMIC_RELAXED); }
  // The cgroup that the job's launcher joins.
  const JobCgroup& cgroup() const noexcept { return cgroup_; }

private:
  void drop_gone_cgroups() const;
  void enter();

  JobCgroup cgroup_;
  SharedPrograms programs_;
  kelvor::sys::UniqueFd count_map_;
  const std::uint64_t* count_ = nullptr;  // count_map_'s value, mapped read-only
};

}  // namespace kelvor::meter
