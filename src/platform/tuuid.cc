#include "platform/tuuid.h"

namespace zor::platform {
namespace {

bool IsHexDigits(const QString& s) {
  for (const QChar c : s) {
    if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
          (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
          (c >= QLatin1Char('A') && c <= QLatin1Char('F')))) {
      return false;
    }
  }
  return true;
}

}  // namespace

TUUID::TUUID(const TString& text) : value_(FromString(text).value_or(TUUID()).value_) {}

TUUID TUUID::Create() { return TUUID(QUuid::createUuid()); }

std::optional<TUUID> TUUID::FromString(const TString& text) {
  QString s = text.ToQString().trimmed();
  // QUuid reads only the dashed forms; the bare digits get their dashes back.
  if (s.size() == 32) {
    if (!IsHexDigits(s)) return std::nullopt;
    s = s.mid(0, 8) + '-' + s.mid(8, 4) + '-' + s.mid(12, 4) + '-' + s.mid(16, 4) + '-' + s.mid(20);
  }
  if (s.size() != 36 && s.size() != 38) return std::nullopt;
  const QUuid value = QUuid::fromString(s);
  // QUuid answers the null id for bad text; the null id is only right when
  // the text spelt it.
  if (value.isNull() && s.count(QLatin1Char('0')) != 32) return std::nullopt;
  return TUUID(value);
}

TString TUUID::ToString(int format) const {
  switch (format) {
    case kHexDigits:
      return QString::fromLatin1(value_.toByteArray(QUuid::Id128));
    case kDashes:
      return value_.toString(QUuid::WithoutBraces);
    default:
      return value_.toString(QUuid::WithBraces);
  }
}

}  // namespace zor::platform
