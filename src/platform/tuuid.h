// TUUID: a universally unique identifier, over QUuid.
//
// Text forms (the `format` of ToString):
//   0  "{1b4e28ba-2fa1-4fd2-883f-0016d3cca427}"  braces and dashes (status files)
//   1  "1b4e28ba2fa14fd2883f0016d3cca427"        32 lower-case hex digits (upload names)
//   2  "1b4e28ba-2fa1-4fd2-883f-0016d3cca427"    dashes only (file names, TString conversion)
// Reading accepts each of the three forms, in either case. A default TUUID is
// the null id (all zero). Thread-safety: a value type.
#pragma once

#include <QUuid>
#include <optional>

#include "platform/tstring.h"

namespace zor::platform {

class TUUID {
 public:
  enum Format : int { kBraces = 0, kHexDigits = 1, kDashes = 2 };

  TUUID() = default;
  // Parses `text` in any of the forms above; the null id when it is none of them.
  explicit TUUID(const TString& text);
  explicit TUUID(const char* text) : TUUID(TString(text)) {}

  // A new random (version 4) id.
  static TUUID Create();
  static TUUID CreateUUID() { return Create(); }
  // The id written in `text`, or nullopt when `text` is not one of the forms.
  static std::optional<TUUID> FromString(const TString& text);

  bool IsNull() const { return value_.isNull(); }
  // The id in text form `format` (the Format values); an unknown format
  // gives form 0.
  TString ToString(int format = kBraces) const;
  explicit operator TString() const { return ToString(kDashes); }

  friend bool operator==(const TUUID& a, const TUUID& b) { return a.value_ == b.value_; }
  friend bool operator<(const TUUID& a, const TUUID& b) { return a.value_ < b.value_; }

 private:
  explicit TUUID(const QUuid& value) : value_(value) {}

  QUuid value_;
};

}  // namespace zor::platform
