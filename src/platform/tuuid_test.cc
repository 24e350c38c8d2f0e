#include "platform/tuuid.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

namespace zor::platform {
namespace {

// The dashed and braced forms are Qt's; the bare digits and reading any of
// the three are ours.
TEST(TUUIDTest, TextFormsCarryTheSameDigitsAndReadBack) {
  const TUUID id = TUUID::Create();
  const TString hex = id.ToString(TUUID::kHexDigits);
  const QRegularExpression version4("^[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}$");
  ASSERT_TRUE(version4.match(hex.ToQString()).hasMatch()) << hex;
  EXPECT_EQ(id.ToString(TUUID::kDashes).ToQString().remove('-'), hex.ToQString());
  EXPECT_EQ(static_cast<TString>(id), id.ToString(TUUID::kDashes));
  for (const TString& text : {hex, id.ToString(TUUID::kDashes), id.ToString(TUUID::kBraces)}) {
    EXPECT_EQ(TUUID(text.toUpper()), id) << text.toStdString();
    EXPECT_TRUE(TUUID::FromString(text).has_value()) << text.toStdString();
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
  EXPECT_EQ(*nil, TUUID());
}

}  // namespace
}  // namespace zor::platform
