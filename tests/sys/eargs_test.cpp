#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

#include "sys/eargs.h"

using kelvor::sys::TEArgs;

namespace {
int allocations = 0;
}

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEArgs list_of(unsigned n) {
  TEArgs args;
  for (unsigned i = 0; i < n; ++i) args.add("a" + std::to_string(i));
  return args;
}

TEST(EArgs, EmptyListsShareOneListAndAllocateNothing) {
  int before = allocations;
  TEArgs a;
  TEArgs b;
  TEArgs c = a;
  EXPECT_EQ(allocations, before);
  EXPECT_TRUE(a.shares_list_with(b));
  EXPECT_TRUE(c.shares_list_with(b));
  EXPECT_TRUE(a.empty());
}

TEST(EArgs, AddChainsAndKeepsOrder) {
  TEArgs args;
  args.add("killall").add("-9").add("steam");
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(args[0], "killall");
  EXPECT_EQ(args[2], "steam");
  // Appending to an empty list never changes the list every empty one shares.
  EXPECT_TRUE(TEArgs().empty());
}

TEST(EArgs, CopyTakenBeforeAnAppendDoesNotSeeIt) {
  TEArgs original;
  original.add("cp");
  TEArgs copy = original;
  EXPECT_TRUE(copy.shares_list_with(original));
  original.add("-r");
  EXPECT_EQ(copy.size(), 1u);
  EXPECT_EQ(original.size(), 2u);
  copy.add("x");
  EXPECT_EQ(original[1], "-r");
  EXPECT_EQ(copy[1], "x");
}

TEST(EArgs, AddingAListToItselfDoublesIt) {
  TEArgs args;
  args.add({"a", "b"});
  args.add(args);
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[2], "a");
  EXPECT_EQ(args[3], "b");
}

TEST(EArgs, AddingAnArgumentOfTheSameListRepeatsIt) {
  TEArgs args;
  args.add("/usr/local/vexa/admin/bin/modules/zentra/shaper");  // beyond the short-string buffer
  args.add(args[0]);
  TEArgs short_one;
  short_one.add("x");
  short_one.add(short_one[0]);
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[1], args[0]);
  EXPECT_EQ(short_one[1], "x");
}

TEST(EArgs, HundredArgumentsFitAndTheNextOneOverflows) {
  TEArgs args = list_of(100);
  EXPECT_EQ(args.size(), 100u);
  try {
    args.add("one more");
    FAIL() << "no overflow";
  } catch (const TEArgs::TOverflow& e) {
    EXPECT_STREQ(e.what(),
                 "The number of arguments has exceeded the defined limits "
                 "(arguments number = 100, add. arguments number = 1, max = 100)");
    EXPECT_TRUE(e.args().shares_list_with(args));
  }
  EXPECT_EQ(args.size(), 100u);
}

TEST(EArgs, OverflowOfSeveralAddsNoneOfThem) {
  TEArgs args = list_of(98);
  try {
    args.add({"x", "y", "z"});
    FAIL() << "no overflow";
  } catch (const kelvor::sys::TSysErr& e) {
    EXPECT_STREQ(e.what(),
                 "The number of arguments has exceeded the defined limits "
                 "(arguments number = 98, add. arguments number = 3, max = 100)");
  }
  EXPECT_EQ(args.size(), 98u);
  args.add({"x", "y"});
  EXPECT_EQ(args.size(), 100u);
}

TEST(EArgs, ReadPastTheEndIsOutOfRange) {
  TEArgs args;
  args.add("ls");
  try {
    (void)args[5];
    FAIL() << "no error";
  } catch (const kelvor::TError& e) {
    EXPECT_STREQ(e.what(), "Wrong index (index = 5)");
    auto* range = dynamic_cast<const TEArgs::TOutOfRange*>(&e);
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->index(), 5u);
  }
}

TEST(EArgs, ErrorKeepsTheListAsItWasWhenRaised) {
  TEArgs args;
  args.add("ls");
  try {
    (void)args[1];
    FAIL() << "no error";
  } catch (const TEArgs::TEArgsError& e) {
    args.add("-l");
    TEArgs kept = e.args();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], "ls");
  }
}

}  // namespace
