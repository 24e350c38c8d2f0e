// The protocol against the local crash server on loopback (a real object
// store behind the registration service), with packages encrypted by the
// program's own encryptor under the key the server hands out. What the
// server received is read back from its request record.
#include "net/crash_server_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "crypto/package_encryptor.h"
#include "net/http_exception.h"
#include "net/http_requestor.h"
#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "platform/curl_exception.h"
#include "support/http_test_server.h"
#include "support/local_crash_server.h"
#include "support/tiny_proxy.h"

namespace ZorErrorReporting::test_support {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using zor::platform::CurlException;
using zor::platform::TNetworkAccessManager;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUrl;
using zor::platform::ZorvaneException;
using zor::test::LocalCrashServer;

constexpr int64_t kPart = 64 * 1024;

// One request as the server recorded it.
struct Seen {
  std::string kind, method, path, body;
  std::map<std::string, std::string> query, headers;
  int64_t bodyLength = 0;
};

std::map<std::string, std::string> Strings(const rapidjson::Value& object) {
  std::map<std::string, std::string> result;
  for (const auto& m : object.GetObject()) {
    if (m.value.IsString()) result[m.name.GetString()] = m.value.GetString();
  }
  return result;
}

class CrashServerProtocolTest : public TempDirTest {
 protected:
  void SetUp() override { std::filesystem::create_directories(data_); }
  void TearDown() override {
    HttpRequestor::SetTestInstance(nullptr);
    Config::SetTestInstance(nullptr);
    TNetworkAccessManager::SetCustomProxy(nullptr);
  }

  // Installs a configuration for `server` (plus `extra` lines) and a
  // requestor made from it.
  void Configure(const LocalCrashServer& server, const std::string& extra = "") {
    const std::string path = dir_.Sub("c" + std::to_string(++files_) + ".yml");
    zor::test::WriteFile(path, server.Settings(data_, dir_.Sub("dumps"), dir_.Sub("logs")) +
                                   "servercrashupload.upload_part_size_in_bytes: " +
                                   std::to_string(kPart) + "\n" + extra);
    config_ = std::make_unique<Config>();
    config_->Load(TPath(path));
    Config::SetTestInstance(config_.get());
    TNetworkAccessManager::SetCustomProxy(nullptr);
    requestor_ = std::make_unique<HttpRequestor>(*config_);
    HttpRequestor::SetTestInstance(requestor_.get());
  }

  std::unique_ptr<CrashServerProtocol> Protocol(const LocalCrashServer& server) {
    return std::make_unique<CrashServerProtocol>(TUrl(TString(server.BaseUrl())), "");
  }

  // A saved package of `type` whose zip holds `size` bytes, encrypted with
  // the server's key.
  std::shared_ptr<TestPackage> Encrypted(CrashServerProtocol& protocol, PackageType type,
                                         int64_t size, const std::string& name = "pkg") {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    zipPath_ = dir_.Sub(name + ".zip");
    zor::test::WriteFile(zipPath_, bytes);
    auto package =
        JsonFileSerializedObject::SaveNewFile(std::make_shared<TestPackage>(name, type, boundary_),
                                              TPath(data_ + "/" + name + ".pending"));
    package->SetDataFilePath(DataFileKind::kZippedPackageFile, TPath(zipPath_));
    const PublicKeyInfo key = protocol.DownloadPublicKey();
    PackageEncryptor(key.keyId, key.key).EncryptPackage(*package);
    return package;
  }

  std::shared_ptr<TestPackage> Reload(const TestPackage& package) const {
    return TestPackage::LoadFromFile(package.GetFilePath(), boundary_);
  }

  std::vector<Seen> Requests(const LocalCrashServer& server) {
    rapidjson::Document document;
    document.Parse(server.RequestsJson().c_str());
    std::vector<Seen> result;
    for (const auto& r : document.GetArray()) {
      const bool body = r.HasMember("body") && r["body"].IsString();
      result.push_back({r["kind"].GetString(), r["method"].GetString(), r["path"].GetString(),
                        body ? r["body"].GetString() : "", Strings(r["query"]),
                        Strings(r["headers"]), r["bodyLength"].GetInt64()});
    }
    return result;
  }
  std::vector<std::string> Kinds(const LocalCrashServer& server) {
    std::vector<std::string> kinds;
    for (const Seen& seen : Requests(server)) {
      if (seen.kind != "key") kinds.push_back(seen.kind);
    }
    return kinds;
  }

