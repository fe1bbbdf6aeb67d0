#include "meter/traffic_meter.h"

#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "meter/traffic_meter.skel.h"

namespace kelvor::meter {

namespace {

// libbpf's last warning, for the reason an admin reads; its chatter goes nowhere else.
std::string last_warning;

int keep_warning(libbpf_print_level level, const char* format, va_list arguments) {
  if (level != LIBBPF_WARN) return 0;
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  last_warning = line;
  while (!last_warning.empty() && (last_warning.back() == '\n' || last_warning.back() == ' ')) last_warning.pop_back();
  return 0;
}

[[noreturn]] void unavailable(const std::string& step, int error) {
  std::string reason = step + ": " + std::strerror(error < 0 ? -error : error);
  if (!last_warning.empty()) reason += " (" + last_warning + ")";
  throw MeterUnavailable(reason);
}

}  // namespace

void TrafficMeter::Unload::operator()(traffic_meter_bpf* programs) const noexcept {
  traffic_meter_bpf__destroy(programs);
}

TrafficMeter::TrafficMeter(const std::string& cgroup_name) : cgroup_(cgroup_name) {
  libbpf_set_print(keep_warning);
  last_warning.clear();
  programs_.reset(traffic_meter_bpf__open());
  if (!programs_) unavailable("can not open its programs", errno);
  programs_->rodata->counted_cgroup = cgroup_.id();
  if (const int error = traffic_meter_bpf__load(programs_.get()); error != 0) {
    unavailable("the kernel does not load its programs", error);
  }
  if (const int error = traffic_meter_bpf__attach(programs_.get()); error != 0) {
    unavailable("the kernel does not attach its programs", error);
  }
}

TrafficMeter::~TrafficMeter() = default;
TrafficMeter::TrafficMeter(TrafficMeter&&) noexcept = default;
TrafficMeter& TrafficMeter::operator=(TrafficMeter&&) noexcept = default;

std::uint64_t TrafficMeter::bytes() const noexcept {
  return __atomic_load_n(&programs_->bss->sent_bytes, __ATOMIC_RELAXED) +
         __atomic_load_n(&programs_->bss->received_bytes, __ATOMIC_RELAXED);
}

}  // namespace kelvor::meter
