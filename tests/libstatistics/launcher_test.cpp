// The launcher: what the manager relies on when it starts a host behind it.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/libstatistics/host_run.h"

namespace statistics_test {
namespace {

using Records = std::vector<Record>;

class Launcher : public ::testing::Test {
 protected:
  std::vector<std::string> game_regime(std::vector<std::string> command) {
    std::vector<std::string> argv = {shaper(), "-g", "-l", lib64(), "-o", fifo.path(), "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
  }
  // A system user's home with the libraries of both classes side by side, as installed;
  // returns the path to give after -l.
  std::string home_with_both_libraries() {
    namespace fs = std::filesystem;
    const std::string home = fifo.dir() + "/home";
    fs::create_directory(home);
    fs::copy_file(lib64(), home + "/libstatistics.so.1.0.0");
    if (!lib32().empty()) fs::copy_file(lib32(), home + "/libstatistics32.so.1.0.0");
    return home + "/libstatistics.so.1.0.0";
  }
  StatisticsFifo fifo;
};

TEST_F(Launcher, RunsTheProgramCountedWithItsArgumentsStreamsAndStatus) {
  const auto run = run_host(fifo, game_regime({host("statistics_host"), "echo", "two words", "tcp",
                                               "send", "12000", "write", "exit", "7"}),
                            {});
  EXPECT_EQ(run.result.status, 7);
  EXPECT_EQ(run.result.out, "two words\ntcp=1\nsend=12000\n");
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.records, Records{traffic(12000)});
}

TEST_F(Launcher, FindsTheProgramInPathAndKeepsTheWorkingDirectory) {
  const auto run = run_host(fifo, game_regime({"sh", "-c", "pwd"}), {});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  char cwd[4096];
  EXPECT_EQ(run.result.out, std::string(getcwd(cwd, sizeof cwd)) + "\n");
}

TEST_F(Launcher, CountsTheProgramsThatAStartScriptRuns) {
  const std::string script = "exec " + host("statistics_host") + " tcp send 20000 write";
  const auto run = run_host(fifo, game_regime({"/bin/sh", "-c", script}), {});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.records, Records{traffic(20000)});
  EXPECT_EQ(run.result.err, "");
}

TEST_F(Launcher, SteamRegimeWatchesTheGameDirectory) {
  const std::string dir = fifo.dir() + "/cstrike";
  const auto run = run_host(fifo,
                            {shaper(), "-s", "-d", dir, "-l", lib64(), "-o", fifo.path(), "--",
                             host("statistics_host"), "stat", dir + "/InstallRecord.blob", "stat",
                             fifo.dir() + "/InstallRecord.blob"},
                            {});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.records, Records{file_record()});
}

TEST_F(Launcher, ARelativeStatisticsFileHoldsAfterTheProgramChangesDirectory) {
  const std::string inner = "cd / && exec " + host("statistics_host") + " tcp send 20000 write";
  const std::string outer = "cd " + fifo.dir() + " && exec " + shaper() + " -g -l " + lib64() +
                            " -o statistics.pipe -- /bin/sh -c '" + inner + "'";
  const auto run = run_host(fifo, {"/bin/sh", "-c", outer}, {});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.records, Records{traffic(20000)});
}

// With the libraries of both classes side by side, as in a system user's home, every kind of
// exec hands the new program its own class's library alone: no loader complaint, all counted.
TEST_F(Launcher, EveryKindOfExecKeepsTheChainCountedAndQuiet) {
  const std::string library = home_with_both_libraries();
  const auto run = run_host(
      fifo,
      {shaper(), "-g", "-l", library, "-o", fifo.path(), "--",
       "statistics_host", "tcp", "send", "3000", "write", "execvp", "statistics_host", "tcp",
       "send", "4000", "write", "spawn", "/bin/sh", "-c",
       "exec " + host("statistics_host") + " tcp send 5000 write"},
      {"PATH=" + std::string(HOST_DIR) + ":/usr/bin:/bin"});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_NE(run.result.out.find("spawned=0"), std::string::npos) << run.result.out;
  EXPECT_EQ(run.result.err, "");
  // Counted bytes are reported before an exec replaces the program that counted them.
  EXPECT_EQ(run.records, (Records{traffic(3000), traffic(5000), traffic(4000)}));
}

// The same for an exec through an argument list, which libc carries out internally.
TEST_F(Launcher, AnExecThroughAnArgumentListKeepsTheChainCountedAndQuiet) {
  const std::string library = home_with_both_libraries();
  const auto run = run_host(
      fifo,
      {shaper(), "-g", "-l", library, "-o", fifo.path(), "--",
       host("statistics_host"), "tcp", "send", "3000", "write", "execl", "/bin/sh", "-c",
       "exec " + host("statistics_host") + " tcp send 4000 write"},
      {});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.records, (Records{traffic(3000), traffic(4000)}));
}

// The shell that system and popen start inside libc gets its own class's library alone too.
TEST_F(Launcher, TheShellOfSystemAndPopenIsCountedAndQuiet) {
  const std::string library = home_with_both_libraries();
  const std::string h = host("statistics_host");
  const auto run = run_host(fifo,
                            {shaper(), "-g", "-l", library, "-o",
                             fifo.path(), "--", h, "system", "exec " + h + " tcp send 3000 write",
                             "popen", "exec " + h + " tcp send 4000 write"},
                            {});
  EXPECT_NE(run.result.out.find("system=0"), std::string::npos) << run.result.out;
  EXPECT_NE(run.result.out.find("pclose=0"), std::string::npos) << run.result.out;
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.records, (Records{traffic(3000), traffic(4000)}));
}

