#include "meter/traffic_meter.h"

#include <bpf/bpf.h>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace kelvor::meter {

namespace {

[[noreturn]] void unavailable(const std::string& step) {
  throw MeterUnavailable(step + ": " + std::strerror(errno));
}

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

TrafficMeter::TrafficMeter(const std::string& cgroup_name, const std::string& registry_path)
    : cgroup_(cgroup_name), programs_(registry_path) {
  drop_gone_cgroups();
  enter();
}

TrafficMeter::~TrafficMeter() {
  const std::uint64_t id = cgroup_.id();
  bpf_map_delete_elem(programs_.meters(), &id);  // the result is not examined: see the header
  munmap(const_cast<std::uint64_t*>(count_), page_size());
}

void TrafficMeter::enter() {
  LIBBPF_OPTS(bpf_map_create_opts, options, .map_flags = BPF_F_MMAPABLE);
  count_map_.reset(bpf_map_create(BPF_MAP_TYPE_ARRAY, "zentra_bytes", sizeof(std::uint32_t), sizeof(std::uint64_t), 1,
                                  &options));
  if (!count_map_) unavailable("can not make its count");
  void* mapped = mmap(nullptr, page_size(), PROT_READ, MAP_SHARED, count_map_.get(), 0);
  if (mapped == MAP_FAILED) unavailable("can not map its count");
  count_ = static_cast<const std::uint64_t*>(mapped);
  const std::uint64_t id = cgroup_.id();
  const int map_fd = count_map_.get();
  if (bpf_map_update_elem(programs_.meters(), &id, &map_fd, BPF_NOEXIST) != 0) unavailable("can not enter its cgroup");
}

// Jobs that ended by SIGKILL, or on kernels that kept them from taking out their own entry.
void TrafficMeter::drop_gone_cgroups() const {
  std::vector<std::uint64_t> gone;
  std::uint64_t key = 0, next = 0;
  for (const void* previous = nullptr; bpf_map_get_next_key(programs_.meters(), previous, &next) == 0; previous = &key) {
    if (!cgroup_.still_exists(next)) gone.push_back(next);
    key = next;
  }
  for (const std::uint64_t id : gone) bpf_map_delete_elem(programs_.meters(), &id);
}

}  // namespace kelvor::meter
