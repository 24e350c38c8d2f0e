#include "packages/json_document.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cmath>

#include "platform/display_text.h"
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

// Passes the parser's events to the document, ending the parse at the first
// value nested deeper than the limit.
class DepthLimitedHandler {
 public:
  DepthLimitedHandler(Document& document, unsigned limit) : document_(document), limit_(limit) {}

  bool TooDeep() const { return tooDeep_; }
  bool NotText() const { return notText_; }

  bool Null() { return document_.Null(); }
  bool Bool(bool b) { return document_.Bool(b); }
  bool Int(int i) { return document_.Int(i); }
  bool Uint(unsigned i) { return document_.Uint(i); }
  bool Int64(int64_t i) { return document_.Int64(i); }
  bool Uint64(uint64_t i) { return document_.Uint64(i); }
  bool Double(double d) { return document_.Double(d); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool copy) {
    return document_.RawNumber(text, length, copy);
  }
  // A string's bytes must be characters: the parser passes a lone surrogate
  // escape ("\udfff") and stray bytes through, and a document holding one
  // could be read but never written back.
  bool String(const char* text, rapidjson::SizeType length, bool copy) {
    return IsText(text, length) && document_.String(text, length, copy);
  }
  bool Key(const char* text, rapidjson::SizeType length, bool copy) {
    return IsText(text, length) && document_.Key(text, length, copy);
  }
  bool StartObject() { return Enter() && document_.StartObject(); }
  bool EndObject(rapidjson::SizeType count) {
    --depth_;
    return document_.EndObject(count);
  }
  bool StartArray() { return Enter() && document_.StartArray(); }
  bool EndArray(rapidjson::SizeType count) {
    --depth_;
    return document_.EndArray(count);
  }

 private:
  bool IsText(const char* text, size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    bool cut = false;
    for (size_t at = 0; at < length;) {
      const size_t step = zor::platform::Utf8SequenceLength(bytes + at, length - at, &cut);
      if (step == 0) {
        notText_ = true;
        return false;
      }
      at += step;
    }
    return true;
  }

  bool Enter() {
    if (++depth_ <= limit_) return true;
    tooDeep_ = true;
    return false;
  }

  Document& document_;
  const unsigned limit_;
  unsigned depth_ = 0;
  bool tooDeep_ = false;
  bool notText_ = false;
};

}  // namespace

bool Parse(std::string_view utf8, Document* document, TString* error) {
  // The files come from folders other programs write to: the parser keeps its
  // own stack, and the depth is bounded because walking, copying and writing
  // a document recurse.
  rapidjson::MemoryStream bytes(utf8.data(), utf8.size());
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> input(bytes);
  rapidjson::ParseResult result;
  bool tooDeep = false;
  bool notText = false;
  auto generator = [&](Document& handler) {
    DepthLimitedHandler limited(handler, kMaxDepth);
    rapidjson::Reader reader;
    result = reader.Parse<rapidjson::kParseCommentsFlag | rapidjson::kParseIterativeFlag>(input,
                                                                                          limited);
    tooDeep = limited.TooDeep();
    notText = limited.NotText();
    return !result.IsError();
  };
  Document parsed;
  parsed.Populate(generator);
  if (!result.IsError()) {
    document->Swap(parsed);
    return true;
  }
  if (error != nullptr) {
    TString reason(rapidjson::GetParseError_En(result.Code()));
    if (tooDeep) {
      reason = TFormatString("Nesting deeper than %1 levels").arg(static_cast<uint64_t>(kMaxDepth));
    } else if (notText) {
      reason = "A string that is not UTF-8 text (a lone surrogate or a stray byte)";
    }
    *error =
        TFormatString("%1 at offset %2").arg(reason).arg(static_cast<uint64_t>(result.Offset()));
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
