#include "meter/job_cgroup.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace kelvor::meter {

using kelvor::sys::UniqueFd;

namespace {

constexpr const char* kHierarchies[] = {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"};
constexpr const char* kPrefix = "zentra.";
// The handle type of cgroup file systems: the 64-bit id itself.
constexpr int kKernfsHandle = 0xfe;

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// The cgroup v2 hierarchy's root, opened as a directory.
UniqueFd open_hierarchy() {
  for (const char* path : kHierarchies) {
    struct statfs fs {};
    if (statfs(path, &fs) == 0 && fs.f_type == CGROUP2_SUPER_MAGIC) {
      UniqueFd root(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
      if (!root) throw MeterUnavailable(failure(std::string("can not open ") + path));
      return root;
    }
  }
  throw MeterUnavailable("no cgroup v2 hierarchy at /sys/fs/cgroup or /sys/fs/cgroup/unified");
}

// This process's cgroup v2, below the hierarchy's root ("" for the root itself).
std::string own_cgroup() {
  std::ifstream file("/proc/self/cgroup");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("0::/", 0) == 0) return line.substr(4);
  }
  throw MeterUnavailable("this process is in no cgroup v2");
}

UniqueFd open_directory(int at, const std::string& path) {
  if (path.empty()) return UniqueFd(fcntl(at, F_DUPFD_CLOEXEC, 0));
  return UniqueFd(openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
}

// Empty cgroups that earlier jobs of this name left ("<name>" and "<name>.<pid>") go; one
// still holding processes refuses, and stays.
void remove_leftovers(int parent, const std::string& name) {
  const int listing = fcntl(parent, F_DUPFD_CLOEXEC, 0);
  DIR* dir = listing < 0 ? nullptr : fdopendir(listing);
  if (!dir) {
    if (listing >= 0) close(listing);
    return;  // nothing swept: a name still taken gets the pid below
  }
  for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
    const std::string found = entry->d_name;
    if (found == name || found.rfind(name + ".", 0) == 0) unlinkat(parent, found.c_str(), AT_REMOVEDIR);
  }
  closedir(dir);
}

// A cgroup's file handle: its 64-bit id is the whole of it.
struct CgroupHandle {
  file_handle handle;
  std::uint64_t id;

  explicit CgroupHandle(std::uint64_t cgroup = 0) : handle{}, id{} {
    handle.handle_bytes = sizeof id;
    handle.handle_type = kKernfsHandle;
    std::memcpy(handle.f_handle, &cgroup, sizeof cgroup);
  }
  std::uint64_t cgroup() const noexcept {
    std::uint64_t value;
    std::memcpy(&value, handle.f_handle, sizeof value);
    return value;
  }
};

std::uint64_t cgroup_id(int parent, const std::string& name) {
  CgroupHandle found;
  int mount_id = 0;
  if (name_to_handle_at(parent, name.c_str(), &found.handle, &mount_id, 0) != 0 ||
      found.handle.handle_bytes != sizeof found.id) {
    throw MeterUnavailable(failure("can not read the id of cgroup " + name));
  }
  return found.cgroup();
}

}  // namespace

JobCgroup::JobCgroup(const std::string& name) : root_(open_hierarchy()) {
  const std::string own = own_cgroup();
  const UniqueFd parent = open_directory(root_.get(), own);
  if (!parent) throw MeterUnavailable(failure("can not open this process's cgroup /" + own));
  std::string leaf = kPrefix + name;
  remove_leftovers(parent.get(), leaf);
  const std::string where = own.empty() ? "/" : "/" + own + "/";
  if (mkdirat(parent.get(), leaf.c_str(), 0755) != 0) {
    if (errno != EEXIST) throw MeterUnavailable(failure("can not make cgroup " + where + leaf));
    leaf += "." + std::to_string(getpid());
    if (mkdirat(parent.get(), leaf.c_str(), 0755) != 0) throw MeterUnavailable(failure("can not make cgroup " + where + leaf));
  }
  path_ = where + leaf;
  const UniqueFd cgroup = open_directory(parent.get(), leaf);
  if (!cgroup) throw MeterUnavailable(failure("can not open cgroup " + path_));
  id_ = cgroup_id(parent.get(), leaf);
  procs_.reset(openat(cgroup.get(), "cgroup.procs", O_WRONLY | O_CLOEXEC));
  if (!procs_) throw MeterUnavailable(failure("can not open " + path_ + "/cgroup.procs"));
}

bool JobCgroup::still_exists(std::uint64_t id) const noexcept {
  CgroupHandle wanted(id);
  const UniqueFd found(open_by_handle_at(root_.get(), &wanted.handle, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Only a stale handle says it is gone; any other failure keeps it.
  return found || errno != ESTALE;
}

bool join_cgroup(int procs_fd) noexcept {
  ssize_t written;
  do written = write(procs_fd, "0", 1);
  while (written < 0 && errno == EINTR);
  return written == 1;
}

}  // namespace kelvor::meter
