#include "manager/jobs/kernel_meter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "manager/jobs/job_log.h"
#include "manager/jobs/run_locks.h"
#include "panel/conf.h"
#include "sys/errors.h"
#include "sys/unique_fd.h"

namespace {

constexpr const char* kLauncherVariable = "ZENTRA_KERNEL_METER";

bool turned_off() {
  const char* value = get_conf_param(kMeterSetting);
  return value != nullptr && std::strcmp(value, "off") == 0;
}

class JoinMeteredCgroup : public kelvor::sys::TExec::TPrepare {
public:
  explicit JoinMeteredCgroup(const kelvor::meter::TrafficMeter* meter) : meter_(meter) {}

  void before_fork(kelvor::sys::TExec&) override {
    if (meter_) {
      setenv(kLauncherVariable, "1", 1);
    } else {
      unsetenv(kLauncherVariable);
    }
  }

  // Uncounted, the launcher must not run at all.
  void in_child(kelvor::sys::TExec&) override {
    if (meter_ && !kelvor::meter::join_cgroup(meter_->cgroup().procs_fd())) throw kelvor::sys::TSysCallErr(errno);
  }

private:
  const kelvor::meter::TrafficMeter* meter_;
};

}  // namespace

std::unique_ptr<kelvor::meter::TrafficMeter> start_kernel_meter(const std::string& job_name,
                                                                const std::string& cgroup_name) {
  if (turned_off()) return nullptr;
  try {
    // Jobs that start together share one set of programs, and never take one another's leftovers.
    const kelvor::sys::UniqueFd lock(take_run_lock("meter", true));
    return std::make_unique<kelvor::meter::TrafficMeter>(cgroup_name, std::string(kRunLockDir) + "/meter.programs");
  } catch (const kelvor::meter::MeterUnavailable& reason) {
    job_log(LOG_WARNING, job_name + ": the kernel traffic meter does not run (" + reason.what() +
                             "): traffic is counted by the statistics library");
    return nullptr;
  }
}

kelvor::sys::TExec metered(kelvor::sys::TExec launcher, const kelvor::meter::TrafficMeter* meter) {
  launcher.add(std::make_shared<JoinMeteredCgroup>(meter));
  return launcher;
}
