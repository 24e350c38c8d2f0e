#include "packages/json_document.h"

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cmath>

#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting::Json {

using zor::platform::TFormatString;
using zor::platform::TString;
using zor::platform::ZorvaneException;

namespace {

using AsciiWriter =
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>>;

// The library's writer prints the shortest text that reads back the same
// double; the files promise 17 significant digits instead. Accept() calls the
// handler's Double by static type, so hiding the base's is enough.
class StateFileWriter : public AsciiWriter {
 public:
  using AsciiWriter::AsciiWriter;

  bool Double(double d) {
    if (!std::isfinite(d)) return false;
    // to_chars, unlike printf, ignores the locale's decimal separator.
    char text[40];
    const auto result = std::to_chars(text, text + sizeof text, d, std::chars_format::general, 17);
    return RawValue(text, static_cast<size_t>(result.ptr - text), rapidjson::kNumberType);
  }
};

}  // namespace

bool Parse(std::string_view utf8, Document* document, TString* error) {
  document->Parse<rapidjson::kParseCommentsFlag>(utf8.data(), utf8.size());
  if (!document->HasParseError()) return true;
  if (error != nullptr) {
    *error = TFormatString("%1 at offset %2")
                 .arg(rapidjson::GetParseError_En(document->GetParseError()))
                 .arg(static_cast<uint64_t>(document->GetErrorOffset()));
  }
  return false;
}

std::string WriteCompact(const Value& value) {
  rapidjson::StringBuffer buffer;
  StateFileWriter writer(buffer);
  if (!value.Accept(writer)) {
    throw ZorvaneException("Cannot write a JSON value that holds a NaN or infinite number");
  }
  return std::string(buffer.GetString(), buffer.GetSize());
}

Value MakeString(const TString& text, Allocator& allocator) {
  const std::string utf8 = text.toStdString();
  return Value(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()), allocator);
}

TString GetText(const Value& value) {
  return TString::fromUtf8(value.GetString(), value.GetStringLength());
}

bool IsInteger(const Value& value) { return value.IsInt64() || value.IsUint64(); }

int64_t GetInt64(const Value& value) {
  return value.IsInt64() ? value.GetInt64() : static_cast<int64_t>(value.GetUint64());
}

uint64_t GetUint64(const Value& value) {
  return value.IsUint64() ? value.GetUint64() : static_cast<uint64_t>(value.GetInt64());
}

bool NameEqualsNoCase(const Value& name, const TString& expected) {
  return GetText(name).EqualsNoCase(expected);
}

}  // namespace ZorErrorReporting::Json
