#include "platform/tstring.h"

#include <ostream>

namespace zor::platform {

TString TString::fromUtf8(const char* data, int64_t size) {
  return QString::fromUtf8(data, static_cast<int>(size));
}

TString TString::fromUtf8(std::string_view bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
}

TString TString::fromUtf16(const char16_t* data, int64_t count) {
  // QString::fromUtf16 would strip a byte-order mark; the raw constructor keeps
  // the code units as read.
  return QString(reinterpret_cast<const QChar*>(data), static_cast<int>(count));
}

TString TString::fromUtf32(const char32_t* data, int64_t count) {
  return QString::fromUcs4(reinterpret_cast<const uint*>(data), static_cast<int>(count));
}

TString TString::fromLatin1(const char* data, int64_t size) {
  return QString::fromLatin1(data, static_cast<int>(size));
}

std::vector<TString> TString::split(const TString& separator, SplitBehavior behavior) const {
  const auto parts =
      s_.split(separator.s_,
               behavior == SplitBehavior::SkipEmptyParts ? Qt::SkipEmptyParts : Qt::KeepEmptyParts);
  return {parts.begin(), parts.end()};
}

TString TString::tokenize(const TString& separators, int64_t* position,
                          SplitBehavior behavior) const {
  int64_t pos = *position;
  const int64_t n = size();
  auto isSeparator = [&](int64_t i) { return separators.s_.contains(s_.at(static_cast<int>(i))); };
  if (behavior == SplitBehavior::SkipEmptyParts) {
    while (pos < n && isSeparator(pos)) ++pos;
  }
  if (pos >= n) {
    *position = n;
    return {};
  }
  int64_t end = pos;
  while (end < n && !isSeparator(end)) ++end;
  *position = end < n ? end + 1 : n;
  return mid(pos, end - pos);
}

TString TString::trim(const TString& chars) const {
  int64_t begin = 0;
  int64_t end = size();
  while (begin < end && chars.s_.contains(s_.at(static_cast<int>(begin)))) ++begin;
  while (end > begin && chars.s_.contains(s_.at(static_cast<int>(end - 1)))) --end;
  return mid(begin, end - begin);
}

int64_t TString::Find(const TString& what, int64_t from) const {
  return s_.indexOf(what.s_, static_cast<int>(from));
}

int64_t TString::Find(char16_t what, int64_t from) const {
  return s_.indexOf(QChar(what), static_cast<int>(from));
}

int64_t TString::ReverseFind(const TString& what) const { return s_.lastIndexOf(what.s_); }

TString TString::mid(int64_t position, int64_t count) const {
  return s_.mid(static_cast<int>(position), static_cast<int>(count));
}

TString& TString::replace(const TString& before, const TString& after) {
  s_.replace(before.s_, after.s_);
  return *this;
}

bool TString::startsWith(const TString& s, bool caseSensitive) const {
  return s_.startsWith(s.s_, caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive);
}

bool TString::endsWith(const TString& s, bool caseSensitive) const {
  return s_.endsWith(s.s_, caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive);
}

bool TString::contains(const TString& s, bool caseSensitive) const {
  return s_.contains(s.s_, caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive);
}

int TString::CompareNoCase(const TString& other) const {
  return s_.compare(other.s_, Qt::CaseInsensitive);
}

TString TString::dosToUnix() const {
  QString out = s_;
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  out.replace(QChar('\r'), QChar('\n'));
  return out;
}

std::ostream& operator<<(std::ostream& os, const TString& s) { return os << s.toStdString(); }

}  // namespace zor::platform
