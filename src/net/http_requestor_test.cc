#include "net/http_requestor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "net/http_exception.h"
#include "net/tchunk_file.h"
#include "packages/package_for_test.h"
#include "platform/app_config.h"
#include "platform/curl_exception.h"
#include "platform/error_of_for_test.h"
#include "platform/tbuffer.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::CurlException;
using zor::platform::OpenMode;
using zor::platform::TNetworkAccessManager;
using zor::platform::TNetworkReply;
using zor::platform::TNetworkRequest;
using zor::platform::TString;
using zor::platform::TUrl;
using zor::test::HttpTestServer;

class HttpRequestorTest : public ::testing::Test {
 protected:
  void TearDown() override { TNetworkAccessManager::SetCustomProxy(nullptr); }

  // A requestor made from a configuration file with `lines`.
  std::unique_ptr<HttpRequestor> Make(const std::string& lines) {
    const std::string path = dir_.Sub("c" + std::to_string(++files_) + ".yml");
    zor::test::WriteFile(path, lines);
    config_ = std::make_unique<Config>();
    config_->Load(path);
    return std::make_unique<HttpRequestor>(*config_);
  }
  static TNetworkRequest Request(const std::string& url) {
    return TNetworkRequest(TUrl(TString(url)));
  }
  // The finished, opened reply of a GET.
  static std::shared_ptr<TNetworkReply> Fetch(HttpRequestor& requestor, const std::string& url) {
    auto reply = requestor.Get(Request(url));
    reply->Open(OpenMode::ReadWrite);
    EXPECT_TRUE(reply->WaitForFinished(10000));
    return reply;
  }
  static QJsonObject EchoOf(TNetworkReply& reply) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(reply.ReadAll())).object();
  }

  zor::test::ScopedTempDir dir_;
  int files_ = 0;
  std::unique_ptr<Config> config_;
  HttpTestServer server_;
};

TEST_F(HttpRequestorTest, ConfigurationSetsProxyCredentialsCertificatesAndUserAgent) {
  HttpTestServer tlsServer(/*tls=*/true);
  struct Case {
    std::string config;
    bool tls;
    bool proxied;
    std::optional<QString> proxyAuthorization;
    bool throws = false;
    const char* warning = "";  // what the log must say of the setting
  };
  const std::string host = "servercrashupload.proxy_server_host: 127.0.0.1\n";
  const std::string port =
      "servercrashupload.proxy_server_port: " + std::to_string(server_.Port()) + "\n";
  const std::string user = "servercrashupload.proxy_server_username: u\n";
  const std::string password = "servercrashupload.proxy_server_password: p\n";
  const Case cases[] = {
      {host + port + user + password, false, true, "Basic dTpw"},
      {host + port + user, false, true, std::nullopt},
      {port + user + password, false, false, std::nullopt, false,
       "proxy_server_port is set without servercrashupload.proxy_server_host: no proxy is used."},
      {"servercrashupload.disable_cert_validation: TRUE\n", true, false, std::nullopt, false,
       "TLS certificates are not checked"},
      {"servercrashupload.disable_cert_validation: false\n", true, false, std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    test_support::LogCapture log;
    auto requestor = Make(c.config);
    EXPECT_THAT(log.Text(), ::testing::HasSubstr(c.warning));
    const std::string url = (c.tls ? tlsServer : server_).Url("/echo");
    if (c.throws) {
      EXPECT_THROW(requestor->Get(Request(url))->WaitForFinished(10000), CurlException);
    } else {
      const QJsonObject echo = EchoOf(*Fetch(*requestor, url));
      EXPECT_EQ(echo["path"].toString().toStdString(), c.proxied ? url : "/echo");
      EXPECT_EQ(zor::test::EchoedHeader(echo, "proxy-authorization"), c.proxyAuthorization);
      EXPECT_EQ(zor::test::EchoedHeader(echo, "user-agent"),
                "zorcrashreporter/" +
                    zor::platform::AppConfig::GetInstance().GetBuildVersion().ToQString());
    }
    TNetworkAccessManager::SetCustomProxy(nullptr);
  }
}

TEST_F(HttpRequestorTest, JsonReplyAndEntry) {
  struct Case {
    std::string body;
    uint64_t count;
    const char* name;
    const char* value;  // nullptr: an exception
    const char* error;  // how its text ends
  };
  const Case cases[] = {
      {R"({"location":"first","location":"second"})", 1 << 20, "location", "first", ""},
      {R"({"Location":"x"})", 1 << 20, "location", nullptr,
       "Entry 'location' not found in response"},
      {R"({"crash_id":"c-1"})", 18, "crash_id", "c-1", ""},
      {R"({"crash_id":5})", 1 << 20, "crash_id", nullptr,
       "Entry 'crash_id' in the response is not a string"},
      {R"({"crash_id":"c-1"})", 17, "crash_id", nullptr,
       "17 bytes beginning '{\"crash_id\":\"c-1\"') is not JSON"},
      {R"({"crash_id":"c-1"})", 0, "crash_id", nullptr, "0 bytes beginning '') is not JSON"},
      {"[1,2]", 1 << 20, "x", nullptr, "5 bytes beginning '[1,2]') is JSON but not an object"},
  };
  auto requestor = Make("");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const QByteArray query = QUrl::toPercentEncoding(QString::fromStdString(c.body));
    auto reply = Fetch(*requestor, server_.Url("/body?" + query.toStdString()));
    const auto entry = [&] {
      return requestor->GetJsonEntry(requestor->ReadJsonReply(*reply, c.count), c.name);
    };
    if (c.value) {
      EXPECT_EQ(entry(), TString(c.value));
      continue;
    }
    EXPECT_THAT(zor::test::ErrorOf(entry), ::testing::EndsWith(c.error));
    // Not the crash server's answer: a failure of the upload, with its code,
    // that says where it came from.
    if (std::string(c.error).find("JSON") != std::string::npos) {
      try {
        entry();
      } catch (const HTTPException& e) {
        EXPECT_EQ(e.GetHttpCode(), 200);
        EXPECT_THAT(e.what(), ::testing::HasSubstr("Unable to retrieve data from network reply: "
                                                   "the reply from '" +
                                                   server_.Url("/body") + "' (HTTP 200, "));
      }
    }
  }
}

