// Status queries of the install record in hosts of both ELF classes and both file-offset sizes,
// and the 32-bit game servers behind the launcher. i386 hosts run under qemu-i386-static: the
// kernel here does not execute them itself.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/libstatistics/host_run.h"

namespace statistics_test {
namespace {

using Records = std::vector<Record>;

const char kQemu[] = "/usr/bin/qemu-i386-static";

bool is_32bit(const std::string& name) { return name.find("32") != std::string::npos; }

// The command line that runs a host of either class directly.
std::vector<std::string> host_command(const std::string& name, std::vector<std::string> commands) {
  std::vector<std::string> argv;
  if (is_32bit(name)) argv.push_back(kQemu);
  argv.push_back(host(name));
  argv.insert(argv.end(), commands.begin(), commands.end());
  return argv;
}

class StatusQueries : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (is_32bit(GetParam()) && access(kQemu, X_OK) != 0)
      GTEST_SKIP() << "qemu-i386-static is not installed: no way to run i386 hosts here";
  }
  HostRun query(const std::string& regime, const std::vector<std::string>& commands) {
    const std::string library = is_32bit(GetParam()) ? lib32() : lib64();
    return run_host(fifo, host_command(GetParam(), commands),
                    preload_env(fifo, library, regime, fifo.dir() + "/game//cs/"));
  }
  std::vector<std::string> commands() const {
    const std::string cs = fifo.dir() + "/game/cs";
    const std::string record = cs + "/InstallRecord.blob";
    return {// each of these is one query of a record within the game directory
            "stat", record, "stat64", record, "fstatat", record, "statx", record, "xstat", record,
            "xstat64", record, "stat", fifo.dir() + "//game/cs/sub/InstallRecord.blob",
            // and none of these is
            "lstat", record, "fstatat-nofollow", record, "stat", fifo.dir() + "/game/cstrike/InstallRecord.blob",
            "stat", "game/cs/InstallRecord.blob", "stat", cs + "/InstallRecord.blobs", "stat",
            cs + "/MyInstallRecord.blob", "stat", fifo.dir() + "/game/InstallRecord.blob"};
  }
  StatisticsFifo fifo;
};

TEST_P(StatusQueries, OneFileRecordPerQueryWithinTheGameDirectory) {
  const auto run = query("steam", commands());
  EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
  EXPECT_EQ(run.records, Records(7, file_record()));
}

TEST_P(StatusQueries, NoneInTheGameRegime) {
  const auto run = query("game", commands());
  EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
  EXPECT_EQ(run.records, Records{});
}

TEST_P(StatusQueries, TrafficIsCountedLikeInANativeHost) {
  const auto run = query("game", {"tcp", "send", "10239", "write", "recv", "20000", "recv_chk",
                                  "udp", "send", "1000", "sendmmsg", "recv", "1000", "recvmsg"});
  EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
  EXPECT_EQ(run.traffic(), 10239 + 20000 + 2000);
  // The remainder below the threshold also when the host leaves without exit handlers.
  for (const std::string how : {"_exit", "_Exit"}) {
    const auto left = query("game", {"tcp", "send", "3000", "write", "leave", how, "7"});
    EXPECT_EQ(left.result.status, 7) << how << left.result.out << left.result.err;
    EXPECT_EQ(left.traffic(), 3000) << how;
  }
}

INSTANTIATE_TEST_SUITE_P(Hosts, StatusQueries,
                         ::testing::Values("statistics_host", "statistics_host_lfs",
                                           "statistics_host32", "statistics_host32_lfs",
                                           "statistics_host32_t64"));

// A system user's home: the launcher with the libraries of both classes, as installed.
class I386Launcher : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    fs::copy_file(lib64(), fifo.dir() + "/libstatistics.so.1.0.0");
    if (with_lib32) fs::copy_file(lib32(), fifo.dir() + "/libstatistics32.so.1.0.0");
  }
  // Runs the launcher where i386 programs start through qemu; skips where that is impossible.
  HostRun launch(const std::vector<std::string>& command) {
    std::vector<std::string> argv = {WITH_I386_BINFMT, shaper(), "-g", "-l",
                                     fifo.dir() + "/libstatistics.so.1.0.0", "-o", fifo.path(), "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    return run_host(fifo, argv, {});
  }
  bool with_lib32 = true;
  StatisticsFifo fifo;
};

#define SKIP_WITHOUT_BINFMT(run)                                                           \
  if ((run).result.status == 77)                                                           \
  GTEST_SKIP() << "no private binfmt_misc for qemu-i386-static here (needs user namespaces " \
                  "and a kernel of 6.7 or later): i386 programs cannot be started by exec"

TEST_F(I386Launcher, AStartScriptRunsA32BitServerCounted) {
  const auto run = launch({"/bin/sh", "-c", "exec " + host("statistics_host32") + " tcp send 20000 write"});
  SKIP_WITHOUT_BINFMT(run);
  EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
  EXPECT_EQ(run.records, Records{traffic(20000)});
  EXPECT_EQ(run.result.err, "");  // no loader complaint about the other class
}

TEST_F(I386Launcher, EachProgramOfTheChainGetsItsOwnClass) {
  const std::string back = "exec " + host("statistics_host") + " tcp send 6000 write";
  const auto run = launch({host("statistics_host32"), "tcp", "send", "5000", "write", "exec",
                           "/bin/sh", "-c", back});
  SKIP_WITHOUT_BINFMT(run);
  EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
  // What the 32-bit program counted is reported before it is replaced.
  EXPECT_EQ(run.records, (Records{traffic(5000), traffic(6000)}));
  EXPECT_EQ(run.result.err, "");
}

TEST_F(I386Launcher, AnExecOfAnOpenProgramGetsItsOwnClass) {
  const auto run = launch({host("statistics_host"), "tcp", "send", "5000", "write", "fexecve",
                           host("statistics_host32"), "tcp", "send", "6000", "write"});
  SKIP_WITHOUT_BINFMT(run);
  EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
  EXPECT_EQ(run.records, (Records{traffic(5000), traffic(6000)}));
  EXPECT_EQ(run.result.err, "");
}

class I386LauncherWithoutLibrary : public I386Launcher {
 protected:
  I386LauncherWithoutLibrary() { with_lib32 = false; }
};

TEST_F(I386LauncherWithoutLibrary, RefusesToRunA32BitProgramUncounted) {
  const auto direct = launch({host("statistics_host32"), "echo", "ran"});
  SKIP_WITHOUT_BINFMT(direct);
  EXPECT_EQ(direct.result.status, 126);
  EXPECT_NE(direct.result.err.find("no 32-bit statistics library"), std::string::npos) << direct.result.err;

  const auto chained = launch({"/bin/sh", "-c", "exec " + host("statistics_host32") + " echo ran"});
  EXPECT_NE(chained.result.status, 0);
  EXPECT_EQ(chained.result.out, "");
  EXPECT_NE(chained.result.err.find("statistics: No statistics library for the ELF class of"),
            std::string::npos)
      << chained.result.err;
}

// Refused before it would run: no emulator is needed to see it.
TEST(I386StaticHost, IsRefusedWhereNoKernelMeterCountsIt) {
  StatisticsFifo fifo;
  const std::string program = host("statistics_host32_static");
  const auto run = zentra_test::run_program(
      {shaper(), "-g", "-l", lib64(), "-o", fifo.path(), "--", program, "echo", "ran"}, "", {}, 30);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "shaper: " + program +
                         " is statically linked: the statistics library can not count its traffic\n");
}

}  // namespace
}  // namespace statistics_test
