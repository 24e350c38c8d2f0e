#include "platform/base64.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/zorvane_exception.h"

namespace zor::platform {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TString Joined(const std::vector<TString>& lines) {
  TString all;
  for (const auto& line : lines) all += line;
  return all;
}

TEST(Base64Test, Rfc4648Vectors) {
  const struct {
    const char* plain;
    const char* encoded;
  } vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& v : vectors) {
    for (bool lineBreaks : {false, true}) {
      EXPECT_EQ(Joined(Base64Encode(Bytes(v.plain), lineBreaks)), v.encoded) << v.plain;
    }
    EXPECT_EQ(Base64Decode(v.encoded), Bytes(v.plain)) << v.encoded;
  }
}

TEST(Base64Test, LineBreakingCutsAt76Characters) {
  // 57 bytes make exactly one full line of 76 characters.
  const struct {
    size_t bytes;
    std::vector<int> lineLengths;
  } cases[] = {
      {57, {76}},
      {58, {76, 4}},
      {114, {76, 76}},
      {256, {76, 76, 76, 76, 40}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> data(c.bytes);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    const auto lines = Base64Encode(data, true);
    std::vector<int> lengths;
    for (const auto& line : lines) lengths.push_back(static_cast<int>(line.size()));
    EXPECT_EQ(lengths, c.lineLengths) << c.bytes;

    const auto unbroken = Base64Encode(data, false);
    ASSERT_EQ(unbroken.size(), 1u);
    EXPECT_EQ(Joined(lines), unbroken[0]);
    EXPECT_EQ(Base64Decode(Joined(lines)), data);
  }
}

TEST(Base64Test, DecodingSkipsWhiteSpace) {
  EXPECT_EQ(Base64Decode("Zm9v\nYmFy\r\n"), Bytes("foobar"));
  EXPECT_EQ(Base64Decode(" Zm9v YmE= "), Bytes("fooba"));
}

TEST(Base64Test, DecodingRefusesDamagedText) {
  for (const char* text : {"Zm9v!mFy", "Zm9", "Zg=a", "Zm9vYmFy=", "Zm9\xc3\xa9"}) {
    EXPECT_THROW(Base64Decode(TString(text)), ZorvaneException) << text;
  }
}

}  // namespace
}  // namespace zor::platform
