#include "platform/server_text.h"

#include "platform/display_text.h"

namespace zor::platform {

namespace {

// Where `utf8` may be cut at `limit` (< its size) without splitting a
// character: back over continuation bytes (10xxxxxx); a longer run than a
// sequence can have is not UTF-8 anyway.
size_t CutAt(const std::string& utf8, size_t limit) {
  size_t cut = limit;
  for (int n = 0; n < 3 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80; ++n) --cut;
  return cut;
}

}  // namespace

TString QuoteServerText(const std::string& utf8) {
  if (utf8.size() <= kServerTextQuoteBytes) return TString::fromUtf8(utf8);
  return TString::fromUtf8(utf8.substr(0, CutAt(utf8, kServerTextQuoteBytes))) + "\u2026 (" +
         TString::Number(static_cast<uint64_t>(utf8.size())) + " bytes)";
}

TString TextForRecord(const TString& text) {
  const std::string utf8 = text.toStdString();
  if (utf8.size() <= kRecordFieldBytes) return TString(EscapeForDisplay(utf8));
  return TString(EscapeForDisplay(utf8.substr(0, CutAt(utf8, kRecordFieldBytes))) + "\u2026");
}

}  // namespace zor::platform
