#include "platform/date_time.h"

#include <cstdlib>

namespace zor::platform {
namespace {

QString OffsetText(const QDateTime& value) {
  if (value.timeSpec() == Qt::UTC) return QStringLiteral("Z");
  const int offset = value.offsetFromUtc();
  const int minutes = std::abs(offset) / 60;
  return QStringLiteral("%1%2:%3")
      .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
      .arg(minutes / 60, 2, 10, QLatin1Char('0'))
      .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// Qt writes `t` as a zone abbreviation ("CET"), which is neither ISO-8601 nor
// reliably readable again; the offset goes in as quoted literal text instead.
// Qt's reader already takes "Z" and "+hh:mm" for `t`, so parsing needs no
// such rewrite.
QString WithOffsetLiteral(const QString& pattern, const QDateTime& value) {
  QString out;
  out.reserve(pattern.size() + 8);
  bool quoted = false;
  for (int i = 0; i < pattern.size(); ++i) {
    const QChar c = pattern.at(i);
    if (c == QLatin1Char('\'')) {
      if (i + 1 < pattern.size() && pattern.at(i + 1) == QLatin1Char('\'')) {
        out += QStringLiteral("''");
        ++i;
      } else {
        quoted = !quoted;
        out += c;
      }
    } else if (c == QLatin1Char('t') && !quoted) {
      out += QLatin1Char('\'') + OffsetText(value) + QLatin1Char('\'');
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

DateTime DateTime::GetLocalTime() { return DateTime(QDateTime::currentDateTime()); }

DateTime DateTime::FromUnixTimeMs(int64_t ms) {
  return DateTime(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime));
}

DateTime DateTime::FromTimePoint(std::chrono::system_clock::time_point time) {
  // Truncated towards the past, so a time just before a second stays in it.
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch());
  return FromUnixTimeMs(ms.count());
}

std::optional<DateTime> DateTime::ParseDateTime(const TString& text, const TString& pattern) {
  if (text.isEmpty() || pattern.isEmpty()) return std::nullopt;
  const QDateTime value = QDateTime::fromString(text.ToQString(), pattern.ToQString());
  if (!value.isValid()) return std::nullopt;
  return DateTime(value);
}

bool DateTime::ParseDateTime(const TString& text, const TString& pattern, DateTime* out) {
  auto parsed = ParseDateTime(text, pattern);
  if (!parsed) return false;
  *out = *parsed;
  return true;
}

DateTime DateTime::UTCFromLocal() const {
  return IsValid() ? DateTime(value_.toUTC()) : DateTime();
}

DateTime DateTime::LocalFromUTC() const {
  return IsValid() ? DateTime(value_.toLocalTime()) : DateTime();
}

TString DateTime::Format(const TString& pattern) const {
  if (!IsValid()) return {};
  return value_.toString(WithOffsetLiteral(pattern.ToQString(), value_));
}

int64_t DateTime::GetAsUnixTime() const {
  const int64_t ms = GetAsUnixTimeMs();
  // Floor, so a time just before 1970 does not round up to second 0.
  return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

int64_t DateTime::GetAsUnixTimeMs() const { return IsValid() ? value_.toMSecsSinceEpoch() : 0; }

int DateTime::GetOffsetFromUtc() const { return IsValid() ? value_.offsetFromUtc() : 0; }

int DateTime::GetYear() const { return IsValid() ? value_.date().year() : 0; }
int DateTime::GetMonth() const { return IsValid() ? value_.date().month() : 0; }
int DateTime::GetDay() const { return IsValid() ? value_.date().day() : 0; }
int DateTime::GetHour() const { return IsValid() ? value_.time().hour() : 0; }
int DateTime::GetMinute() const { return IsValid() ? value_.time().minute() : 0; }
int DateTime::GetSecond() const { return IsValid() ? value_.time().second() : 0; }
int DateTime::GetMillisecond() const { return IsValid() ? value_.time().msec() : 0; }

TString LookupDateTimeParsingFormatString(int id) {
  switch (id) {
    case kStatusTimestampPattern:
      return "yyyy-MM-dd'T'HH:mm:ss.zzzt";
    case kLastWriteTimePattern:
      return "yyyy-MM-dd'T'HH:mm:sst";
    default:
      return {};
  }
}

}  // namespace zor::platform
