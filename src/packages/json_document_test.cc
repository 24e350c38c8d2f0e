#include "packages/json_document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TString;

Json::Document ParseOrFail(const std::string& text) {
  Json::Document document;
  TString error;
  EXPECT_TRUE(Json::Parse(text, &document, &error)) << text << ": " << error;
  return document;
}

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
  struct Case {
    const char* text;
    bool integer;
    uint64_t value;
  };
  const Case cases[] = {
      {"[5]", true, 5},
      {"[-1]", true, std::numeric_limits<uint64_t>::max()},
      {"[18446744073709551615]", true, std::numeric_limits<uint64_t>::max()},
      {"[5368709120]", true, 5368709120},
      {"[1.0]", false, 0},
      {"[1e3]", false, 0},
  };
  for (const Case& c : cases) {
    const Json::Document document = ParseOrFail(c.text);
    const Json::Value& number = document[0];
    EXPECT_EQ(Json::IsInteger(number), c.integer) << c.text;
    if (c.integer) {
      EXPECT_EQ(Json::GetUint64(number), c.value) << c.text;
    }
  }
}

TEST(JsonDocumentTest, RepeatedNamesAndOrderSurviveARoundTrip) {
  const std::string text = R"({"b":1,"a":{"x":[true,null]},"b":"two","\u00e9":"\u0000z"})";
  const Json::Document document = ParseOrFail(text);
  EXPECT_EQ(document.FindMember("b")->value.GetInt(), 1);
  EXPECT_EQ(Json::GetText(document.MemberBegin()[3].value).size(), 2);
  EXPECT_EQ(Json::WriteCompact(document),
            R"({"b":1,"a":{"x":[true,null]},"b":"two","\u00E9":"\u0000z"})");
}

TEST(JsonDocumentTest, ParseErrorsGiveReasonAndOffset) {
  Json::Document document;
  TString error;
  EXPECT_FALSE(Json::Parse(R"({"a":1,})", &document, &error));
  EXPECT_TRUE(error.contains("at offset 7")) << error;
  EXPECT_FALSE(Json::Parse("", &document, nullptr));
}

}  // namespace
}  // namespace ZorErrorReporting
