#include "platform/tformat_string.h"

namespace zor::platform {

TFormatString& TFormatString::arg(const TString& value, int fieldWidth, char16_t fill) {
  QString padded = value.ToQString();
  const int width = fieldWidth < 0 ? -fieldWidth : fieldWidth;
  if (padded.size() < width) {
    const QString pad(width - padded.size(), QChar(fill));
    padded = fieldWidth < 0 ? padded + pad : pad + padded;
  }
  args_.emplace_back(std::move(padded));
  return *this;
}

TString TFormatString::str() const {
  const QString& in = pattern_.ToQString();
  QString out;
  out.reserve(in.size());
  for (int i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 1 < in.size() && in[i + 1].isDigit() && in[i + 1] != '0') {
      int number = in[i + 1].digitValue();
      int end = i + 2;
      // A second digit belongs to the placeholder only when that many
      // arguments exist, so "%10" with one argument reads as "%1" and "0".
      if (end < in.size() && in[end].isDigit()) {
        const int two = number * 10 + in[end].digitValue();
        if (two <= static_cast<int>(args_.size())) {
          number = two;
          ++end;
        }
      }
      if (number <= static_cast<int>(args_.size())) {
        out += args_[number - 1].ToQString();
        i = end - 1;
        continue;
      }
    }
    out += in[i];
  }
  return out;
}

}  // namespace zor::platform
