#include "net/crash_server_requests.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "packages/package_for_test.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using zor::platform::TString;
using zor::platform::TUrl;

// Whatever an id or the customer id holds stays inside its own segment or
// value: a remote id saved before ids were checked must not add a level or
// a query member.
TEST(CrashServerRequests, EachValueStaysInItsOwnSegment) {
  const CrashServerRequests requests(TUrl(TString("https://h:8/base")), "c&customerId=evil#x");
  const std::string query = "?customerId=c%26customerId%3Devil%23x";
  const struct {
    TUrl url;
    std::string expected;
  } cases[] = {
      {requests.Registration(), "https://h:8/base/crash" + query},
      {requests.UploadId("../a/b?c#d", PackageType::kCrashPackage, "f 1"),
       "https://h:8/base/crash/..%2Fa%2Fb%3Fc%23d/crash/f%201" + query},
      {requests.PackageLocation("r", PackageType::kZippedLogsPackage, "f", "u/1"),
       "https://h:8/base/crash/r/logs/f/u%2F1" + query},
      {requests.PartLocation("r", PackageType::kUnknownPackage, "f", "u", 12),
       "https://h:8/base/crash/r/unknown/f/u/12" + query},
  };
  for (const auto& c : cases) EXPECT_EQ(c.url.ToWire(), c.expected);
  EXPECT_THROW(requests.UploadId("r", static_cast<PackageType>(7), "f"),
               zor::platform::ZorvaneException);
}

TEST(CrashServerRequests, RegistrationMembersInOrderThenTheEncryptionMetadata) {
  RegistrationFields fields{"id", "1.2", "server", "stable", "Linux", "6.1", "x86_64", true};
  Json::Document metadata(rapidjson::kObjectType);
  metadata.AddMember("enc-key", "k\"", metadata.GetAllocator());
  metadata.AddMember("enc-iv", "v", metadata.GetAllocator());
  EXPECT_EQ(CrashServerRequests::RegistrationJson(fields, metadata).toStdString(),
            R"({"client-issue-id":"id","client-product-build":"1.2","client-product-type":)"
            R"("server","client-channel":"stable","system-os":"Linux","system-os-version":)"
            R"("6.1","system-os-arch":"x86_64","client-product-beta":true,"enc-key":"k\"",)"
            R"("enc-iv":"v"})");
  // Another user's text (a manifest's build, a crash file's name) reaches
  // support's screen printable and bounded.
  const RegistrationFields hostile{
      "e\u202ex", "1\n\x1b[2J", std::string(600, 'b'), "\xC3", "\tLinux", "", "x86_64"};
  std::string sent;
  std::string log;
  {
    test_support::LogCapture capture;
    sent = CrashServerRequests::RegistrationJson(hostile, Json::Document(rapidjson::kObjectType))
               .toStdString();
    log = capture.Text();
  }
  // Each changed field is named once, with its own cause.
  EXPECT_THAT(log, HasSubstr("'client-product-type' is sent as '" + std::string(512, 'b') +
                             "\u2026': it was 600 bytes long, and at most 512 are sent"));
  EXPECT_THAT(log, HasSubstr(R"('client-issue-id' is sent as 'e\xe2\x80\xaex': it held )"
                             "characters that are no printable text"));
  EXPECT_THAT(log, Not(HasSubstr("'system-os-arch'")));
  EXPECT_EQ(sent,
            R"({"client-issue-id":"e\\xe2\\x80\\xaex","client-product-build":"1\\n\\x1b[2J",)"
            R"("client-product-type":")" +
                std::string(512, 'b') +
                R"(\u2026","client-channel":"\uFFFD","system-os":"\\tLinux",)"
                R"("system-os-version":"","system-os-arch":"x86_64","client-product-beta":false})");
}

TEST(CrashServerRequests, CompletionListsThePartsInOrderWithTheirTagsEscaped) {
  EXPECT_EQ(CrashServerRequests::CompletionXml({}).toStdString(),
            "<CompleteMultipartUpload></CompleteMultipartUpload>");
  EXPECT_EQ(CrashServerRequests::CompletionXml({{10, "\"b\""}, {2, "\"a\""}}).toStdString(),
            "<CompleteMultipartUpload><Part><PartNumber>2</PartNumber><ETag>\"a\"</ETag></Part>"
            "<Part><PartNumber>10</PartNumber><ETag>\"b\"</ETag></Part>"
            "</CompleteMultipartUpload>");
  // A tag cannot add a part or break the body.
  EXPECT_EQ(CrashServerRequests::CompletionXml({{1, "a&b</ETag></Part><Part>"}}).toStdString(),
            "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>a&amp;b&lt;/ETag&gt;"
            "&lt;/Part&gt;&lt;Part&gt;</ETag></Part></CompleteMultipartUpload>");
}

}  // namespace
}  // namespace ZorErrorReporting
