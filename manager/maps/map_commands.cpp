// Commands that list, install and remove maps and manage a server's map cycle.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "manager/commands.h"
#include "manager/common/file_checks.h"
#include "manager/common/programs.h"
#include "manager/users/system_user.h"
#include "manager/users/user_files.h"
#include "sys/unique_fd.h"
#include "sys/errors.h"
#include "sys/pipeline.h"
#include "sys/read_output.h"
#include "sys/redirect.h"

using kelvor::sys::TExec;

namespace {

std::string maps_dir(const std::string& cs_dir, const std::string& game) { return cs_dir + "/" + game + "/maps/"; }

std::string map_cycle(const std::string& cs_dir, const std::string& game, const std::string& game_id) {
  return cs_dir + "/" + game + "/mapcycle_" + game_id + ".txt";
}

// A map file alone is named "<map>.bsp"; ".bsp" by itself is no map name.
bool is_single_map(const std::string& name) { return name.size() >= 5 && name.ends_with(".bsp"); }

void install_single_map(const std::string& cs_dir, const SystemUser& user, const std::string& file,
                        const std::string& name) {
  const std::string target = cs_dir + "/" + (name.size() >= 8 && name.ends_with("_cs.bsp") ? "czero" : "cstrike") + "/maps/";
  make_directories(target);
  copy_as_user(file, target + name, user);
  as_user(program({"chown", user.name, target + name}), user).run();
}

// A private directory in /tmp for one archive, given to the account that unpacks it and
// removed, whatever the archive held, on every way out.
class UnpackDir {
public:
  explicit UnpackDir(const SystemUser& user) : path_("/tmp/cs_XXXXXX") {
    if (mkdtemp(path_.data()) == nullptr) throw TUError("Can not create temporary directory");
    // Only root could have replaced what mkdtemp just made in the sticky /tmp.
    if (lchown(path_.c_str(), user.uid, user.gid) != 0) {
      remove();
      throw TUError("Can not create temporary directory");
    }
  }
  UnpackDir(const UnpackDir&) = delete;
  UnpackDir& operator=(const UnpackDir&) = delete;
  ~UnpackDir() { remove(); }

  std::string archive() const { return path_ + "/upload.zip"; }
  std::string files() const { return path_ + "/files"; }

private:
  // rm -rf follows no link, and as root it also clears what the archive left unwritable.
  void remove() noexcept {
    try {
      program({"rm", "-rf", path_}).run();
    } catch (...) {
      // The directory stays; nothing else is at stake.
    }
  }