  // The object the server stored for `package`, decrypted with its private key.
  std::string StoredZip(const LocalCrashServer& server, const Package& package) {
    std::string error;
    const std::string out = dir_.Sub("stored.zip");
    EXPECT_TRUE(server.DecryptZip(package.GetRemotePackageId().toStdString(), out, &error))
        << error;
    return zor::test::ReadFile(out);
  }

  std::string data_ = dir_.Sub("data");
  std::string zipPath_;
  int files_ = 0;
  std::unique_ptr<Config> config_;
  std::unique_ptr<HttpRequestor> requestor_;
};

// Each request as the kind and path the server saw (a part's and the
// completion's path are the store's own); also through a real proxy that
// wants credentials (one that refuses wrong ones is
// failure_messages_test.cc's).
TEST_F(CrashServerProtocolTest, FreshUploadOfEachPackageTypeAndOfAnEmptyFile) {
  LocalCrashServer server;
  zor::test::TinyProxy proxy("user", "secret");
  const std::string proxied =
      "servercrashupload.proxy_server_host: 127.0.0.1\n"
      "servercrashupload.proxy_server_port: " +
      std::to_string(proxy.Port()) +
      "\nservercrashupload.proxy_server_username: user\n"
      "servercrashupload.proxy_server_password: secret\n";
  const struct {
    PackageType type;
    const char* segment;
    const char* name;
    std::vector<int64_t> parts;
    bool throughProxy = false;
  } cases[] = {
      {PackageType::kCrashPackage, "crash", "crash", {kPart, kPart, 1}},
      {PackageType::kZippedLogsPackage, "logs", "logs", {kPart, kPart, 1}},
      {PackageType::kCrashPackage, "crash", "empty", {}},
      {PackageType::kCrashPackage, "crash", "proxied", {kPart, 5}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.Reset();
    Configure(server, c.throughProxy ? proxied : "");
    auto protocol = Protocol(server);
    auto package = Encrypted(*protocol, c.type,
                             std::accumulate(c.parts.begin(), c.parts.end(), int64_t{0}), c.name);
    protocol->Upload(*package);

    EXPECT_EQ(StoredZip(server, *package), zor::test::ReadFile(zipPath_));
    const std::string prefix =
        "/crash/" + package->GetRemotePackageId().toStdString() + "/" + c.segment + "/upload-name";
    const std::string upload =
        prefix + "/" + package->GetUploadProgress()->GetUploadId().toStdString();
    std::vector<std::string> expected = {"register /crash", "upload-id " + prefix};
    for (size_t n = 1; n <= c.parts.size(); ++n) {
      expected.insert(expected.end(), {"part-url " + upload + "/" + std::to_string(n), "part"});
    }
    expected.insert(expected.end(), {"complete-url " + upload, "complete"});
    const std::vector<Seen> seen = Requests(server);
    std::vector<std::string> requests;
    std::vector<int64_t> partSizes;
    for (const Seen& s : seen) {
      if (s.kind == "part") partSizes.push_back(s.bodyLength);
      if (s.kind == "part" || s.kind == "complete") requests.push_back(s.kind);
      if (s.kind == "part" || s.kind == "complete" || s.kind == "key") continue;
      requests.push_back(s.kind + " " + s.path);
      // Sent even though it is empty.
      EXPECT_EQ(s.query.count("customerId") ? s.query.at("customerId") : "?", "") << s.path;
      if (s.kind == "register") {
        EXPECT_EQ(s.bodyLength, 0);
        EXPECT_EQ(s.headers.at("content-type"), "application/json");
      }
      if (s.kind == "upload-id") {
        // The package's own values, and its encryption metadata.
        rapidjson::Document registration;
        registration.Parse(s.body.c_str());
        ASSERT_TRUE(registration.IsObject()) << s.body;
        EXPECT_STREQ(registration["client-issue-id"].GetString(), c.name);
        EXPECT_STREQ(registration["system-os-arch"].GetString(), "arch");
        EXPECT_TRUE(registration.HasMember("enc-key"));
      }
    }
    EXPECT_EQ(requests, expected);
    EXPECT_EQ(partSizes, c.parts);
    const auto& tags = *package->GetUploadProgress()->GetCompletedParts();
    EXPECT_EQ(tags.size(), c.parts.size());
    EXPECT_EQ(seen.back().headers.count("content-type"), 0u);
    EXPECT_EQ(seen.back().body, CrashServerRequests::CompletionXml(tags).toStdString());
    // Starting the progress file saved the package, remote id included.
    EXPECT_EQ(Reload(*package)->GetRemotePackageId(), package->GetRemotePackageId());
  }
}

// Drops the given part numbers from the package's saved progress file.
void ForgetParts(const Package& package, std::set<int> parts) {
  const std::string path = package.GetDataFilePath(DataFileKind::kPartsUploadedFile).NativeString();
  rapidjson::Document document;
  document.Parse(zor::test::ReadFile(path).c_str());
  auto& completed = document["parts-completed"];
  for (auto it = completed.Begin(); it != completed.End();) {
    it = parts.count((*it)["part-number"].GetInt()) ? completed.Erase(it) : it + 1;
  }
  zor::test::WriteFile(path, Json::WriteCompact(document));
}

TEST_F(CrashServerProtocolTest, ResumesWhereTheSavedStateEnds) {
  LocalCrashServer server;
  Configure(server);
  auto protocol = Protocol(server);

  // The remote id is saved the moment it comes: a later attempt does not
  // register again.
  auto package = Encrypted(*protocol, PackageType::kCrashPackage, 4 * kPart);
  server.AddFault("upload-id", 1, "status", 503);
  EXPECT_THROW(protocol->Upload(*package), HTTPException);
  package = Reload(*package);
  EXPECT_TRUE(package->HasRemotePackageId());
  server.AddFault("part", 2, "status", 503);
  EXPECT_THROW(protocol->Upload(*package), HTTPException);
  EXPECT_EQ(Kinds(server), (std::vector<std::string>{"register", "upload-id", "upload-id",
                                                     "part-url", "part", "part-url", "part"}));

  // After part 1 of 4: a fresh object resumes with the saved upload id.
  package->Save();
  package = Reload(*package);
  server.Reset();
  server.AddFault("complete", 1, "drop");
  LogCapture log;
  EXPECT_THROW(protocol->Upload(*package), CurlException);
  EXPECT_EQ(Kinds(server),
            (std::vector<std::string>{"part-url", "part", "part-url", "part", "part-url", "part",
                                      "complete-url", "complete"}));

  // Parts 1 and 3 of 4 recorded: only 2 and 4 go, then the completion.
  ForgetParts(*package, {2, 4});
  package = Reload(*package);
  server.Reset();
  protocol->Upload(*package);
  EXPECT_EQ(Kinds(server), (std::vector<std::string>{"part-url", "part", "part-url", "part",
                                                     "complete-url", "complete"}));
  std::vector<std::string> partPaths;
  for (const Seen& s : Requests(server)) {
    if (s.kind == "part-url") partPaths.push_back(s.path.substr(s.path.rfind('/')));
  }
  EXPECT_EQ(partPaths, (std::vector<std::string>{"/2", "/4"}));
  EXPECT_THAT(log.Text(), HasSubstr("was partially uploaded previously"));
  EXPECT_EQ(StoredZip(server, *package), zor::test::ReadFile(zipPath_));

  // The store completed but the run died before recording it: the
  // completion is sent again and succeeds.
  server.Reset();
  protocol->Upload(*Reload(*package));
  EXPECT_EQ(Kinds(server), (std::vector<std::string>{"complete-url", "complete"}));
  EXPECT_EQ(StoredZip(server, *package), zor::test::ReadFile(zipPath_));
}

// A completion refused for its parts' tags (one spoilt on the way) would be
// refused again with the same tags: the next attempt sends the parts again,
// whether the store said so with a 400 or in a 200's body.
TEST_F(CrashServerProtocolTest, ACompletionRefusedForItsPartsSendsThemAgainNextTime) {
  for (const int status : {400, 200}) {
    SCOPED_TRACE(status);
    LocalCrashServer server;
    Configure(server);
    auto protocol = Protocol(server);
    auto package = Encrypted(*protocol, PackageType::kCrashPackage, 2 * kPart);
    server.AddFault("complete", 1, "status", status, "<Error><Code>InvalidPart</Code></Error>");
    try {
      protocol->Upload(*package);
      ADD_FAILURE() << "the refused completion was taken";
    } catch (const HTTPException& e) {
      EXPECT_TRUE(e.RefusesPartTags()) << e.what();
    }
    package = Reload(*package);
    EXPECT_FALSE(package->HasDataFile(DataFileKind::kPartsUploadedFile));
    server.Reset();
    protocol->Upload(*package);
    EXPECT_EQ(Kinds(server), (std::vector<std::string>{"upload-id", "part-url", "part", "part-url",
                                                       "part", "complete-url", "complete"}));
    EXPECT_EQ(StoredZip(server, *package), zor::test::ReadFile(zipPath_));
  }
}

// Locations of other schemes, redirects and replies that are not JSON are
// upload_test.cc's, which also sees that nothing is reached.
TEST_F(CrashServerProtocolTest, FailuresCarryTheServersAnswer) {
  LocalCrashServer server;
  Configure(server, "servercrashupload.http_get_timeout_in_minutes: 0.02\n");
  auto protocol = Protocol(server);
  auto package = Encrypted(*protocol, PackageType::kCrashPackage, 10);
  struct Case {
    const char* kind;
    const char* action;
    int status;
    std::string body;
    std::string expected;  // how what() ends, or with `within`, a part of it
    int code = -1;         // HTTPException code; -1: another exception
    bool within = false;
  };
  // A long body is quoted up to 4 KiB, never cutting a character: here the
  // two-byte 'é' that would straddle the limit goes whole.
  std::string accents = "x";
  for (int i = 0; i < 5000; ++i) accents += "\u00e9";
  std::string quoted = "x";
  for (int i = 0; i < 2047; ++i) quoted += "\u00e9";
  const std::string url = "') occurred in contacting crash upload server (URL: '" +
                          server.BaseUrl() + "/crash'). Error message: 'server replied ";
  const Case cases[] = {
      {"register", "status", 503, accents,
       "Network error (HTTP code: '503" + url + "503 Service Unavailable'. Server response: '" +
           quoted + "\u2026 (10001 bytes)'",
       503},
      // Only a server error's (5xx) body is quoted; of another, only a
      // store's error code.
      {"register", "status", 403, "secret detail",
       "Network error (HTTP code: '403" + url + "403 Forbidden'.", 403},
      {"register", "status", 404,
       "<Error><Code>NoSuchUpload</Code><StringToSign>secret</StringToSign></Error>",
       "Network error (HTTP code: '404" + url + "404 Not Found'. Store error code: 'NoSuchUpload'.",
       404},
      {"register", "status", 403, "<Error><Code>Bad</Code' secret</Code></Error>",
       "Network error (HTTP code: '403" + url + "403 Forbidden'.", 403},
      // Ids that would change the request they go into.
      // The registration's answer judges no package: whatever is wrong with
      // it comes as an HTTP failure, which the upload client tells apart.
      {"register", "status", 200, "{\"crash_id\": \"../../../etc/x\"}",
       "(URL: '" + server.BaseUrl() +
           "/crash') cannot be used: Entry 'crash_id' in the response "
           "is not a usable id: '../../../etc/x' (an id is 1 to 128 of A-Z, a-z, 0-9, '.', '_' and "
           "'-', and not '.' or '..')",
       200},
      {"register", "status", 201, "{\"crash_id\": 5}",
       "cannot be used: Entry 'crash_id' in the response is not a string", 200},
      // A portal's page is not the crash server's answer: a failure with its
      // code, which the upload client tells apart, never one that ends the run.
      {"upload-id", "status", 200, "<html>portal</html>",
       "(HTTP 200, 19 bytes beginning '<html>portal</html>') is not JSON", 200},
      // An empty id is no id: asked for again, it would be asked for forever.
      // Nor does such an answer judge the package.
      {"upload-id", "status", 200, "{\"upload_id\": \" \"}",
       "cannot be used: Entry 'upload_id' is empty", 200, true},
      {"upload-id", "status", 200, "{\"upload_id\": \"a?customerId=evil#frag\"}",
       "cannot be used: Entry 'upload_id' in the response is not a usable id: "
       "'a?customerId=evil#frag'",
       200, true},
      // A time-out names the setting that allowed the time it took.
      {"part-url", "hang", 0, "",
       "The request was allowed 1200 ms (servercrashupload.http_get_timeout_in_minutes).", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    server.Reset();
    server.AddFault(c.kind, 1, c.action, c.status, c.body);
    try {
      protocol->Upload(*Reload(*package));
      ADD_FAILURE() << "no exception";
    } catch (const HTTPException& e) {
      EXPECT_EQ(e.GetHttpCode(), c.code);
      if (c.within) {
        EXPECT_THAT(e.what(), HasSubstr(c.expected));
      } else {
        EXPECT_THAT(e.what(), EndsWith(c.expected));
      }
      if (c.code == 0) {
        EXPECT_EQ(e.GetErrorText(), TString("Network request timed out."));
      }
    } catch (const std::exception& e) {
      EXPECT_EQ(c.code, -1) << e.what();
      EXPECT_THAT(e.what(), HasSubstr(c.expected));
    }
  }

  // The key download names its endpoint in front of what was wrong: here a
  // reply that is no usable key (the server's answers are
  // failure_messages_test.cc's, a page without PEM upload_test.cc's).
  const std::string pem = protocol->DownloadPublicKey().key.data();
  const std::string page = "<html>\n<title>Sign in</title>" + std::string(100, 'x') + "</html>";
  const struct {
    int status;
    std::string body;
    std::string cause;
    std::map<std::string, std::string> headers = {};
  } keyCases[] = {
      {200, page,
       "The reply (HTTP 200, 136 bytes beginning '<html> <title>Sign in</title>" +
           std::string(51, 'x') + "...') is not a usable key: it holds no PEM"},
      {200, pem, "has no key id"},
      {200, pem, "Entry 'key-id' in the response is not a usable id: 'kid/../x y'",
       {{"key-id", "kid/../x y"}}},
  };
  for (const auto& c : keyCases) {
    SCOPED_TRACE(c.body);
    server.Reset();
    server.AddFault("key", 1, "status", c.status, c.body, 0, 1, c.headers);
    try {
      protocol->DownloadPublicKey();
      ADD_FAILURE() << "no exception";
    } catch (const ZorvaneException& e) {
      EXPECT_EQ(e.GetMessagesFront(), TString("Error occurred trying to download the Zorvane RSA "
                                              "public key from '" +
                                              server.BaseUrl() + "/crash/key'."));
      EXPECT_THAT(e.GetConcatenatedMessages().toStdString(), HasSubstr(c.cause));
    }
  }
}

// Ids that would climb a level or add a query member are refused in the
// replies above.
TEST(ServerId, OnlyPlainIdsOfAtMost128CharactersAreUsable) {
  const struct {
    std::string id;
    bool usable;
  } cases[] = {
      {"zor-0123abcdef", true}, {"A.b_c-9", true}, {std::string(128, 'a'), true}, {"...", true},
      {"", false}, {std::string(129, 'a'), false}, {".", false}, {"..", false}, {"a/b", false},
      {"a\rb", false}, {"a\nb", false}, {std::string("a\0b", 3), false}, {"a b", false},
      {"a%2Fb", false}, {"\u00e9", false}, {"kid\x1b[2J", false},
  };
  for (const auto& c : cases) {
    const TString id = TString::fromUtf8(c.id);
    if (c.usable) {
      EXPECT_NO_THROW(CrashServerProtocol::CheckServerId("crash_id", id)) << c.id;
    } else {
      EXPECT_THROW(CrashServerProtocol::CheckServerId("crash_id", id), ZorvaneException) << c.id;
    }
  }
}

// A part is given the time the bandwidth limit needs, with a margin, when
// that is more than the configured PUT time-out.
TEST(PartTimeout, BandwidthLimitCanLengthenThePutTimeOut) {
  const struct {
    int64_t partBytes;
    uint64_t limit;
    int64_t configuredMs;
    int64_t expectedMs;
  } cases[] = {
      {52428800, 0, 600000, 600000},        // no limit
      {52428800, 1048576, 600000, 600000},  // 50 s, 75 s with the margin
      {52428800, 50000, 600000, 1572864},   // 1049 s needed
      {52428800, 131072, 600000, 600000},   // 400 s: 600 s with the margin, just fits
      {52428800, 131071, 600000, 600005},   // one byte/s less does not
      {0, 1, 600000, 600000},               // an empty part
      {10, 1, 1, 15000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CrashServerProtocol::PartTimeoutMs(c.partBytes, c.limit, c.configuredMs),
              c.expectedMs)
        << c.partBytes << " bytes at " << c.limit << " bytes/s";
  }
}

}  // namespace
}  // namespace ZorErrorReporting::test_support
