#include "platform/date_time.h"

#include <gtest/gtest.h>

#include <QTimeZone>

namespace zor::platform {
namespace {

// 2024-03-05 14:07:09.123 on a clock `offsetSeconds` east of UTC.
DateTime At(int offsetSeconds, int ms = 123) {
  return DateTime(
      QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9, ms), Qt::OffsetFromUTC, offsetSeconds));
}

TEST(DateTimeTest, StatusPatternWritesIsoTextAndReadsBackTheSameInstantAndClock) {
  const TString pattern = LookupDateTimeParsingFormatString(kStatusTimestampPattern);
  struct Case {
    DateTime time;
    const char* text;
  };
  const Case cases[] = {
      {At(5 * 3600 + 1800), "2024-03-05T14:07:09.123+05:30"},
      {At(-3 * 3600, 7), "2024-03-05T14:07:09.007-03:00"},
      {At(0, 0), "2024-03-05T14:07:09.000Z"},  // a zero offset is UTC
      {DateTime(QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9, 123), Qt::UTC)),
       "2024-03-05T14:07:09.123Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.time.Format(pattern), c.text);
    const auto parsed = DateTime::ParseDateTime(c.text, pattern);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, c.time);
    EXPECT_EQ(parsed->GetOffsetFromUtc(), c.time.GetOffsetFromUtc());
    EXPECT_EQ(parsed->GetMillisecond(), c.time.GetMillisecond());
    EXPECT_EQ(parsed->Format(pattern), c.text);
  }
}

TEST(DateTimeTest, LastWriteTimeIsWrittenInUtcToTheSecond) {
  const TString pattern = LookupDateTimeParsingFormatString(kLastWriteTimePattern);
  const DateTime utc = At(5 * 3600 + 1800).UTCFromLocal();
  EXPECT_EQ(utc.Format(pattern), "2024-03-05T08:37:09Z");
  const auto parsed = DateTime::ParseDateTime("2024-03-05T08:37:09Z", pattern);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->GetAsUnixTime(), 1709627829);

  const DateTime local = DateTime::FromUnixTimeMs(1709627829123);
  EXPECT_EQ(local.UTCFromLocal().Format(pattern), "2024-03-05T08:37:09Z");
  EXPECT_EQ(local.LocalFromUTC(), local);
}

TEST(DateTimeTest, UnparsableTextsAndUnknownPatternsAreRefused) {
  const TString pattern = LookupDateTimeParsingFormatString(kStatusTimestampPattern);
  // Which dates exist is Qt's to know; a missing offset or trailing text must
  // not pass for a time.
  const char* texts[] = {"", "yesterday", "2024-03-05T14:07:09.123",
                         "2024-03-05T14:07:09.123Z extra", "2024-02-30T14:07:09.123Z"};
  const DateTime keep = At(3600);
  for (const char* text : texts) {
    EXPECT_FALSE(DateTime::ParseDateTime(text, pattern).has_value()) << text;
    DateTime out = keep;
    EXPECT_FALSE(DateTime::ParseDateTime(text, pattern, &out)) << text;
    EXPECT_EQ(out, keep);
  }
  EXPECT_FALSE(DateTime::ParseDateTime("2024-03-05T14:07:09.123Z", "").has_value());
  for (int id : {0, 24, 27}) EXPECT_TRUE(LookupDateTimeParsingFormatString(id).isEmpty()) << id;
}

TEST(DateTimeTest, QuotedTextInPatternsStaysLiteral) {
  EXPECT_EQ(At(-90 * 60).Format("'at' HH:mm t"), "at 14:07 -01:30");
  EXPECT_EQ(At(0).Format("'it''s' yyyy"), "it's 2024");
}

TEST(DateTimeTest, UnixTimeRoundsDownBefore1970) {
  EXPECT_EQ(DateTime::FromUnixTimeMs(-500).GetAsUnixTime(), -1);
  EXPECT_EQ(DateTime::FromUnixTimeMs(-1000).GetAsUnixTime(), -1);
  EXPECT_EQ(DateTime::FromUnixTimeMs(1999).GetAsUnixTime(), 1);
}

}  // namespace
}  // namespace zor::platform
