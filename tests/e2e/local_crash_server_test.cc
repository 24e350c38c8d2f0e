// The crash server fixture as the end-to-end tests use it: over HTTPS with
// its own certificate, and decrypt.js.
#include "support/local_crash_server.h"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

namespace zor::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// GET of `url` trusting only `caPath`; returns the HTTP status, 0 when none came.
long GetStatus(const std::string& url, const std::string& caPath, std::string* keyIdHeader) {
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_CAINFO, caPath.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, +[](char* data, size_t s, size_t n, void* sink) {
    const std::string line(data, s * n);
    if (line.rfind("key-id: ", 0) == 0) *static_cast<std::string*>(sink) = line.substr(8);
    return s * n;
  });
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, keyIdHeader);
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return status;
}

TEST(LocalCrashServerTest, ServesHttpsDecryptsAndRemovesItsData) {
  std::string dataDir;
  {
    LocalCrashServer server(LocalCrashServer::Options{.https = true});
    dataDir = server.DataDir();
    ASSERT_THAT(server.BaseUrl(), MatchesRegex("https://127\\.0\\.0\\.1:[0-9]+"));

    // Faults and the request list, used by every end-to-end test, are the
    // server's own (tools/crash-server/test); a fault it refuses throws here.
    std::string keyId;
    EXPECT_EQ(GetStatus(server.BaseUrl() + "/crash/key", server.CertificatePath(), &keyId), 200);
    EXPECT_THAT(keyId, MatchesRegex("zor-[0-9a-f]{16}\r\n"));
    EXPECT_THROW(server.AddFault("key", 1, "explode"), std::runtime_error);

    std::string error;
    const std::string unknown = "0123456789abcdef0123456789abcdef";
    EXPECT_FALSE(server.DecryptZip(unknown, dataDir + "/out.zip", &error));
    EXPECT_THAT(error, HasSubstr(unknown));
  }
  EXPECT_FALSE(std::filesystem::exists(dataDir));
}

}  // namespace
}  // namespace zor::test
