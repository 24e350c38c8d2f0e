#include "packages/json_document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "packages/package_for_test.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {
namespace {

using test_support::ParseOrFail;
using zor::platform::TString;

TEST(JsonDocumentTest, DoublesKeepSeventeenDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {{0.1, "[0.10000000000000001]"}, {1.5, "[1.5]"}, {1e21, "[1e+21]"}};
  for (const Case& c : cases) {
    Json::Document document(rapidjson::kArrayType);
    document.PushBack(c.value, document.GetAllocator());
    EXPECT_EQ(Json::WriteCompact(document), c.text);
  }
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    Json::Document document(rapidjson::kArrayType);
    document.PushBack(bad, document.GetAllocator());
    EXPECT_THROW(Json::WriteCompact(document), zor::platform::ZorvaneException);
  }
}

TEST(JsonDocumentTest, IntegersAreTellApartFromOtherNumbers) {
  const std::pair<const char*, uint64_t> integers[] = {
      {"[-1]", UINT64_MAX},
      {"[18446744073709551615]", UINT64_MAX},
      {"[5368709120]", 5368709120},
  };
  for (const auto& [text, value] : integers) {
    const Json::Document document = ParseOrFail(text);
    EXPECT_TRUE(Json::IsInteger(document[0])) << text;
    EXPECT_EQ(Json::GetUint64(document[0]), value) << text;
  }
  for (const char* text : {"[1.0]", "[1e3]"}) {
    EXPECT_FALSE(Json::IsInteger(ParseOrFail(text)[0])) << text;
  }
}

// Member order and repeated names are the library's; a string may hold U+0000.
TEST(JsonDocumentTest, TextKeepsEmbeddedZeroCharacters) {
  const Json::Document document = ParseOrFail(R"(["\u0000z"])");
  EXPECT_EQ(Json::GetText(document[0]).size(), 2);
  EXPECT_EQ(Json::WriteCompact(document), R"(["\u0000z"])");
}

// Whatever Parse accepts can be written again: a state file that reads but
// cannot be saved would stop its package for good.
TEST(JsonDocumentTest, StringsThatAreNotTextAreRefused) {
  // The library refuses a lone high surrogate itself.
  const std::pair<std::string, const char*> notText[] = {
      {R"({"x":"\udfff"})", "not UTF-8 text"},
      {R"({"\udc00":1})", "not UTF-8 text"},
      {"{\"x\":\"\xff\"}", "not UTF-8 text"},
      {"{\"x\":\"\xed\xa0\x80\"}", "not UTF-8 text"},
      {"[\"\xc3\"]", "not UTF-8 text"},
      {R"({"x":"\ud800z"})", "surrogate pair in string is invalid"},
  };
  for (const auto& [text, why] : notText) {
    Json::Document document;
    TString error;
    EXPECT_FALSE(Json::Parse(text, &document, &error)) << text;
    EXPECT_TRUE(error.contains(why)) << error;
  }
  const Json::Document pair = ParseOrFail(R"(["\ud83d\ude00\u00e9"])");
  EXPECT_EQ(Json::WriteCompact(pair), R"(["\uD83D\uDE00\u00E9"])");
}

TEST(JsonDocumentTest, NestingIsBoundedWithoutExhaustingTheStack) {
  auto nested = [](size_t depth, const char* inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
  };
  Json::Document document;
  TString error;
  EXPECT_TRUE(Json::Parse(nested(Json::kMaxDepth, "/* c */ 1 // d\n"), &document, &error)) << error;
  EXPECT_EQ(Json::WriteCompact(document), nested(Json::kMaxDepth, "1"));
  // Far past any stack a recursive parser would have.
  for (size_t depth : {size_t{Json::kMaxDepth + 1}, size_t{1'000'000}}) {
    EXPECT_FALSE(Json::Parse(nested(depth, ""), &document, &error));
    EXPECT_TRUE(error.contains("Nesting deeper than 256 levels at offset 256")) << error;
  }
  // A refused document leaves the previous one.
  EXPECT_EQ(Json::WriteCompact(document), nested(Json::kMaxDepth, "1"));
}

}  // namespace
}  // namespace ZorErrorReporting
