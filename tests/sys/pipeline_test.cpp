#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>

#include "sys/pipeline.h"
#include "sys/redirect.h"
#include "tests/sys/helpers.h"

using kelvor::sys::TExec;
using kelvor::sys::TPipeline;
using namespace sys_test;

namespace {

TEST(Pipeline, ThreeProgramsRunTogetherAndTheLastOneGivesTheStatus) {
  // The first writes more than a pipe holds: were it waited for before the next started,
  // it would stall until `timeout` ends it, and fewer bytes would arrive.
  TPipeline pipeline = program({"timeout", "20", "head", "-c", "300000", "/dev/zero"}) |
                       program({"cat"}) |
                       shell("n=$(wc -c); [ \"$n\" -eq 300000 ] && exit 3; exit 4");
  ASSERT_EQ(pipeline.programs().size(), 3u);
  kelvor::sys::TExecResult result = run(pipeline);
  EXPECT_GT(result.pid, 0);
  EXPECT_EQ(result.status, 3);
  // The two earlier programs were left to the caller.
  int reaped = 0;
  int status = 0;
  while (waitpid(-1, &status, 0) > 0) ++reaped;
  EXPECT_EQ(reaped, 2);
}

TEST(Pipeline, DataFlowsLeftToRightAndCanRunAgain) {
  TempDir dir;
  std::string out = dir / "sorted";
  TPipeline pipeline = program({"printf", "b\\nc\\na\\n"}) | program({"sort"}) |
                       to_file(program({"head", "-n", "2"}), out);
  int before = open_descriptor_count();
  run(pipeline);
  EXPECT_EQ(read_file(out), "a\nb\n");
  write_file(out, "");
  run(pipeline);
  EXPECT_EQ(read_file(out), "a\nb\n");
  EXPECT_EQ(open_descriptor_count(), before);
  while (waitpid(-1, nullptr, 0) > 0) {
  }
}

TEST(Pipeline, ExtendingAPipelineLeavesTheOriginalAlone) {
  TempDir dir;
  TPipeline two = program({"echo", "x"}) | to_file(program({"cat"}), dir / "two");
  TPipeline three = two | to_file(program({"wc", "-c"}), dir / "three");
  EXPECT_EQ(two.programs().size(), 2u);
  // The original's last program still writes to its file, and is still waited for.
  EXPECT_EQ(run(two).status, 0);
  EXPECT_EQ(read_file(dir / "two"), "x\n");
  run(three);
  EXPECT_EQ(read_file(dir / "three"), "2\n");
  while (waitpid(-1, nullptr, 0) > 0) {
  }
}

TEST(Pipeline, EmptyPipelineRunsNothing) {
  kelvor::sys::TExecResult result = run(TPipeline());
  EXPECT_EQ(result.pid, 0);
  EXPECT_EQ(result.status, 0);
}

}  // namespace
