// Base64 (RFC 4648: standard alphabet, '=' padding) for binary fields stored
// in JSON text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/tstring.h"

namespace zor::platform {

// Characters per line when Base64Encode breaks lines (the MIME line length).
inline constexpr int kBase64LineLength = 76;

// Encodes `bytes`. With `lineBreaks` the text comes as lines of
// kBase64LineLength characters, the last one possibly shorter; without, as a
// single line. The lines carry no line-end characters, so joining them gives
// the unbroken encoding. Empty input gives no lines.
std::vector<TString> Base64Encode(const std::vector<uint8_t>& bytes, bool lineBreaks);
std::vector<TString> Base64Encode(const uint8_t* data, size_t size, bool lineBreaks);

// Decodes `text`; white space (line ends included) is ignored.
// Throws ZorvaneException when the rest is not valid padded Base64.
std::vector<uint8_t> Base64Decode(const TString& text);

}  // namespace zor::platform
