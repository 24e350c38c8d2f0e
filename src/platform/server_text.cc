#include "platform/server_text.h"

namespace zor::platform {

TString QuoteServerText(const std::string& utf8) {
  if (utf8.size() <= kServerTextQuoteBytes) return TString::fromUtf8(utf8);
  size_t cut = kServerTextQuoteBytes;
  // Back off over continuation bytes (10xxxxxx) so the last character
  // stays whole; a longer run than a sequence can have is not UTF-8 anyway.
  for (int n = 0; n < 3 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80; ++n) --cut;
  return TString::fromUtf8(utf8.substr(0, cut)) + "\u2026 (" +
         TString::Number(static_cast<uint64_t>(utf8.size())) + " bytes)";
}

}  // namespace zor::platform
