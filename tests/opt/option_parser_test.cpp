#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "opt/oparsing.h"

using kelvor::opt::TOParsing;
using kelvor::opt::TOpts;

namespace {

TOpts parse(std::vector<const char*> words) {
  words.insert(words.begin(), "zentra_mng");
  return TOpts(words.data(), static_cast<int>(words.size()));
}

// The message of the error that `action` raises, or "" when it raises nothing.
std::string raised(const std::function<void()>& action) {
  try {
    action();
  } catch (const kelvor::TError& e) {
    return e.what();
  }
  return "";
}

// Asks --name with `mode` and releases the result without clearing; returns the value.
std::string ask(TOParsing& p, const std::string& name, int mode = TOParsing::REQUIRED_VALUE) {
  auto r = p.long_opt(name, mode);
  std::string value = r.found() ? r.value() : "";
  r.release();
  return value;
}

}  // namespace

TEST(OptionSyntax, SortsWordsIntoLongShortAndPlain) {
  TOpts o = parse({"--cs-dir=/srv/games", "--game-id=12", "--opt=a=b", "--flag", "--empty=", "-abc", "plain",
                   "-", "--", "--1x", "-a1", "--game2=x", "--_x", "-_"});
  const auto& l = o.long_options();
  EXPECT_EQ(l.at("cs-dir").value, "/srv/games");
  EXPECT_EQ(l.at("game-id").value, "12");
  EXPECT_EQ(l.at("opt").value, "a=b");
  EXPECT_EQ(l.at("flag").value, "");
  EXPECT_EQ(l.at("empty").value, "");
  EXPECT_EQ(l.at("_x").value, "");
  EXPECT_EQ(l.size(), 6u);  // --game2=x, --1x and "--" are plain words
  const auto& s = o.short_options();
  EXPECT_EQ(s.size(), 4u);
  for (char c : std::string("abc_")) EXPECT_TRUE(s.count(static_cast<signed char>(c))) << c;
  EXPECT_EQ(o.arg_count(), 14u);
  EXPECT_EQ(o.program_name(), "zentra_mng");
}

TEST(OptionSyntax, LastOccurrenceWinsAndValueIsNeverTheNextWord) {
  TOpts o = parse({"--map=de_dust", "--map=de_aztec", "--cs-dir", "/srv/games"});
  EXPECT_EQ(o.long_options().at("map").value, "de_aztec");
  EXPECT_EQ(o.long_options().at("cs-dir").value, "");
  EXPECT_EQ(o.arg(3), "/srv/games");
}

TEST(OptionSyntax, DegenerateVectorsGiveEmptyCommandLines) {
  EXPECT_EQ(TOpts(nullptr, 3).arg_count(), 0u);
  const char* argv[] = {"prog", "--a", nullptr, "--b"};
  EXPECT_EQ(TOpts(argv, 0).arg_count(), 0u);
  EXPECT_EQ(TOpts(argv, 4).long_options().size(), 1u);  // stops at the null element
  EXPECT_EQ(TOpts(argv).long_options().size(), 1u);
  EXPECT_EQ(raised([&] { TOpts(argv, 4).arg(1); }), "Wrong index (index = 1)");
}

TEST(OptionQueries, RequiredValueReportsMissingAndEmpty) {
  TOParsing p(parse({"--cs-dir=/srv/games", "--empty=", "--bare"}));
  EXPECT_EQ(ask(p, "cs-dir"), "/srv/games");
  EXPECT_EQ(raised([&] { ask(p, "empty"); }), "Incorrect long option '--empty'");
  EXPECT_EQ(raised([&] { ask(p, "bare"); }), "Incorrect long option '--bare'");
  EXPECT_EQ(raised([&] { ask(p, "file"); }), "Requires long option '--file'");
}

