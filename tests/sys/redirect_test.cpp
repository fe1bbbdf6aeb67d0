#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "sys/descriptors.h"
#include "sys/read_output.h"
#include "sys/redirect.h"
#include "tests/sys/helpers.h"

using kelvor::sys::TExec;
using namespace sys_test;

namespace {

// Sets the umask for one test.
class Umask {
public:
  explicit Umask(mode_t mask) : previous_(umask(mask)) {}
  ~Umask() { umask(previous_); }

private:
  mode_t previous_;
};

std::string pattern(std::size_t size) {
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < size; ++i) text.push_back(static_cast<char>('a' + i % 23));
  return text;
}

// Closes a descriptor in the child, before the steps added after it.
class CloseInChild : public TExec::TPrepare {
public:
  explicit CloseInChild(int fd) : fd_(fd) {}
  void in_child(TExec&) override { close(fd_); }

private:
  int fd_;
};

std::string output_of(const TExec& exec) {
  std::string text = "left over";
  kelvor::sys::read_output(exec, text);
  return text;
}

TEST(Redirect, ToFileTruncatesAndAppendKeepsWithModeLessUmask) {
  TempDir dir;
  Umask mask(027);
  std::string created = dir / "created";
  EXPECT_EQ(to_file(program({"echo", "one"}), created).run().status, 0);
  EXPECT_EQ(read_file(created), "one\n");
  EXPECT_EQ(file_mode(created), 0640u);

  std::string existing = dir / "existing";
  write_file(existing, "a much longer old content\n");
  to_file(program({"echo", "new"}), existing).run();
  EXPECT_EQ(read_file(existing), "new\n");
  append_to_file(program({"echo", "more"}), existing).run();
  EXPECT_EQ(read_file(existing), "new\nmore\n");
}

TEST(Redirect, FromFileFeedsStandardInput) {
  TempDir dir;
  write_file(dir / "in", "line 1\nline 2\n");
  EXPECT_EQ(output_of(from_file(program({"cat"}), dir / "in")), "line 1\nline 2\n");
}

TEST(Redirect, UnopenableFileLeavesTheStreamOnTheNullDevice) {
  TempDir dir;
  // A closed standard stream would be taken by the next file the program opens.
  std::string seen = dir / "seen";
  TExec exec = to_file(shell("readlink /proc/$$/fd/1 | cat >" + seen), dir / "no/such/dir");
  EXPECT_EQ(exec.run().status, 0);
  EXPECT_EQ(read_file(seen), "/dev/null\n");
  EXPECT_EQ(output_of(from_file(shell("readlink /proc/$$/fd/0; true"), dir / "missing")), "/dev/null\n");
}

TEST(Redirect, OtherDescriptorsToFileOrToAnotherDescriptor) {
  TempDir dir;
  std::string errors = dir / "errors";
  redirect_to_file(shell("echo first >&2"), 2, errors, false).run();
  redirect_to_file(shell("echo second >&2"), 2, errors, true).run();
  EXPECT_EQ(read_file(errors), "first\nsecond\n");
  // Steps act in the order added: standard output first goes to the file, then 2 follows it.
  std::string both = dir / "both";
  redirect(to_file(shell("echo out; echo err >&2"), both), 2, 1).run();
  EXPECT_EQ(read_file(both), "out\nerr\n");
}

TEST(Redirect, FileTakingTheNumberOfItsStreamStaysOpenInTheProgram) {
  TempDir dir;
  write_file(dir / "in", "kept\n");
  TExec exec = program({"cat"});
  exec.add(std::make_shared<CloseInChild>(STDIN_FILENO));  // the file then opens as 0
  EXPECT_EQ(output_of(from_file(exec, dir / "in")), "kept\n");
}

TEST(Redirect, DescriptorOntoItselfIsKept) {
  TempDir dir;
  redirect(to_file(program({"echo", "x"}), dir / "out"), 1, 1).run();
  EXPECT_EQ(read_file(dir / "out"), "x\n");
}

TEST(FromString, WriterHoldsNothingButItsPipe) {
  // The program reads one byte, so the writer is past its start-up and blocked on the
  // rest; then it counts the writer's descriptors.
  const std::string count_writer_fds =
      "dd bs=1 count=1 status=none >/dev/null; read -r writer </proc/$$/task/$$/children; "
      "ls /proc/$writer/fd | wc -l";
  EXPECT_EQ(output_of(from_string(shell(count_writer_fds), pattern(1 << 20))), "1\n");
}

TEST(FromString, WritingSurvivesSignals) {
  Pipe pipe = make_pipe();
  const std::string text = pattern(1 << 20);
  const pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    int code = 99;
    try {
      pipe.write.reset();
      usleep(300 * 1000);  // meanwhile the writer blocks on a full pipe and is interrupted
      code = read_all(pipe.read.get()) == text ? 0 : 1;
    } catch (...) {
    }
    _exit(code);
  }
  pipe.read.reset();
  bool written = false;
  {
    Interrupter interrupter;
    written = kelvor::sys::detail::write_all(pipe.write.get(), text.data(), text.size());
  }
  pipe.write.reset();
  EXPECT_TRUE(written);
  EXPECT_EQ(wait_exit_code(reader), 0);
}

TEST(FromString, EmptyTextIsImmediateEndOfFile) {
  EXPECT_EQ(output_of(from_string(program({"wc", "-c"}), "")), "0\n");
}

TEST(FromString, TextLargerThanAPipeArrivesWhole) {
  std::string big = pattern(1 << 20);
  EXPECT_EQ(output_of(from_string(program({"cat"}), big)), big);
}

TEST(FromString, ProgramThatReadsNothingEndsTheWriter) {
  std::string big = pattern(1 << 20);
  EXPECT_EQ(from_string(program({"true"}), big).run().status, 0);
  // With SIGPIPE ignored, as in a job after its database connection, the writer sees EPIPE.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  std::string out = output_of(from_string(shell("head -c 3; echo"), big));
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(out, "abc\n");
}

TEST(ReadOutput, NothingGivesAnEmptyText) { EXPECT_EQ(output_of(program({"true"})), ""); }

TEST(ReadOutput, OutputBeyondThePipeCapacityIsReadWhole) {
  TempDir dir;
  std::string content = pattern(100000);
  write_file(dir / "big", content);
  EXPECT_EQ(output_of(program({"cat", dir / "big"})), content);
}

TEST(ReadOutput, LeavesNoDescriptorBehind) {
  int before = open_descriptor_count();
  output_of(from_string(program({"cat"}), "x"));
  output_of(program({"/nonexistent/program"}) | TExec::WAIT);
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(ReadOutput, ChildFailureReportGoesIntoTheCollectedOutput) {
  EXPECT_EQ(output_of(program({"/nonexistent/program"})), "No such file or directory\n");
}

}  // namespace
