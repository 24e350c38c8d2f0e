// TFormatString: a message template with numbered placeholders %1, %2, ...
//
// The n-th call of arg() fills every placeholder numbered n; placeholders
// without an argument stay as written, and an argument whose number the
// template lacks leaves no trace. Placeholders run up to %99.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/tstring.h"

namespace zor::platform {

class TFormatString {
 public:
  explicit TFormatString(TString pattern) : pattern_(std::move(pattern)) {}

  // Adds the next argument; `fieldWidth` pads to that width with `fill`
  // (negative: left-aligned), as QString::arg does.
  TFormatString& arg(const TString& value, int fieldWidth = 0, char16_t fill = u' ');
  TFormatString& arg(const char* value) { return arg(TString(value)); }
  TFormatString& arg(int64_t value) { return arg(TString::Number(value)); }
  TFormatString& arg(uint64_t value) { return arg(TString::Number(value)); }
  TFormatString& arg(int value) { return arg(TString::Number(value)); }
  TFormatString& arg(unsigned value) { return arg(TString::Number(value)); }

  // The template with every known placeholder replaced.
  TString str() const;
  operator TString() const { return str(); }  // NOLINT
  std::string toStdString() const { return str().toStdString(); }

 private:
  TString pattern_;
  std::vector<TString> args_;
};

}  // namespace zor::platform
