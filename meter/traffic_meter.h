// The kernel's count of the payload bytes that one job's processes move through AF_INET and
// AF_INET6 sockets, both directions, whatever the program: dynamic or static, libc's own calls
// or a process that dies by a signal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "meter/job_cgroup.h"

struct traffic_meter_bpf;

namespace kelvor::meter {

class TrafficMeter {
public:
  // As root: makes the job's cgroup (see JobCgroup) and loads and attaches the programs that
  // count for it. Everything is close-on-exec and goes with this object or with the process,
  // however it ends: nothing is pinned. Throws MeterUnavailable.
  explicit TrafficMeter(const std::string& cgroup_name);
  ~TrafficMeter();
  TrafficMeter(TrafficMeter&&) noexcept;
  TrafficMeter& operator=(TrafficMeter&&) noexcept;

  // The bytes counted so far; read from a mapping, so it needs no privileges.
  std::uint64_t bytes() const noexcept;
  // The cgroup that the job's launcher joins.
  const JobCgroup& cgroup() const noexcept { return cgroup_; }

private:
  struct Unload {
    void operator()(traffic_meter_bpf* programs) const noexcept;
  };

  JobCgroup cgroup_;
  std::unique_ptr<traffic_meter_bpf, Unload> programs_;
};

}  // namespace kelvor::meter
