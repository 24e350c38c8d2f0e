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

// The alphabet and padding are Qt's; the line breaking, the empty case and
// the strict decoding are ours.
TEST(Base64Test, EmptyInputWhiteSpaceAndDamagedTextWhenDecoding) {
  EXPECT_TRUE(Base64Encode(Bytes(""), true).empty());
  EXPECT_TRUE(Base64Decode("").empty());
  EXPECT_EQ(Base64Decode("Zm9v\nYmFy\r\n"), Bytes("foobar"));
  EXPECT_EQ(Base64Decode(" Zm9v YmE= "), Bytes("fooba"));
  for (const char* text : {"Zm9v!mFy", "Zm9", "Zg=a", "Zm9vYmFy=", "Zm9\xc3\xa9"}) {
    EXPECT_THROW(Base64Decode(TString(text)), ZorvaneException) << text;
  }
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

}  // namespace
}  // namespace zor::platform