TEST(OptionQueries, ValueModes) {
  TOParsing p(parse({"--start-game=1", "--flag", "--any="}));
  EXPECT_EQ(raised([&] { ask(p, "start-game", TOParsing::NO_VALUE); }), "Incorrect long option '--start-game'");
  EXPECT_EQ(raised([&] { ask(p, "flag", TOParsing::NO_VALUE); }), "");
  EXPECT_EQ(raised([&] { ask(p, "any", TOParsing::ANY_VALUE); }), "");
}

TEST(OptionQueries, ClearedOutcomeRaisesNothingAndLeavesOptionUnasked) {
  TOParsing p(parse({"--start-game=1"}));
  auto r = p.long_opt("start-game", TOParsing::NO_VALUE);
  EXPECT_FALSE(r.found());
  p.clear();
  EXPECT_NO_THROW(r.release());
  EXPECT_EQ(raised([&] { p.check_unknown(); }), "Unknown option '--start-game'");
}

TEST(OptionQueries, MaskFiltersWhatIsRaised) {
  TOParsing p(parse({"--x="}));
  p.exceptions(TOParsing::UNKNOWN);
  EXPECT_EQ(raised([&] { ask(p, "missing"); }), "");
  EXPECT_EQ(raised([&] { ask(p, "x"); }), "");
  EXPECT_EQ(raised([&] { p.check_unknown(); }), "Unknown option '--x'");
  p.exceptions(TOParsing::GOOD);
  EXPECT_EQ(raised([&] { p.check_unknown(); }), "");
}

TEST(OptionQueries, ReleaseReportsTheLatestQueryOnlyOnce) {
  TOParsing p(parse({"--a=1"}));
  auto missing = p.long_opt("b", TOParsing::REQUIRED_VALUE);
  auto found = p.long_opt("a", TOParsing::REQUIRED_VALUE);
  // The state describes the latest query, which succeeded.
  EXPECT_NO_THROW(missing.release());
  EXPECT_NO_THROW(found.release());
  auto again = p.long_opt("b", TOParsing::REQUIRED_VALUE);
  EXPECT_EQ(raised([&] { again.release(); }), "Requires long option '--b'");
  EXPECT_EQ(raised([&] { again.release(); }), "");
}

TEST(OptionQueries, DestructorRaisesButNotWhileAnotherErrorUnwinds) {
  TOParsing p(parse({}));
  EXPECT_EQ(raised([&] { auto r = p.long_opt("file", TOParsing::REQUIRED_VALUE); }),
            "Requires long option '--file'");
  EXPECT_EQ(raised([&] {
              auto r = p.long_opt("file", TOParsing::REQUIRED_VALUE);
              throw kelvor::TError("first");
            }),
            "first");
}

TEST(OptionQueries, ShortOptions) {
  TOParsing p(parse({"-hx"}));
  auto h = p.short_opt('h');
  EXPECT_TRUE(h.found());
  h.release();
  EXPECT_EQ(raised([&] { p.check_unknown(); }), "Unknown option '-x'");
  TOParsing q(parse({}));
  EXPECT_EQ(raised([&] { q.short_opt('h').release(); }), "Requires short option '-h'");
}

TEST(UnknownOptions, ReportsShortBeforeLongInAscendingOrderThenForgets) {
  TOParsing p(parse({"--zeta", "--alpha", "-q"}));
  EXPECT_EQ(raised([&] { p.check_unknown(); }), "Unknown option '-q'");
  TOParsing q(parse({"--zeta", "--alpha"}));
  EXPECT_EQ(raised([&] { q.check_unknown(); }), "Unknown option '--alpha'");
  TOParsing r(parse({"--a=1"}));
  ask(r, "a");
  EXPECT_NO_THROW(r.check_unknown());
  // What was asked is forgotten by the check.
  EXPECT_EQ(raised([&] { r.check_unknown(); }), "Unknown option '--a'");
}

TEST(UnknownOptions, CopiesShareTheAskedSet) {
  TOParsing p(parse({"--a=1", "--b=2"}));
  TOParsing copy = p;
  ask(copy, "a");
  ask(p, "b");
  EXPECT_NO_THROW(p.check_unknown());
}
