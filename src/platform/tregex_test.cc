#include "platform/tregex.h"

#include <gtest/gtest.h>

namespace zor::platform {
namespace {

TEST(TRegex, MatchIsWholeTextSearchIsAnywhere) {
  const TRegex regex("a+b");
  EXPECT_TRUE(regex.Match("aab"));
  EXPECT_FALSE(regex.Match("xaab"));
  const auto found = regex.Search("xxaabaab");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->CapturedStart(), 2);
  EXPECT_EQ(found->CapturedEnd(), 5);
  EXPECT_EQ(regex.Search("xxaabaab", 3)->CapturedStart(), 3);
  // The rightmost start, even inside what a left-to-right search would match.
  EXPECT_EQ(regex.SearchLast("xxaabaab")->CapturedStart(), 6);
  EXPECT_EQ(regex.SearchLast("xxaabaab")->Captured(), "ab");
  EXPECT_FALSE(regex.Search("ab", 5));
  // Whole-text matching must backtrack into the alternative that reaches the end.
  EXPECT_TRUE(TRegex("a|ab").Match("ab"));
}

TEST(TRegex, CapturesByIndexAndName) {
  const TRegex regex("(?<key>\\w+)=(\\d+)?(?<rest>;.*)?");
  const auto match = regex.Search("  naïve=;x");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->Captured("key"), "naïve");
  EXPECT_EQ(match->Captured(1), "naïve");
  EXPECT_EQ(match->CapturedStart(2), -1);
  EXPECT_EQ(match->Captured("rest"), ";x");
  EXPECT_EQ(match->LastCapturedIndex(), 3);
  EXPECT_TRUE(match->Captured("nope").isEmpty());
  const auto partial = regex.Search("k=1");
  EXPECT_EQ(partial->LastCapturedIndex(), 3);
  EXPECT_EQ(partial->CapturedStart(3), -1);
}

TEST(TRegex, OptionsAndEscapes) {
  EXPECT_FALSE(TRegex("a.b").Match("a\nb"));
  EXPECT_TRUE(TRegex("a.b", TRegex::Case::Sensitive, TRegex::Dot::MatchesNewline).Match("a\nb"));
  EXPECT_TRUE(TRegex("ABC", TRegex::Case::Insensitive).Match("abc"));
  EXPECT_TRUE(TRegex(TRegex::Escape("<%=ENV[x]%>.*")).Match("<%=ENV[x]%>.*"));
  const TRegex broken("(");
  EXPECT_FALSE(broken.IsValid());
  EXPECT_FALSE(broken.ErrorString().isEmpty());
  EXPECT_FALSE(broken.Search("("));
}

}  // namespace
}  // namespace zor::platform
