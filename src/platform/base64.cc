#include "platform/base64.h"

#include <QByteArray>

#include "platform/zorvane_exception.h"

namespace zor::platform {

std::vector<TString> Base64Encode(const std::vector<uint8_t>& bytes, bool lineBreaks) {
  return Base64Encode(bytes.data(), bytes.size(), lineBreaks);
}

std::vector<TString> Base64Encode(const uint8_t* data, size_t size, bool lineBreaks) {
  std::vector<TString> lines;
  if (size == 0) return lines;
  const QByteArray encoded =
      QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size))
          .toBase64();
  const int step = lineBreaks ? kBase64LineLength : encoded.size();
  for (int start = 0; start < encoded.size(); start += step) {
    lines.emplace_back(QString::fromLatin1(encoded.mid(start, step)));
  }
  return lines;
}

std::vector<uint8_t> Base64Decode(const TString& text) {
  QByteArray compact;
  compact.reserve(static_cast<int>(text.size()));
  for (const QChar c : text.ToQString()) {
    if (c.isSpace()) continue;
    if (c.unicode() > 0x7f) {
      throw ZorvaneException(TFormatString("Invalid Base64 text: character U+%1")
                                 .arg(TString::Number(static_cast<unsigned>(c.unicode()))));
    }
    compact.append(static_cast<char>(c.unicode()));
  }
  // Strict mode: Qt's default decoder skips any character it does not know,
  // which would turn a damaged key into a different key without a word.
  const auto result = QByteArray::fromBase64Encoding(
      compact, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
  if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok || compact.size() % 4 != 0) {
    throw ZorvaneException(TString("Invalid Base64 text"));
  }
  const QByteArray& decoded = result.decoded;
  return std::vector<uint8_t>(decoded.begin(), decoded.end());
}

}  // namespace zor::platform
