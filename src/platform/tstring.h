// TString: the program's text type, a thin value wrapper over QString (UTF-16).
//
// Conversions to and from UTF-8 are explicit (fromUtf8/toStdString) so that no
// code depends on the locale. Thread-safety: a value type; distinct objects may
// be used from distinct threads.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zor::platform {

class TString {
 public:
  // How tokenize and split treat empty parts between separators.
  enum class SplitBehavior { KeepEmptyParts = 0, SkipEmptyParts = 1 };

  TString() = default;
  TString(const char* utf8) : s_(QString::fromUtf8(utf8)) {}  // NOLINT: implicit by design
  TString(const std::string& utf8) : s_(QString::fromStdString(utf8)) {}  // NOLINT
  TString(const QString& s) : s_(s) {}                                    // NOLINT
  TString(QString&& s) : s_(std::move(s)) {}                              // NOLINT
  explicit TString(char16_t c) : s_(QChar(c)) {}

  static TString fromUtf8(const char* data, int64_t size = -1);
  static TString fromUtf8(std::string_view bytes);
  // `count` is in 16-bit code units; a leading byte-order mark is kept as read.
  static TString fromUtf16(const char16_t* data, int64_t count);
  // `count` is in 32-bit code units.
  static TString fromUtf32(const char32_t* data, int64_t count);
  static TString fromLatin1(const char* data, int64_t size = -1);
  static TString fromStdString(const std::string& utf8) { return TString(utf8); }
  static TString Number(int64_t n) { return QString::number(static_cast<qlonglong>(n)); }
  static TString Number(uint64_t n) { return QString::number(static_cast<qulonglong>(n)); }
  static TString Number(int n) { return QString::number(n); }
  static TString Number(unsigned n) { return QString::number(n); }

  std::string toStdString() const { return s_.toStdString(); }
  const QString& ToQString() const { return s_; }
  QString& ToQString() { return s_; }
  operator const QString&() const { return s_; }  // NOLINT: eases use of Qt in the platform

  int64_t size() const { return s_.size(); }
  int64_t length() const { return s_.size(); }
  bool isEmpty() const { return s_.isEmpty(); }
  bool empty() const { return s_.isEmpty(); }
  char16_t at(int64_t i) const { return s_.at(static_cast<int>(i)).unicode(); }

  // Splits at `separator` (a literal, not a pattern).
  std::vector<TString> split(const TString& separator,
                             SplitBehavior behavior = SplitBehavior::KeepEmptyParts) const;

  // Reads the next token from `*position` on: skips leading separators
  // characters (each character of `separators` separates) when `behavior` is
  // SkipEmptyParts, returns the token and moves `*position` past it and its
  // separator. Returns an empty string when the text is used up; with
  // KeepEmptyParts an empty token between two separators is also empty, so
  // callers that keep empty parts test `*position` against size().
  TString tokenize(const TString& separators, int64_t* position,
                   SplitBehavior behavior = SplitBehavior::SkipEmptyParts) const;

  // Removes white space at both ends (QString::trimmed), or each character of
  // `chars` when given.
  TString trim() const { return s_.trimmed(); }
  TString trim(const TString& chars) const;

  // Index of `what` at or after `from`, or -1.
  int64_t Find(const TString& what, int64_t from = 0) const;
  int64_t Find(char16_t what, int64_t from = 0) const;
  int64_t ReverseFind(const TString& what) const;
  TString mid(int64_t position, int64_t count = -1) const;
  TString left(int64_t count) const { return s_.left(static_cast<int>(count)); }
  TString right(int64_t count) const { return s_.right(static_cast<int>(count)); }
  // Replaces every occurrence (case-sensitive); returns *this for chaining.
  TString& replace(const TString& before, const TString& after);
  bool startsWith(const TString& s, bool caseSensitive = true) const;
  bool endsWith(const TString& s, bool caseSensitive = true) const;
  bool contains(const TString& s, bool caseSensitive = true) const;
  // <0, 0, >0 like strcmp, ignoring case.
  int CompareNoCase(const TString& other) const;
  bool EqualsNoCase(const TString& other) const { return CompareNoCase(other) == 0; }
  TString toLower() const { return s_.toLower(); }
  TString toUpper() const { return s_.toUpper(); }
  // Turns CR LF and lone CR into LF.
  TString dosToUnix() const;

  // Numeric conversions: `ok`, when given, tells whether the whole text was a
  // number; the value is 0 when it was not.
  int toInt(bool* ok = nullptr, int base = 10) const { return s_.toInt(ok, base); }
  int64_t toLongLong(bool* ok = nullptr, int base = 10) const { return s_.toLongLong(ok, base); }
  uint64_t toULongLong(bool* ok = nullptr, int base = 10) const { return s_.toULongLong(ok, base); }
  double toDouble(bool* ok = nullptr) const { return s_.toDouble(ok); }

  TString& operator+=(const TString& o) {
    s_ += o.s_;
    return *this;
  }
  friend TString operator+(const TString& a, const TString& b) { return a.s_ + b.s_; }
  friend TString operator+(const TString& a, const char* b) { return a.s_ + QString::fromUtf8(b); }
  friend TString operator+(const char* a, const TString& b) { return QString::fromUtf8(a) + b.s_; }
  friend bool operator==(const TString& a, const TString& b) { return a.s_ == b.s_; }
  friend bool operator==(const TString& a, const char* b) { return a.s_ == QString::fromUtf8(b); }
  friend bool operator<(const TString& a, const TString& b) { return a.s_ < b.s_; }
  friend auto operator<=>(const TString& a, const TString& b) { return a.s_.compare(b.s_) <=> 0; }

 private:
  QString s_;
};

std::ostream& operator<<(std::ostream& os, const TString& s);

}  // namespace zor::platform

template <>
struct std::hash<zor::platform::TString> {
  size_t operator()(const zor::platform::TString& s) const noexcept { return qHash(s.ToQString()); }
};
