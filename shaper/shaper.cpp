// shaper: starts a program with the statistics library preloaded.
//   shaper -g -l LIBRARY -o FILE -- PROGRAM [ARG...]          game server regime
//   shaper -s -d DIR -l LIBRARY -o FILE -- PROGRAM [ARG...]   Steam updater regime, game in DIR
// The program replaces the launcher: same standard streams, working directory, user and pid,
// and its exit status is the launcher's. LIBRARY may be of either ELF class; a library of the
// other class is taken from beside it ("libstatistics32.so.1.0.0" or "libstatistics64.so.1.0.0").
// A statically linked program, which no preload reaches, runs only where a kernel meter counts
// the launcher's cgroup (ZENTRA_KERNEL_METER=1); it then inherits the statistics FILE, held
// open for writing as the library would hold it, so that the job sees it start and end.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "exec_class.h"

namespace {

constexpr int kUncountable = 1;    // statically linked, and no kernel meter counts it
constexpr int kUsageStatus = 2;    // malformed command line or unusable library
constexpr int kCannotRun = 126;    // the program exists but cannot be run counted
constexpr int kNotFound = 127;     // the program does not exist
// Set to "1" by a job whose kernel meter counts the launcher's cgroup.
constexpr char kKernelMeterVar[] = "ZENTRA_KERNEL_METER";
constexpr int kHeldStatisticsFloor = 100;

struct Options {
  std::string regime;  // "game" or "steam"
  std::optional<std::string> game_dir;
  std::string library;
  std::string stat_file;
  std::vector<char*> command;  // NULL-terminated
};

struct Libraries {
  std::optional<std::string> lib32, lib64;
};

[[noreturn]] void fail(int status, const std::string& message) {
  std::fprintf(stderr, "shaper: %s\n", message.c_str());
  std::exit(status);
}

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "shaper: %s\nusage: shaper (-g | -s -d DIR) -l LIBRARY -o FILE -- PROGRAM [ARG...]\n",
               problem.c_str());
  std::exit(kUsageStatus);
}

// The value after option `name` at argv[i]; advances i past it.
std::string option_value(int argc, char** argv, int& i) {
  const std::string name = argv[i];
  if (i + 1 >= argc) usage("option " + name + " needs a value");
  return argv[++i];
}

void set_regime(Options& options, const std::string& regime) {
  if (!options.regime.empty() && options.regime != regime) usage("-g and -s exclude each other");
  options.regime = regime;
}

void check_complete(const Options& options) {
  if (options.regime.empty()) usage("one of -g and -s is required");
  if (options.regime == "steam" && !options.game_dir) usage("-s needs -d DIR");
  if (options.regime == "game" && options.game_dir) usage("-d goes only with -s");
  if (options.library.empty()) usage("-l LIBRARY is required");
  if (options.stat_file.empty()) usage("-o FILE is required");
  if (options.command.size() < 2) usage("no program after --");
}

Options parse(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "-g") set_regime(options, "game");
    else if (arg == "-s") set_regime(options, "steam");
    else if (arg == "-d") options.game_dir = option_value(argc, argv, i);
    else if (arg == "-l") options.library = option_value(argc, argv, i);
    else if (arg == "-o") options.stat_file = option_value(argc, argv, i);
    else usage("unknown argument " + arg);
  }
  if (i >= argc) usage("missing -- before the program");
  for (++i; i < argc; ++i) options.command.push_back(argv[i]);
  options.command.push_back(nullptr);
  check_complete(options);
  return options;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Absolute, so that every program of the chain finds it whatever its working directory.
std::string absolute_library(const std::string& path) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved))
    fail(kUsageStatus, "cannot use the statistics library " + path + ": " + std::strerror(errno));
  return resolved;
}

Libraries find_libraries(const std::string& given) {
  const std::string library = absolute_library(given);
  const std::string dir = directory_of(library);
  Libraries found;
  for (const std::string& candidate :
       {library, dir + "/libstatistics32.so.1.0.0", dir + "/libstatistics64.so.1.0.0"}) {
    const int elf_class = access(candidate.c_str(), R_OK) == 0 ? program_class(candidate.c_str()) : 0;
    auto& slot = elf_class == 32 ? found.lib32 : found.lib64;
    if (elf_class && !slot) slot = candidate;
  }
  if (!found.lib32 && !found.lib64) fail(kUsageStatus, given + " is not a shared library");
  return found;
}