// The variable that says a kernel meter counts the launcher, in the forms that say it does not.
const std::vector<std::vector<std::string>> kNoKernelMeter = {
    {}, {"ZENTRA_KERNEL_METER=0"}, {"ZENTRA_KERNEL_METER="}, {"ZENTRA_KERNEL_METER=1 "}};

std::string uncountable(const std::string& what) {
  return "shaper: " + what + "statically linked: the statistics library can not count its traffic\n";
}

// No preload reaches a statically linked program: only a kernel meter can count it.
TEST_F(Launcher, RunsAStaticallyLinkedProgramOnlyWhereAKernelMeterCountsIt) {
  for (const std::string name : {"statistics_host_static", "statistics_host_static_pie"}) {
    for (const auto& env : kNoKernelMeter) {
      const auto run = zentra_test::run_program(game_regime({host(name), "echo", "ran"}), "", env, 30);
      EXPECT_EQ(run.status, 1) << name << testing::PrintToString(env);
      EXPECT_EQ(run.err, uncountable(host(name) + " is "));
      EXPECT_EQ(run.out, "");
    }
    // It holds the statistics file open as the library would: its job sees it start and end.
    const auto run = run_host(fifo, game_regime({host(name), "echo", "ran", "getenv",
                                                 "ZENTRA_KERNEL_METER", "channels"}),
                              {"ZENTRA_KERNEL_METER=1"});
    EXPECT_EQ(run.result.status, 0) << name << run.result.err;
    EXPECT_EQ(run.result.out, "ran\nZENTRA_KERNEL_METER unset\nchannels=100\n");
  }
}

TEST_F(Launcher, AScriptIsJudgedByTheInterpreterItNames) {
  const std::string script = fifo.dir() + "/start";
  std::ofstream(script) << "#!" << host("statistics_host_static") << " echo\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  for (const auto& env : kNoKernelMeter) {
    const auto run = zentra_test::run_program(game_regime({script}), "", env, 30);
    EXPECT_EQ(run.status, 1) << testing::PrintToString(env);
    EXPECT_EQ(run.err, uncountable(script + " runs " + host("statistics_host_static") + ", which is "));
  }
  const auto run = run_host(fifo, game_regime({script}), {"ZENTRA_KERNEL_METER=1"});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.result.out, script + "\n");
}

// A program the library is loaded into runs counted whatever the variable says, never seeing it.
TEST_F(Launcher, ADynamicallyLinkedProgramRunsCountedWithOrWithoutAKernelMeter) {
  const std::string script = fifo.dir() + "/start";
  std::ofstream(script) << "#!/bin/sh\nexec " << host("statistics_host") << " \"$@\"\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  auto envs = kNoKernelMeter;
  envs.push_back({"ZENTRA_KERNEL_METER=1"});
  for (const std::string& program : {host("statistics_host"), script})
    for (const auto& env : envs) {
      const auto run = run_host(fifo, game_regime({program, "tcp", "send", "20000", "write",
                                                   "getenv", "ZENTRA_KERNEL_METER"}),
                                env);
      EXPECT_EQ(run.result.status, 0) << program << testing::PrintToString(env) << run.result.err;
      EXPECT_EQ(run.result.out, "tcp=1\nsend=20000\nZENTRA_KERNEL_METER unset\n");
      EXPECT_EQ(run.records, Records{traffic(20000)});
    }
}

TEST_F(Launcher, RejectsAMalformedCommandLine) {
  const std::string h = host("statistics_host");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-g", "-l", lib64(), "-o", fifo.path(), h},
      {"-s", "-l", lib64(), "-o", fifo.path(), "--", h},
      {"-g", "-s", "-d", "/x", "-l", lib64(), "-o", fifo.path(), "--", h},
      {"-g", "-d", "/x", "-l", lib64(), "-o", fifo.path(), "--", h},
      {"-g", "-o", fifo.path(), "--", h},
      {"-g", "-l", lib64(), "--", h},
      {"-g", "-l", lib64(), "-o", fifo.path(), "--"},
      {"-g", "-x", "-l", lib64(), "-o", fifo.path(), "--", h},
      {"-g", "-l", lib64(), "-o"},
      {"-g", "-l", fifo.dir() + "/none.so", "-o", fifo.path(), "--", h},
      {"-g", "-l", h + "/..", "-o", fifo.path(), "--", h},
  };
  for (auto args : cases) {
    args.insert(args.begin(), shaper());
    const auto run = zentra_test::run_program(args, "", {}, 30);
    EXPECT_EQ(run.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(run.err.rfind("shaper: ", 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(Launcher, AMissingProgramIsReported) {
  const auto run = zentra_test::run_program(
      {shaper(), "-g", "-l", lib64(), "-o", fifo.path(), "--", fifo.dir() + "/hlds_run"}, "", {}, 30);
  EXPECT_EQ(run.status, 127);
  EXPECT_NE(run.err.find("cannot run"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace statistics_test
