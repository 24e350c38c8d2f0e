// The JSON library as the state files use it: parsing, compact writing and
// the conversions between the program's text and JSON strings.
//
// Documents are RapidJSON DOMs: an object keeps its members in the order they
// were added or read, a name may occur more than once, and FindMember returns
// the first. This header is the one place that includes RapidJSON's DOM; other
// headers forward-declare through <rapidjson/fwd.h>.
//
// Thread-safety: the functions are stateless; a Value is used by one thread at
// a time.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/tstring.h"

namespace ZorErrorReporting::Json {

using Value = rapidjson::Value;
using Document = rapidjson::Document;
using Allocator = rapidjson::Document::AllocatorType;

// How deeply arrays and objects may nest in a document that Parse accepts.
inline constexpr unsigned kMaxDepth = 256;

// Parses `utf8` as one JSON document; comments in the /* */ and // forms are
// allowed between tokens, and nothing but white space may follow the value.
// The parse uses a bounded call stack whatever the input, and a document that
// nests deeper than kMaxDepth is refused, and so is a string or name that is
// not well-formed UTF-8 (a lone surrogate escape, a stray byte), so that what
// is accepted can be written again. Returns true on success with the
// result in `*document`; on failure returns false, leaves `*document` as it
// was, with "<reason> at offset <n>" in `*error` (when not null).
bool Parse(std::string_view utf8, Document* document, zor::platform::TString* error);

// The compact text of `value`: no white space between tokens, members in
// their order. Non-ASCII characters are written as \uXXXX (surrogate pairs
// above U+FFFF), control characters escaped; doubles with 17 significant
// digits. Throws ZorvaneException for a value that JSON cannot represent (a
// NaN or infinite double).
std::string WriteCompact(const Value& value);

// A JSON string holding `text` as UTF-8, copied into `allocator`'s memory.
Value MakeString(const zor::platform::TString& text, Allocator& allocator);

// The text of a JSON string (embedded zero characters included).
// REQUIRES: value.IsString().
zor::platform::TString GetText(const Value& value);

// True iff `value` is a JSON integer (signed or unsigned 64-bit); false for
// numbers written with a fraction or exponent.
bool IsInteger(const Value& value);
// The integer as a signed 64-bit number; an unsigned value above INT64_MAX
// keeps its bits. REQUIRES: IsInteger(value).
int64_t GetInt64(const Value& value);
// The integer as an unsigned 64-bit number; a negative value keeps its bits.
// REQUIRES: IsInteger(value).
uint64_t GetUint64(const Value& value);

// True iff the member name `name` (a JSON string) equals `expected`, ignoring
// case (TString::CompareNoCase).
bool NameEqualsNoCase(const Value& name, const zor::platform::TString& expected);

}  // namespace ZorErrorReporting::Json