void set_or_unset(const char* name, const std::optional<std::string>& value) {
  if (value) setenv(name, value->c_str(), 1);
  else unsetenv(name);
}

// LD_PRELOAD for the program: its own class's library, or both when its class is unknown.
std::string preload_for(const Libraries& libraries, const std::string& program) {
  char found[PATH_MAX];
  const int elf_class = program_class(search_path(program.c_str(), found, sizeof found));
  const auto& own = elf_class == 32 ? libraries.lib32 : libraries.lib64;
  const auto& other = elf_class == 32 ? libraries.lib64 : libraries.lib32;
  if (elf_class && !own)
    fail(kCannotRun, "no " + std::to_string(elf_class) + "-bit statistics library to run " +
                         program + " with");
  const std::string& first = own ? *own : *other;
  const char* second = !elf_class && own && other ? other->c_str() : nullptr;
  const char* drop = elf_class && other ? other->c_str() : nullptr;
  const char* old = std::getenv("LD_PRELOAD");
  std::vector<char> value(first.size() + (second ? std::strlen(second) : 0) +
                          (old ? std::strlen(old) : 0) + 3);
  compose_preload(old, first.c_str(), second, drop, value.data(), value.size());
  return value.data();
}

// Every program of the chain opens the file again, wherever a start script has gone meanwhile.
std::string absolute_file(const std::string& path) {
  if (path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) fail(kUsageStatus, std::string("getcwd: ") + std::strerror(errno));
  return std::string(cwd) + "/" + path;
}

void prepare_environment(const Options& options, const Libraries& libraries) {
  setenv("ZENTRA_STAT_REGIME", options.regime.c_str(), 1);
  if (options.game_dir) setenv("ZENTRA_STAT_GAME_DIR", options.game_dir->c_str(), 1);
  setenv("ZENTRA_STAT_FILE", absolute_file(options.stat_file).c_str(), 1);
  set_or_unset(STAT_LIB32_VAR, libraries.lib32);
  set_or_unset(STAT_LIB64_VAR, libraries.lib64);
  setenv("LD_PRELOAD", preload_for(libraries, options.command[0]).c_str(), 1);
}

// Whether the job's kernel meter counts this launcher's cgroup. The variable is the
// launcher's alone: the program never sees it.
bool take_kernel_meter() {
  const char* value = std::getenv(kKernelMeterVar);
  const bool metered = value && std::strcmp(value, "1") == 0;
  unsetenv(kKernelMeterVar);
  return metered;
}

// Why the library cannot be loaded into `program` (a statically linked one, or a script whose
// interpreter is one), or "" when it can.
std::string uncountable(const std::string& program) {
  char found[PATH_MAX], interpreter[EXEC_HEAD_SIZE];
  const char* path = search_path(program.c_str(), found, sizeof found);
  const std::string why = "statically linked: the statistics library can not count its traffic";
  if (is_static_executable(path)) return program + " is " + why;
  if (script_interpreter(path, interpreter) && is_static_executable(interpreter))
    return program + " runs " + interpreter + ", which is " + why;
  return "";
}

// A metered program that the library cannot be loaded into still holds the statistics file
// open while it runs, as the library would: the job sees it start, and end.
void hold_statistics_file(const std::string& stat_file) {
  const int fd = open(stat_file.c_str(), O_WRONLY | O_CLOEXEC);
  // Out of the way of the numbers that start scripts redirect by hand, and kept across exec.
  if (fd < 0 || fcntl(fd, F_DUPFD, kHeldStatisticsFloor) < 0) {
    fail(kUncountable, "cannot open " + stat_file + ": " + std::strerror(errno));
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  const Libraries libraries = find_libraries(options.library);
  const std::string reason = uncountable(options.command[0]);
  if (!take_kernel_meter()) {
    if (!reason.empty()) fail(kUncountable, reason);
  } else if (!reason.empty()) {
    hold_statistics_file(options.stat_file);
  }
  prepare_environment(options, libraries);
  execvp(options.command[0], options.command.data());
  const int error = errno;
  fail(error == ENOENT ? kNotFound : kCannotRun,
       std::string("cannot run ") + options.command[0] + ": " + std::strerror(error));
}
