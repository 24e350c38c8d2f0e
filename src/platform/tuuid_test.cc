#include "platform/tuuid.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

namespace zor::platform {
namespace {

bool Matches(const TString& text, const char* pattern) {
  return QRegularExpression(QRegularExpression::anchoredPattern(pattern))
      .match(text.ToQString())
      .hasMatch();
}

TEST(TUUIDTest, TextFormsHaveTheirShapes) {
  const TUUID id = TUUID::Create();
  EXPECT_FALSE(id == TUUID::Create());
  EXPECT_TRUE(Matches(id.ToString(TUUID::kHexDigits), "[0-9a-f]{32}")) << id.ToString(1);
  EXPECT_TRUE(Matches(id.ToString(TUUID::kBraces),
                      "\\{[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\}"))
      << id.ToString(0);
  EXPECT_TRUE(Matches(static_cast<TString>(id), "[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}"));
  // The three forms carry the same digits.
  TString digits = id.ToString(TUUID::kBraces);
  digits.replace("{", "").replace("}", "").replace("-", "");
  EXPECT_EQ(digits, id.ToString(TUUID::kHexDigits));
}

TEST(TUUIDTest, EveryTextFormReadsBack) {
  const TUUID id = TUUID::Create();
  for (int format : {0, 1, 2}) {
    const TString text = id.ToString(format);
    EXPECT_EQ(TUUID(text), id) << text;
    EXPECT_EQ(TUUID(text.toUpper()), id) << text;
    ASSERT_TRUE(TUUID::FromString(text).has_value()) << text;
  }
}

TEST(TUUIDTest, BadTextGivesNoIdOrTheNullId) {
  const char* texts[] = {
      "",
      "not a uuid",
      "1b4e28ba2fa14fd2883f0016d3cca42",        // 31 digits
      "1b4e28ba2fa14fd2883f0016d3cca4zz",       // 32 characters, not hex
      "{1b4e28ba-2fa1-4fd2-883f-0016d3cca427",  // brace unclosed
      "1b4e28ba+2fa1-4fd2-883f-0016d3cca427",
  };
  for (const char* text : texts) {
    EXPECT_FALSE(TUUID::FromString(text).has_value()) << text;
    EXPECT_TRUE(TUUID(text).IsNull()) << text;
  }
  const auto nil = TUUID::FromString("{00000000-0000-0000-0000-000000000000}");
  ASSERT_TRUE(nil.has_value());
  EXPECT_TRUE(nil->IsNull());
  EXPECT_EQ(*nil, TUUID());
}

}  // namespace
}  // namespace zor::platform
