// DateTime: a point in time together with the clock it is read on (local
// time, UTC or a fixed offset from UTC), over QDateTime.
//
// Patterns are Qt date-time format strings ("yyyy-MM-dd HH:mm:ss.zzz", text in
// single quotes is literal) with one difference: the token `t` stands for the
// ISO-8601 offset of the time ("Z" for UTC, else "+hh:mm" / "-hh:mm"), both
// when formatting and when parsing. So a pattern with `t` round-trips the
// exact instant, and a pattern without it reads as local time.
//
// A default-constructed DateTime is invalid: its getters return 0 and it
// formats as an empty text. Thread-safety: a value type.
#pragma once

#include <QDateTime>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/tstring.h"

namespace zor::platform {

class DateTime {
 public:
  DateTime() = default;
  explicit DateTime(const QDateTime& value) : value_(value) {}

  // The current time on the local clock.
  static DateTime GetLocalTime();
  // The local time of `ms` milliseconds since 1970-01-01T00:00:00Z.
  static DateTime FromUnixTimeMs(int64_t ms);
  // The local time of `time`, to the millisecond (a file's time, say).
  static DateTime FromTimePoint(std::chrono::system_clock::time_point time);

  // Reads `text` against the whole of `pattern` (see above). Returns nullopt
  // iff the text does not match the pattern or names an impossible date.
  static std::optional<DateTime> ParseDateTime(const TString& text, const TString& pattern);
  // The same, for callers that keep their value when parsing fails: on
  // success stores the result in `*out` and returns true; else leaves `*out`.
  static bool ParseDateTime(const TString& text, const TString& pattern, DateTime* out);

  bool IsValid() const { return value_.isValid(); }
  // The same instant on the UTC clock (the name says what callers pass in: a
  // local time; a time already on another clock converts just as well).
  DateTime UTCFromLocal() const;
  // The same instant on the local clock.
  DateTime LocalFromUTC() const;

  // The time written with `pattern` on its own clock; empty when invalid.
  TString Format(const TString& pattern) const;

  // Seconds since 1970-01-01T00:00:00Z (rounded towards negative infinity);
  // 0 when invalid.
  int64_t GetAsUnixTime() const;
  // Milliseconds since 1970-01-01T00:00:00Z; 0 when invalid.
  int64_t GetAsUnixTimeMs() const;
  // Offset of this time's clock from UTC in seconds (east positive).
  int GetOffsetFromUtc() const;

  // Calendar fields on this time's own clock; 0 when invalid.
  int GetYear() const;
  int GetMonth() const;   // 1..12
  int GetDay() const;     // 1..31
  int GetHour() const;    // 0..23
  int GetMinute() const;  // 0..59
  int GetSecond() const;  // 0..59
  int GetMillisecond() const;


  // Same instant (the clocks may differ); two invalid values are equal.
  friend bool operator==(const DateTime& a, const DateTime& b) { return a.value_ == b.value_; }
  friend bool operator<(const DateTime& a, const DateTime& b) { return a.value_ < b.value_; }

 private:
  QDateTime value_;
};

// Pattern ids of LookupDateTimeParsingFormatString.
inline constexpr int kStatusTimestampPattern = 25;  // upload result times in status files
inline constexpr int kLastWriteTimePattern = 26;    // artifact last write times (written in UTC)

// The pattern registered under `id` (the constants above), or an empty text
// for an unknown id.
TString LookupDateTimeParsingFormatString(int id);

}  // namespace zor::platform