  std::string path_;
};

struct ArchiveLayout {
  const char* entry;  // searched for in the listing of the archive's top level
  const char* game;
  bool game_tree;  // a whole game directory, else loose files for its maps directory
};

// The first row whose text appears anywhere in the listing decides.
const ArchiveLayout kArchiveLayouts[] = {
    {"cstrike\n", "cstrike", true},
    {"czero\n", "czero", true},
    {"_cz.bsp\n", "czero", false},
    {".bsp\n", "cstrike", false},
};

// What an archive may unpack to in /tmp, which may be memory: the sizes its directory
// declares for its entries, in total, and their number.
constexpr unsigned long long kArchiveSizeLimit = 256ULL << 20;
constexpr unsigned long long kArchiveEntryLimit = 2048;

// Whether the archive's directory, read as the account, declares no more than the limits
// allow; false too for an archive whose directory cannot be read.
bool archive_within_limits(const std::string& archive, const SystemUser& user) {
  std::string summary;  // "2 files, 1234 bytes uncompressed, 567 bytes compressed:  54.1%"
  kelvor::sys::read_output(as_user(program({"unzip", "-Z", "-t", archive}), user), summary);
  unsigned long long entries = 0, bytes = 0;
  const size_t sizes = summary.find(", ");
  if (std::sscanf(summary.c_str(), "%llu file", &entries) != 1 || sizes == std::string::npos ||
      std::sscanf(summary.c_str() + sizes + 2, "%llu bytes uncompressed", &bytes) != 1)
    return false;
  return entries <= kArchiveEntryLimit && bytes <= kArchiveSizeLimit;
}

// Whether what the archive's data really unpacks to stays within the size limit, as unzip
// writes what the data holds whatever the directory declares: inflated once as the account
// into a pipe and counted, no further than just past the limit.
bool archive_content_within_limit(const std::string& archive, const SystemUser& user) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw kelvor::sys::TSysCallErr(errno);
  const kelvor::sys::UniqueFd read_end(ends[0]);
  pid_t unzip = -1;
  {
    const kelvor::sys::UniqueFd write_end(ends[1]);
    TExec inflate = kelvor::sys::redirect(as_user(program({"unzip", "-p", archive}), user), STDOUT_FILENO, ends[1]);
    unzip = (inflate & ~TExec::WAIT).run().pid;
  }
  unsigned long long bytes = 0;
  char buffer[1 << 16];
  for (ssize_t n = 0; bytes <= kArchiveSizeLimit && (n = read(read_end.get(), buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno != EINTR) break;
    if (n > 0) bytes += static_cast<unsigned long long>(n);
  }
  if (unzip > 0) kill(unzip, SIGKILL);  // the rest is not wanted; it may be huge
  int status = 0;
  while (unzip > 0 && waitpid(unzip, &status, 0) < 0 && errno == EINTR) {
  }
  return bytes <= kArchiveSizeLimit;
}

// Everything of `dir` is the account's once the archive is in; what root owns there is
// handed over first, so that the account's copy replaces it rather than fail on it.
void hand_over_existing(const std::string& dir, const SystemUser& user) {
  if (!name_taken(dir)) return;
  try {
    chown_tree(dir, user.name);
  } catch (const TUError&) {
    // The copy says what it could not replace.
  }
}

void install_map_archive(const std::string& cs_dir, const SystemUser& user, const std::string& file) {
  UnpackDir dir(user);
  copy_as_user(file, dir.archive(), user);
  if (!archive_within_limits(dir.archive(), user) || !archive_content_within_limit(dir.archive(), user) ||
      as_user(program({"unzip", dir.archive(), "-d", dir.files()}), user).run().status != 0)
    throw TUError("Unzip was failed");
  std::string listing;
  kelvor::sys::read_output(as_user(program({"ls", "-1", dir.files()}), user), listing);
  for (const ArchiveLayout& layout : kArchiveLayouts) {
    if (listing.find(layout.entry) == std::string::npos) continue;
    const std::string game = layout.game;
    if (layout.game_tree) {
      make_directories(cs_dir + "/" + game);
      hand_over_existing(cs_dir + "/" + game, user);
      as_user(program({"cp", "-R", dir.files() + "/" + game, cs_dir}), user).run();
      as_user(program({"chown", "-R", user.name, cs_dir + "/" + game + "/"}), user).run();
    } else {
      const std::string maps = cs_dir + "/" + game + "/maps/";
      hand_over_existing(maps, user);
      as_user(program({"find", dir.files(), "-type", "f", "-name", "*.*", "-exec", "cp", "{}", maps, ";"}), user).run();
      as_user(program({"chown", "-R", user.name, maps}), user).run();
    }
    return;
  }
  throw TUError("Can not recognize map archive");
}

// The account that could plant a link on the way to the maps, whose rights root then works with.
std::optional<SystemUser> owner_on_the_way_to_maps(const std::string& cs_dir, const std::string& game) {
  return account_on_the_way(maps_dir(cs_dir, game));
}

}  // namespace

bool maps_list(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game = options["game"];
  // Listed as the account that could have planted a link on the way, so root's rights show
  // no other directory. A literal ".bsp" at the end only: "de_bsp_arena.bsp" is the map.
  TExec ls = program({"ls", "-1", maps_dir(cs_dir, game)});
  if (const std::optional<SystemUser> owner = owner_on_the_way_to_maps(cs_dir, game)) ls = as_user(ls, *owner);
  run(ls | program({"grep", "\\.bsp$"}) |
      program({"sed", "s/\\.bsp$//"}));
  return true;
}

bool game_maps(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game = options["game"];
  const std::string game_id = options["game-id"];
  const std::string own = map_cycle(cs_dir, game, game_id);
  show_user_file(exists(own) ? own : cs_dir + "/" + game + "/mapcycle.txt");
  return true;
}

bool set_game_maps(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string sys_user = options["sys-user"];
  const std::string game = options["game"];
  const std::string game_id = options["game-id"];
  const std::string file = options["file"];
  const SystemUser user = system_user_to_run_as(sys_user);
  const std::string cycle = map_cycle(cs_dir, game, game_id);
  copy_as_user(file, cycle, user);
  as_user(program({"chown", sys_user, cycle}), user).run();
  return true;
}

bool install_map(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string sys_user = options["sys-user"];
  const std::string file = options["file"];
  const std::string uploadfile_name = options["uploadfile-name"];
  const SystemUser user = system_user_to_run_as(sys_user);
  if (is_single_map(uploadfile_name))
    install_single_map(cs_dir, user, file, uploadfile_name);
  else
    install_map_archive(cs_dir, user, file);
  return true;
}

bool remove_map(const OptionValues& options) {
  const std::string cs_dir = options["cs-dir"];
  const std::string game = options["game"];
  const std::string map_name = options["map-name"];
  TExec find =
      program({"find", maps_dir(cs_dir, game), "-type", "f", "-name", map_name + ".*", "-exec", "rm", "-f", "{}", ";"});
  // Deleting as that account, a link it planted leads to nothing it could not delete itself.
  if (const std::optional<SystemUser> owner = owner_on_the_way_to_maps(cs_dir, game)) find = as_user(find, *owner);
  find.run();
  return true;
}
