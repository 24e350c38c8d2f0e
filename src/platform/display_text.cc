#include "platform/display_text.h"

#include <cstdint>
#include <utility>

namespace zor::platform {

namespace {

void AppendHex(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

}  // namespace

size_t Utf8SequenceLength(const unsigned char* s, size_t size, bool* cut) {
  *cut = false;
  const unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80;  // range of the second byte, per lead byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if (k >= size) {
      *cut = true;
      return 0;
    }
    const unsigned char c = s[k];
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

namespace {

// A character that reorders, hides or breaks text without showing itself
// (bidirectional controls, zero-width and other default-ignorable characters,
// fillers that render blank, line and paragraph separators): a file name with
// one could make a table cell or a log line read otherwise than it is. `s` is
// a well-formed sequence of `length` bytes.
bool IsHiddenFormat(const unsigned char* s, size_t length) {
  uint32_t code = 0;
  if (length == 2) code = (s[0] & 0x1Fu) << 6 | (s[1] & 0x3Fu);
  if (length == 3) code = (s[0] & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
  if (length == 4) {
    code = (s[0] & 0x07u) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
  }
  constexpr std::pair<uint32_t, uint32_t> kHidden[] = {
      {0x00AD, 0x00AD},   {0x034F, 0x034F}, {0x061C, 0x061C},   {0x115F, 0x1160},
      {0x17B4, 0x17B5},   {0x180B, 0x180F}, {0x200B, 0x200F},   {0x2028, 0x202E},
      {0x2060, 0x206F},   {0x3164, 0x3164}, {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},
      {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
      {0xE0000, 0xE0FFF},
  };
  for (const auto& [first, last] : kHidden) {
    if (code >= first && code <= last) return true;
  }
  return false;
}

}  // namespace

std::string EscapeForDisplay(const std::string& bytes, DisplayForm form) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const unsigned char c = s[i];
    bool cut;
    const size_t length = Utf8SequenceLength(s + i, bytes.size() - i, &cut);
    // U+0080..U+009F: some terminals take U+009B as the start of a sequence.
    const bool c1Control = length == 2 && c == 0xC2 && s[i + 1] <= 0x9F;
    if ((c == '\n' || c == '\t') && form == DisplayForm::kLines) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\' && form == DisplayForm::kExactBytes) {
      out += "\\\\";
    } else if (length == 0 || c < 0x20 || c == 0x7F || c1Control) {
      // A bad byte alone, so that the bytes after it are judged afresh.
      AppendHex(out, c);
      if (c1Control) AppendHex(out, s[++i]);
    } else if (IsHiddenFormat(s + i, length)) {
      for (size_t k = 0; k < length; ++k) AppendHex(out, s[i + k]);
      i += length;
      continue;
    } else {
      out.append(bytes, i, length);
      i += length;
      continue;
    }
    ++i;
  }
  return out;
}

TString EscapeForDisplay(const TString& text, DisplayForm form) {
  return TString::fromStdString(EscapeForDisplay(text.toStdString(), form));
}

}  // namespace zor::platform