// One "Name:  123 kB" line of /proc/self/status, in KiB; -1 when absent.
int64_t StatusKiB(const std::string& name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name, 0) == 0) return std::stoll(line.substr(name.size()));
  }
  return -1;
}

// A part of a large package file goes out read piece by piece: the server
// receives exactly the part's bytes while the process never holds them.
TEST_F(HttpRequestorTest, PutStreamsAFilePartWithoutLoadingIt) {
  constexpr int64_t kMiB = 1 << 20;
  constexpr int64_t kStart = kMiB, kLength = 62 * kMiB;
  const std::string path = dir_.Sub("package.enc");
  QCryptographicHash hash(QCryptographicHash::Sha256);
  {
    std::ofstream out(path, std::ios::binary);
    std::string block(kMiB, '\0');
    for (int64_t i = 0; i < 64; ++i) {
      for (int64_t j = 0; j < kMiB; j += 8) block[j] = static_cast<char>(i * 31 + j / 8);
      out.write(block.data(), kMiB);
      if (i * kMiB >= kStart && i * kMiB < kStart + kLength) hash.addData(block.data(), kMiB);
    }
  }
  TChunkFile part(TString(path), kStart, kLength);
  auto requestor = Make("");
  TNetworkRequest request = Request(server_.Url("/echo"));
  request.SetUploadBandwidthLimit(1ull << 40);  // set, and far above what loopback reaches
  auto reply = requestor->Put(request, part);
  reply->Open(OpenMode::ReadWrite);

  // The peak is compared with the resident size at the reset, not with a
  // fixed figure: a sanitizer build starts tens of MiB higher.
  std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak-memory count
  const int64_t startKiB = StatusKiB("VmRSS:");
  ASSERT_TRUE(reply->WaitForFinished(60000));
  const int64_t peakKiB = StatusKiB("VmHWM:");
  const QJsonObject echo = EchoOf(*reply);
  EXPECT_EQ(static_cast<int64_t>(echo["length"].toDouble()), kLength);
  EXPECT_EQ(echo["sha256"].toString(), QString(hash.result().toHex()));
  ASSERT_GT(startKiB, 0);
  EXPECT_LT((peakKiB - startKiB) * 1024, 16 * kMiB) << "the part was loaded into memory";
}

}  // namespace
}  // namespace ZorErrorReporting
