// The statistics library in a 64-bit host, observed through its records and the host's output.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/libstatistics/host_run.h"

namespace statistics_test {
namespace {

class Statistics : public ::testing::Test {
 protected:
  // Runs the 64-bit host with the library preloaded in the game regime.
  HostRun game(const std::vector<std::string>& commands, bool drop_reader = false) {
    std::vector<std::string> argv = {host("statistics_host")};
    argv.insert(argv.end(), commands.begin(), commands.end());
    return run_host(fifo, argv, preload_env(fifo, lib64()), drop_reader);
  }
  // A regular file of `size` bytes in the test's directory.
  std::string data_file(size_t size) {
    const std::string path = fifo.dir() + "/data";
    std::ofstream(path) << std::string(size, 'x');
    return path;
  }
  StatisticsFifo fifo;
};

using Records = std::vector<Record>;

TEST_F(Statistics, LoadFailuresStopTheHostBeforeItRuns) {
  const std::string missing = fifo.dir() + "/missing.pipe";
  struct Case {
    std::vector<std::string> env;
    std::string message;
  } cases[] = {
      {{"ZENTRA_STAT_FILE=" + fifo.path()}, "staistics: Failed to get statistics regime.\n"},
      {{"ZENTRA_STAT_REGIME=steam", "ZENTRA_STAT_FILE=" + missing},
       "staistics: Failed to get game directory.\n"},
      {{"ZENTRA_STAT_REGIME=Game", "ZENTRA_STAT_FILE=" + fifo.path()},
       "staistics: Failed to define statistics regime.\n"},
      {{"ZENTRA_STAT_REGIME=game ", "ZENTRA_STAT_FILE=" + fifo.path()},
       "staistics: Failed to define statistics regime.\n"},
      {{"ZENTRA_STAT_REGIME=game"}, "staistics: Failed to get statistics file.\n"},
      {{"ZENTRA_STAT_REGIME=game", "ZENTRA_STAT_FILE=" + missing},
       "staistics: Failed to open " + missing + " file.\n"},
  };
  for (const auto& c : cases) {
    auto env = c.env;
    env.push_back("LD_PRELOAD=" + lib64());
    const auto run = zentra_test::run_program({host("statistics_host"), "echo", "ran"}, "", env, 60);
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(Statistics, CallsFromLibrariesInitialisedEarlierReachLibc) {
  const auto run = run_host(fifo, {host("statistics_host_early"), "tcp", "send", "20000", "write"},
                            preload_env(fifo, lib64()));
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.result.out, "early\ntcp=1\nsend=20000\n");
  EXPECT_EQ(run.records, Records{traffic(20000)});
}

TEST_F(Statistics, RecordsAreWrittenAtTheThresholdWithTheWholeCount) {
  EXPECT_EQ(game({"tcp", "send", "10239", "write"}).records, Records{traffic(10239)});
  EXPECT_EQ(game({"tcp", "send", "10240", "write"}).records, Records{traffic(10240)});
  EXPECT_EQ(game({"tcp", "send", "50000", "send"}).records, Records{traffic(50000)});
  // Below the threshold nothing is written until the host ends.
  EXPECT_EQ(game({"tcp", "send", "10000", "write", "send", "240", "write", "send", "5", "write"})
                .records,
            (Records{traffic(10240), traffic(5)}));
}

TEST_F(Statistics, BothDirectionsOfTcpAndUdpAddIntoOneCount) {
  EXPECT_EQ(game({"tcp", "send", "3000", "write", "recv", "4000", "read"}).records,
            Records{traffic(7000)});
  EXPECT_EQ(game({"udp", "send", "2000", "sendto", "recv", "5000", "recvfrom"}).records,
            Records{traffic(7000)});
}

TEST_F(Statistics, EveryDataCallIsCounted) {
  std::vector<std::string> commands = {"tcp"};
  const char* sends[] = {"write", "send", "sendto", "writev", "sendmsg", "sendmmsg"};
  const char* recvs[] = {"read",     "recv",     "recvfrom", "readv",       "recvmsg",
                         "recvmmsg", "read_chk", "recv_chk", "recvfrom_chk"};
  for (const char* via : sends) commands.insert(commands.end(), {"send", "20000", via});
  for (const char* via : recvs) commands.insert(commands.end(), {"recv", "20000", via});
  const auto run = game(commands);
  EXPECT_EQ(run.result.status, 0) << run.result.out;
  EXPECT_EQ(run.traffic(), 15 * 20000);
  EXPECT_EQ(run.result.out.find("=-1"), std::string::npos) << run.result.out;
}

TEST_F(Statistics, TransfersBetweenASocketAndAFileOrPipeAreCountedAndCutOff) {
  const std::string file = data_file(20000);
  EXPECT_EQ(game({"tcp", "sendfile", file, "20000", "splice", "20000"}).records,
            (Records{traffic(20000), traffic(20000)}));
  const auto run = game({"ignore-sigpipe", "tcp", "await-no-reader", "send", "10240", "write",
                         "sendfile", file, "100", "splice", "100"},
                        /*drop_reader=*/true);
  EXPECT_NE(run.result.out.find("send=10240\nsendfile=-1\nsplice=-1\n"), std::string::npos)
      << run.result.out;
}

TEST_F(Statistics, PeekedBytesAreCountedWhenTheyAreTaken) {
  std::vector<std::string> commands = {"tcp"};
  for (const char* via : {"recv", "recvfrom", "recvmsg", "recvmmsg", "recv_chk", "recvfrom_chk"})
    commands.insert(commands.end(), {"peek", "1000", via});
  const auto run = game(commands);
  EXPECT_EQ(run.result.out.find("=-1"), std::string::npos) << run.result.out;
  EXPECT_EQ(run.records, Records{traffic(6000)});
}

TEST_F(Statistics, ADatagramReturnedOnTheErrorQueueIsNotCountedAgain) {
  const auto run = game({"udp", "errqueue", "5000"});
  // The kernel returns as much of the datagram as the error message quotes.
  EXPECT_NE(run.result.out.find("send=5000\nerrqueue="), std::string::npos) << run.result.out;
  EXPECT_EQ(run.result.out.find("errqueue=-1"), std::string::npos) << run.result.out;
  EXPECT_EQ(run.records, Records{traffic(5000)});
}

TEST_F(Statistics, UnixSocketsPipesAndFilesAreNeverCounted) {
  const std::string file = data_file(30000);
  EXPECT_EQ(game({"unix", "send", "20000", "write", "recv", "20000", "recv"}).records, Records{});
  EXPECT_EQ(game({"pipe", "send", "20000", "write"}).records, Records{});
  EXPECT_EQ(game({"file", file.c_str(), "read-fd", "c", "30000"}).records, Records{});
}

TEST_F(Statistics, DuplicatesOfCountedSocketsAreCounted) {
  EXPECT_EQ(game({"tcp", "dup", "send", "10240", "write"}).records, Records{traffic(10240)});
  EXPECT_EQ(game({"tcp", "dup2", "255", "send", "10240", "write"}).records,
            Records{traffic(10240)});
  EXPECT_EQ(game({"tcp", "dup3", "200", "send", "10240", "write"}).records,
            Records{traffic(10240)});
  EXPECT_EQ(game({"tcp", "fcntl-dup", "100", "send", "10240", "write"}).records,
            Records{traffic(10240)});
}

TEST_F(Statistics, ACountedSocketCannotMoveBeyondTheTable) {
  const auto run = game({"tcp", "dup2", "256", "fcntl-dup", "300", "send", "10240", "write"});
  EXPECT_NE(run.result.out.find("dup2=-1\nfcntl-dup=-1\nsend=10240\n"), std::string::npos)
      << run.result.out;
  EXPECT_EQ(run.records, Records{traffic(10240)});
}

TEST_F(Statistics, UncountedDescriptorsMayGoBeyondTheTable) {
  const std::string file = data_file(100);
  const auto run = game({"file", file.c_str(), "dup2", "256", "read-fd", "256", "100"});
  EXPECT_NE(run.result.out.find("dup2=256\nread-fd=100\n"), std::string::npos) << run.result.out;
}

TEST_F(Statistics, ANumberReusedByAFileLosesItsMark) {
  const std::string file = data_file(30000);
  // Duplicated onto a counted number, as a shell redirection does.
  EXPECT_EQ(game({"tcp", "dup2", "200", "open-onto", "200", file.c_str(), "read-fd", "200", "30000"})
                .records,
            Records{});
  // Closed, and the number handed out again.
  EXPECT_EQ(game({"tcp", "close", "file", file.c_str(), "read-fd", "c", "30000"}).records,
            Records{});
  // Closed with a range of others (whatever the host inherited closed first, so that the
  // file takes the lowest of the closed numbers).
  EXPECT_EQ(game({"close-all", "tcp", "close-range", "3", "50", "file", file.c_str(), "read-fd",
                  "c", "30000"})
                .records,
            Records{});
}

TEST_F(Statistics, TheHostCannotTakeTheStatisticsChannel) {
  const std::string file = data_file(100);
  // Closing every descriptor, as a daemon does, leaves the channel open.
  EXPECT_EQ(game({"close-all", "tcp", "send", "20000", "write"}).records, Records{traffic(20000)});
  EXPECT_EQ(game({"close-range", "3", "4000", "tcp", "send", "20000", "write"}).records,
            Records{traffic(20000)});
  EXPECT_EQ(game({"tcp", "closefrom", "3", "tcp", "send", "20000", "write"}).records,
            Records{traffic(20000)});
  // A redirection onto the channel's number gets the number; the channel moves elsewhere.
  for (const char* fd : {"100", "101"}) {
    const auto run = game({"open-onto", fd, file.c_str(), "read-fd", fd, "100", "tcp", "send",
                           "20000", "write"});
    EXPECT_NE(run.result.out.find("read-fd=100"), std::string::npos) << run.result.out;
    EXPECT_EQ(run.records, Records{traffic(20000)});
  }
}

TEST_F(Statistics, CutOffAfterTheReaderHasGone) {
  const std::string file = data_file(100);
  const auto run = game({"ignore-sigpipe", "file", file.c_str(), "keep", "open-onto", "300",
                         file.c_str(), "tcp", "await-no-reader", "send", "10240", "write", "send",
                         "100", "send", "recv", "100", "recv", "read-fd", "k", "100", "read-fd",
                         "300", "100"},
                        /*drop_reader=*/true);
  EXPECT_EQ(run.result.status, 0) << run.result.out;
  // The host's own call goes through; every later transfer on a counted socket is refused.
  EXPECT_NE(run.result.out.find("send=10240\nsend=-1\nrecv=-1\nread-fd=100\nread-fd=-1\n"),
            std::string::npos)
      << run.result.out;
}

TEST_F(Statistics, ASocketInheritedAcrossExecIsCounted) {
  const auto run = game({"udp", "dup2", "200", "peer-send", "20000", "exec",
                         host("statistics_host"), "read-fd", "200", "20000"});
  EXPECT_NE(run.result.out.find("read-fd=20000"), std::string::npos) << run.result.out;
  EXPECT_EQ(run.records, Records{traffic(20000)});
}

TEST_F(Statistics, AFailedRecordWriteLeavesTheHostsErrorAlone) {
  const std::string missing = fifo.dir() + "/cs/InstallRecord.blob";
  const auto run = run_host(fifo,
                            {host("statistics_host"), "ignore-sigpipe", "await-no-reader", "stat",
                             missing},
                            preload_env(fifo, lib64(), "steam", fifo.dir() + "/cs"), true);
  EXPECT_NE(run.result.out.find("stat=-1 No such file or directory\n"), std::string::npos)
      << run.result.out;
}

TEST_F(Statistics, AForkedChildCountsOnIndependently) {
  const auto run = game({"tcp", "send", "3000", "write", "fork", "send", "4000", "write"});
  EXPECT_NE(run.result.out.find("child=0"), std::string::npos) << run.result.out;
  // The bytes counted before the fork are reported once, by the parent.
  EXPECT_EQ(run.records, (Records{traffic(3000), traffic(4000)}));
  // Also when the parent leaves at once, as a daemonising parent does.
  EXPECT_EQ(game({"tcp", "send", "3000", "write", "daemon", "send", "4000", "write"}).records,
            (Records{traffic(3000), traffic(4000)}));
  // And through the fork that runs no fork handlers.
  EXPECT_EQ(game({"tcp", "send", "3000", "write", "_fork", "send", "4000", "write"}).records,
            (Records{traffic(3000), traffic(4000)}));
}

// Ways out that run no exit handlers, as signal handlers and vfork children take them: what is
// left below the threshold is billed all the same.
TEST_F(Statistics, TheRemainderIsReportedWhenTheHostLeavesWithoutExitHandlers) {
  for (const std::string how : {"_exit", "_Exit"})
    for (const std::string from : {"leave", "leave-in-handler"}) {
      const auto run = game({"tcp", "send", "3000", "write", from, how, "7"});
      EXPECT_EQ(run.result.status, 7) << from << " " << how << ": " << run.result.out;
      EXPECT_EQ(run.records, Records{traffic(3000)}) << from << " " << how;
    }
}

// The child shares the parent's count until it leaves: the bytes are billed once, by either.
TEST_F(Statistics, AVforkChildThatLeavesDoesNotBillItsParentsBytesAgain) {
  const auto run = game({"tcp", "send", "3000", "write", "vfork-_exit", "send", "4000", "write"});
  EXPECT_NE(run.result.out.find("vfork-child=0\nsend=4000\n"), std::string::npos)
      << run.result.out;
  EXPECT_EQ(run.traffic(), 7000);
}

TEST_F(Statistics, NoRecordOverflowsItsValue) {
  // The largest single transfer Linux makes, on top of a running count below the threshold.
  const auto run = game({"tcp", "send", "10000", "write", "big", "2147479552"});
  EXPECT_NE(run.result.out.find("big=2147479552"), std::string::npos) << run.result.out;
  EXPECT_EQ(run.records, (Records{traffic(2147483647), traffic(5905)}));
}

// The number the host printed after "name=".
long printed(const HostRun& run, const std::string& name) {
  const auto at = run.result.out.find(name + "=");
  return at == std::string::npos ? -1 : std::stol(run.result.out.substr(at + name.size() + 1));
}

TEST_F(Statistics, LoadsBesideAPreloadWhoseMallocWrites) {
  const std::string writer = host("libstatistics_malloc_writer.so");
  for (const std::string& preload : {writer + " " + lib64(), lib64() + " " + writer}) {
    auto env = preload_env(fifo, lib64());
    env.front() = "LD_PRELOAD=" + preload;
    const auto run =
        run_host(fifo, {host("statistics_host"), "tcp", "send", "20000", "write"}, env);
    EXPECT_EQ(run.result.status, 0) << preload;
    EXPECT_EQ(run.records, Records{traffic(20000)}) << preload;
  }
}

// Threads make and close sockets while another reads /dev/zero through the numbers they free.
TEST_F(Statistics, ThreadsOpeningAndClosingAtOnceCountEverySocketByteAndNothingElse) {
  const auto run = game({"threads", "5000"});
  EXPECT_EQ(run.result.status, 0) << run.result.out;
  EXPECT_GT(printed(run, "threads"), 0) << run.result.out;
  EXPECT_EQ(run.traffic(), printed(run, "threads"));
}

TEST_F(Statistics, RedirectionsOntoTheChannelWhileThreadsSendLoseNoRecord) {
  const auto run = game({"move-race", "5000", fifo.dir() + "/redirected"});
  EXPECT_NE(run.result.out.find(" stray=0\n"), std::string::npos) << run.result.out;
  EXPECT_GT(printed(run, "moved"), 0) << run.result.out;
  EXPECT_EQ(run.traffic(), printed(run, "moved"));
}

// Children forked while other threads send leave through exit, reporting what they inherited.
TEST_F(Statistics, BytesCountedWhileAnotherThreadForksAreReportedOnce) {
  const auto run = game({"fork-race", "5000"});
  EXPECT_GT(printed(run, "fork-race"), 0) << run.result.out;
  EXPECT_EQ(run.traffic(), printed(run, "fork-race"));
}

// A signal handler that ends the host, entered from the library's own record write (a file
// record to a reader that has gone): nothing may wait for that write to return.
TEST_F(Statistics, AHandlerThatExitsDuringARecordWriteEndsTheHost) {
  const std::string record = fifo.dir() + "/cs/InstallRecord.blob";
  for (const std::string how : {"exit", "_exit", "_Exit"}) {
    const auto run = run_host(fifo,
                              {host("statistics_host"), "tcp", "send", "5000", "write",
                               "leave-on-sigpipe", how, "7", "await-no-reader", "stat", record},
                              preload_env(fifo, lib64(), "steam", fifo.dir() + "/cs"),
                              /*drop_reader=*/true);
    EXPECT_EQ(run.result.status, 7) << how << ": " << run.result.out;
  }
}

// A thread cancelled in the library's own record write would never finish it, and a later
// redirection onto the channel would wait for it.
TEST_F(Statistics, AThreadCancelledAtARecordWriteLeavesTheChannelFree) {
  const std::string file = data_file(100);
  const auto run = run_host(fifo,
                            {host("statistics_host"), "cancelled-stat",
                             fifo.dir() + "/cs/InstallRecord.blob", "open-onto", "100", file,
                             "tcp", "send", "20000", "write"},
                            preload_env(fifo, lib64(), "steam", fifo.dir() + "/cs"));
  EXPECT_EQ(run.result.out, "stat-done=1 cancelled=1\nopen-onto=100\ntcp=1\nsend=20000\n");
  EXPECT_EQ(run.records, (Records{file_record(), traffic(20000)}));
}

TEST_F(Statistics, AChainOfExecsKeepsOneChannelAndIsCutOffOnceTheReaderHasGone) {
  const std::string h = host("statistics_host");
  const auto run = game({"ignore-sigpipe", "exec", h, "exec", h, "exec", h, "exec", h,
                         "await-no-reader", "channels", "tcp", "send", "10240", "write", "send",
                         "100", "write"},
                        /*drop_reader=*/true);
  EXPECT_EQ(run.result.out, "await-no-reader=1\nchannels=100\ntcp=1\nsend=10240\nsend=-1\n");
}

TEST_F(Statistics, ADescriptorClosedOutOfTheLibrarysSightLosesItsMark) {
  const std::string file = data_file(30000);
  EXPECT_EQ(game({"tcp", "fclose", "file", file, "read-fd", "c", "30000"}).records, Records{});
  // Closed by the bare system call: the file on its number is not refused after cut-off.
  const auto run = game({"ignore-sigpipe", "tcp", "raw-close", "file", file, "keep", "tcp",
                         "await-no-reader", "send", "10240", "write", "read-fd", "k", "100"},
                        /*drop_reader=*/true);
  EXPECT_NE(run.result.out.find("send=10240\nread-fd=100\n"), std::string::npos)
      << run.result.out;
}

TEST_F(Statistics, ARegularStatisticsFileIsAppendedTo) {
  const std::string file = data_file(0);
  const std::vector<std::string> env = {"LD_PRELOAD=" + lib64(), "ZENTRA_STAT_REGIME=game",
                                        "ZENTRA_STAT_FILE=" + file};
  for (int run = 0; run < 2; ++run)
    zentra_test::run_program({host("statistics_host"), "tcp", "send", "20000", "write"}, "", env,
                             60);
  std::ifstream in(file, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  const Records expected{traffic(20000), traffic(20000)};
  ASSERT_EQ(bytes.size(), sizeof(Record) * expected.size());
  EXPECT_EQ(std::memcmp(bytes.data(), expected.data(), bytes.size()), 0);
}

}  // namespace
}  // namespace statistics_test
