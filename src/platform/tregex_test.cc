#include "platform/tregex.h"

#include <gtest/gtest.h>

namespace zor::platform {
namespace {

TEST(TRegex, MatchIsWholeTextSearchIsAnywhere) {
  const TRegex regex("a+b");
  EXPECT_TRUE(regex.Match("aab"));
  EXPECT_FALSE(regex.Match("xaab"));
  EXPECT_EQ(regex.Search("xxaabaab")->Captured(), "aab");
  // The rightmost start, even inside what a left-to-right search would match.
  EXPECT_EQ(regex.SearchLast("xxaabaab")->Captured(), "ab");
  EXPECT_FALSE(regex.Search("xxb"));
  // Whole-text matching must backtrack into the alternative that reaches the end.
  EXPECT_TRUE(TRegex("a|ab").Match("ab"));
}

TEST(TRegex, CapturesByIndexAndName) {
  const TRegex regex("(?<key>\\w+)=(\\d+)?(?<rest>;.*)?");
  const auto match = regex.Search("  naïve=;x");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->Captured("key"), "naïve");
  EXPECT_EQ(match->Captured(1), "naïve");
  EXPECT_TRUE(match->Captured(2).isEmpty());  // the group that took part in no match
  EXPECT_EQ(match->Captured("rest"), ";x");
  EXPECT_TRUE(match->Captured("nope").isEmpty());
}

// Escape is seen where the configuration reads "<%=ENV[...]%>" (config_parser_test.cc).
TEST(TRegex, OptionsAndABrokenPattern) {
  EXPECT_FALSE(TRegex("a.b").Match("a\nb"));
  EXPECT_TRUE(TRegex("a.b", TRegex::Case::Sensitive, TRegex::Dot::MatchesNewline).Match("a\nb"));
  EXPECT_TRUE(TRegex("ABC", TRegex::Case::Insensitive).Match("abc"));
  const TRegex broken("(");
  EXPECT_FALSE(broken.IsValid());
  EXPECT_FALSE(broken.ErrorString().isEmpty());
  EXPECT_FALSE(broken.Search("("));
}

TEST(TRegex, MinimalMatchingTakesTheShortestCaptures) {
  // A pattern of the kind that picks a quoted value out of JSON lines: with
  // minimal matching the first match ends at the first closing quote.
  const TString text = R"({"k":"a","v":{"path":"/x/1.log"}}{"k":"a","v":{"path":"/x/2.log"}})";
  const TString pattern = R"re("k":"a".*"path":"(.*)")re";
  // Greedy, the first ".*" runs on to the last "path".
  EXPECT_EQ(TRegex(pattern).Search(text)->Captured(1), "/x/2.log");
  TRegex::Options minimal;
  minimal.greed = TRegex::Greed::Minimal;
  const TRegex lazy(pattern, minimal);
  EXPECT_EQ(lazy.Search(text)->Captured(1), "/x/1.log");
  EXPECT_EQ(lazy.SearchLast(text)->Captured(1), "/x/2.log");
  // An explicitly lazy quantifier turns greedy.
  EXPECT_EQ(TRegex("a(b*?)", minimal).Search("abbb")->Captured(1), "bbb");
}

TEST(TRegex, AsciiClassesLeaveOtherDigitsAndLettersOut) {
  const TString arabicIndicDigits = "١٢";
  EXPECT_TRUE(TRegex("^\\d+$").Search(arabicIndicDigits));
  TRegex::Options ascii;
  ascii.classes = TRegex::Classes::Ascii;
  EXPECT_FALSE(TRegex("^\\d+$", ascii).Search(arabicIndicDigits));
  EXPECT_FALSE(TRegex("^\\w+$", ascii).Search("na\u00efve"));
  EXPECT_TRUE(TRegex("(?<n>\\d+)", ascii).Search("x.1234.y")->Captured("n") == "1234");
}

}  // namespace
}  // namespace zor::platform
