#include "meter/shared_programs.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "meter/job_cgroup.h"
#include "meter/traffic_meter.skel.h"

namespace kelvor::meter {

using kelvor::sys::UniqueFd;

namespace {

constexpr const char* kSentProgram = "zentra_sent";
constexpr const char* kReceivedProgram = "zentra_received";
constexpr const char* kMetersMap = "zentra_meters1";

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

struct Unload {
  void operator()(traffic_meter_bpf* programs) const noexcept { traffic_meter_bpf__destroy(programs); }
};

UniqueFd duplicate(int fd) { return UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

// The link with `link_id`, if it still runs the program `name` with the map `map_id`.
UniqueFd fitting_link(__u32 link_id, const char* name, __u32 map_id) {
  UniqueFd link(bpf_link_get_fd_by_id(link_id));
  bpf_link_info link_info{};
  __u32 size = sizeof link_info;
  if (!link || bpf_obj_get_info_by_fd(link.get(), &link_info, &size) != 0) return {};
  const UniqueFd program(bpf_prog_get_fd_by_id(link_info.prog_id));
  __u32 maps[4] = {};
  bpf_prog_info info{};
  info.nr_map_ids = 4;
  info.map_ids = reinterpret_cast<__u64>(maps);
  size = sizeof info;
  if (!program || bpf_obj_get_info_by_fd(program.get(), &info, &size) != 0) return {};
  if (std::strcmp(info.name, name) != 0 || info.nr_map_ids > 4) return {};
  for (__u32 i = 0; i < info.nr_map_ids; ++i) {
    if (maps[i] == map_id) return link;
  }
  return {};
}

UniqueFd fitting_map(__u32 map_id) {
  UniqueFd map(bpf_map_get_fd_by_id(map_id));
  bpf_map_info info{};
  __u32 size = sizeof info;
  if (!map || bpf_obj_get_info_by_fd(map.get(), &info, &size) != 0) return {};
  if (std::strcmp(info.name, kMetersMap) != 0 || info.type != BPF_MAP_TYPE_HASH_OF_MAPS || info.key_size != 8) return {};
  return map;
}

template <typename Info>
__u32 object_id(int fd) {
  Info info{};
  __u32 size = sizeof info;
  return bpf_obj_get_info_by_fd(fd, &info, &size) == 0 ? info.id : 0;
}

}  // namespace

SharedPrograms::SharedPrograms(const std::string& registry_path) {
  libbpf_set_print(keep_warning);
  last_warning.clear();
  if (take_registered(registry_path)) return;
  load_and_attach();
  register_at(registry_path);
}

bool SharedPrograms::take_registered(const std::string& registry) {
  std::ifstream file(registry);
  __u32 sent_id = 0, received_id = 0, map_id = 0;
  if (!(file >> sent_id >> received_id >> map_id)) return false;
  meters_ = fitting_map(map_id);
  sent_ = fitting_link(sent_id, kSentProgram, map_id);
  received_ = fitting_link(received_id, kReceivedProgram, map_id);
  return meters_ && sent_ && received_;
}

void SharedPrograms::load_and_attach() {
  std::unique_ptr<traffic_meter_bpf, Unload> programs(traffic_meter_bpf__open());
  if (!programs) unavailable("can not open its programs", errno);
  if (const int error = traffic_meter_bpf__load(programs.get()); error != 0) {
    unavailable("the kernel does not load its programs", error);
  }
  if (const int error = traffic_meter_bpf__attach(programs.get()); error != 0) {
    unavailable("the kernel does not attach its programs", error);
  }
  // The links stay while these copies do, whatever becomes of the skeleton's own.
  sent_ = duplicate(bpf_link__fd(programs->links.zentra_sent));
  received_ = duplicate(bpf_link__fd(programs->links.zentra_received));
  meters_ = duplicate(bpf_map__fd(programs->maps.zentra_meters1));
  if (!sent_ || !received_ || !meters_) unavailable("can not keep its programs", errno);
}

// Written whole under a new name, then renamed over the old one: a job that reads it never
// sees half a line.
void SharedPrograms::register_at(const std::string& registry) const {
  const std::string line = std::to_string(object_id<bpf_link_info>(sent_.get())) + " " +
                           std::to_string(object_id<bpf_link_info>(received_.get())) + " " +
                           std::to_string(object_id<bpf_map_info>(meters_.get())) + "\n";
  const std::string temporary = registry + ".new";
  unlink(temporary.c_str());
  const UniqueFd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file || write(file.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
      rename(temporary.c_str(), registry.c_str()) != 0) {
    // The programs count for this job all the same; the next one loads its own.
    unlink(temporary.c_str());
  }
}

}  // namespace kelvor::meter
