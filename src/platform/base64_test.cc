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

TEST(Base64Test, Rfc4648VectorsAndWhiteSpaceWhenDecoding) {
  // The RFC's vectors: each prefix of "foobar".
  const char* encodings[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (size_t n = 0; n < std::size(encodings); ++n) {
    const std::string plain = std::string("foobar").substr(0, n);
    const char* encoded = encodings[n];
    for (bool lineBreaks : {false, true}) {
      EXPECT_EQ(Joined(Base64Encode(Bytes(plain), lineBreaks)), encoded) << plain;
    }
    EXPECT_EQ(Base64Decode(encoded), Bytes(plain)) << encoded;
  }
  EXPECT_EQ(Base64Decode("Zm9v\nYmFy\r\n"), Bytes("foobar"));
  EXPECT_EQ(Base64Decode(" Zm9v YmE= "), Bytes("fooba"));
}

TEST(Base64Test, LineBreakingCutsAt76Characters) {
  // 57 bytes make exactly one full line of 76 characters.
  const std::pair<size_t, std::vector<int>> cases[] = {
      {57, {76}}, {58, {76, 4}}, {114, {76, 76}}, {256, {76, 76, 76, 76, 40}}};
  for (const auto& [size, lineLengths] : cases) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    const auto lines = Base64Encode(data, true);
    std::vector<int> lengths;
    for (const auto& line : lines) lengths.push_back(static_cast<int>(line.size()));
    EXPECT_EQ(lengths, lineLengths) << size;
    EXPECT_EQ(Base64Encode(data, false), std::vector<TString>{Joined(lines)});
    EXPECT_EQ(Base64Decode(Joined(lines)), data);
  }
}

TEST(Base64Test, DecodingRefusesDamagedText) {
  for (const char* text : {"Zm9v!mFy", "Zm9", "Zg=a", "Zm9vYmFy=", "Zm9\xc3\xa9"}) {
    EXPECT_THROW(Base64Decode(TString(text)), ZorvaneException) << text;
  }
}

}  // namespace
}  // namespace zor::platform
