#include "net/http_requestor.h"

#include <QNetworkProxy>
#include <algorithm>
#include <string>

#include "log/log_functions.h"
#include "net/http_exception.h"
#include "platform/app_config.h"
#include "platform/process_singleton.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TNetworkReply;
using zor::platform::TNetworkRequest;
using zor::platform::TNetworkSession;
using zor::platform::TSequentialIO;
using zor::platform::TString;

namespace {

// The process's requestor, made from the configuration of its first use.
class ConfiguredRequestor : public HttpRequestor {
 public:
  ConfiguredRequestor() : HttpRequestor(Config::GetInstance()) {}
};

using Instance = zor::platform::ProcessSingleton<HttpRequestor, ConfiguredRequestor>;

}  // namespace

TString ReplyPreview(const std::vector<char>& body) {
  constexpr size_t kPreviewBytes = 80;
  std::string text;
  for (const char c : body) {
    if (c == '\0') break;
    if (text.size() == kPreviewBytes) return TString::fromUtf8(text) + "...";
    const bool printable = c >= 0x20 && c < 0x7f;
    text += printable ? c : (c == '\n' || c == '\r' || c == '\t') ? ' ' : '?';
  }
  return TString::fromUtf8(text);
}

HttpRequestor& HttpRequestor::GetInstance() { return Instance::Get(); }

void HttpRequestor::SetTestInstance(HttpRequestor* instance) { Instance::SetTestInstance(instance); }

HttpRequestor::HttpRequestor(const Config& config)
    : manager_(std::make_shared<zor::platform::TNetworkAccessManager>()) {
  const ProxySettings settings = config.GetProxySettings();
  if (!settings.host.isEmpty()) {
    auto proxy = std::make_shared<QNetworkProxy>();
    proxy->setType(QNetworkProxy::HttpProxy);
    proxy->setHostName(settings.host.ToQString());
    if (settings.port > 0) proxy->setPort(static_cast<quint16>(settings.port));
    // Half a credential is no credential: sending a user without its
    // password would only earn a refusal from the proxy.
    if (!settings.username.isEmpty() && !settings.password.isEmpty()) {
      proxy->setUser(settings.username.ToQString());
      proxy->setPassword(settings.password.ToQString());
    }
    zor::platform::TNetworkAccessManager::SetCustomProxy(proxy);
    if (settings.port == 0) {
      LogText(zor::platform::TLog::Warn,
              TFormatString("The proxy '%1' has no servercrashupload.proxy_server_port: the "
                            "transport's default port, 1080, is used.")
                  .arg(settings.host));
    }
  } else if (settings.port > 0) {
    LogText(zor::platform::TLog::Warn,
            "servercrashupload.proxy_server_port is set without "
            "servercrashupload.proxy_server_host: no proxy is used.");
  }
  if (config.GetDisableCertValidation()) {
    // Whoever stands in the way could then hand over a key of their own,
    // and every crash would be encrypted to them.
    LogText(zor::platform::TLog::Warn,
            "TLS certificates are not checked (servercrashupload.disable_cert_validation, or "
            "$zorcrashreporter_disable_cert_validation, is true): anyone on the way to the server "
            "can read what is sent and give a key of "
            "their own. Use it only for tests.");
    manager_->SetAllowInvalidCertificates(true);
  }
  manager_->SetUserAgentString("zorcrashreporter/" +
                               zor::platform::AppConfig::GetInstance().GetBuildVersion());
}

Json::Document HttpRequestor::ReadJsonReply(TNetworkReply& reply, uint64_t count) {
  const std::vector<char> bytes = reply.Read(static_cast<int64_t>(count));
  // The reply is taken as a C string: a NUL byte ends it.
  // No strnlen: an empty body has no buffer at all, and data() is null then.
  const std::string text(bytes.begin(), std::find(bytes.begin(), bytes.end(), '\0'));
  Json::Document document;
  const bool json = Json::Parse(text, &document, nullptr);
  if (!json || !document.IsObject()) {
    const TString what =
        TFormatString(
            "Unable to retrieve data from network reply: the reply from '%1' (HTTP %2, "
            "%3 bytes beginning '%4') is %5")
            .arg(reply.GetUrl().ForLog())
            .arg(reply.GetStatusCode())
            .arg(static_cast<uint64_t>(bytes.size()))
            .arg(ReplyPreview(bytes))
            .arg(json ? "JSON but not an object" : "not JSON");
    throw HTTPException(reply.GetStatusCode(), what, "not a JSON object", {});
  }
  return document;
}

TString HttpRequestor::GetJsonEntry(const Json::Value& object, const TString& name) {
  const std::string wanted = name.toStdString();
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    if (std::string(it->name.GetString(), it->name.GetStringLength()) != wanted) continue;
    if (!it->value.IsString()) {
      const TString message = "Entry '" + name + "' in the response is not a string";
      throw zor::platform::ZorvaneException(
          message, zor::platform::ZorvaneError::MakeError("http", message));
    }
    return TString::fromStdString(std::string(it->value.GetString(), it->value.GetStringLength()));
  }
  const TString message = "Entry '" + name + "' not found in response";
  throw zor::platform::ZorvaneException(message,
                                        zor::platform::ZorvaneError::MakeError("http", message));
}

std::shared_ptr<TNetworkReply> HttpRequestor::Post(const TNetworkRequest& request,
                                                   TSequentialIO& body) {
  return manager_->Post(request, std::make_shared<TNetworkSession>(), body);
}

std::shared_ptr<TNetworkReply> HttpRequestor::Put(const TNetworkRequest& request,
                                                  TSequentialIO& body) {
  return manager_->Put(request, std::make_shared<TNetworkSession>(), body);
}

std::shared_ptr<TNetworkReply> HttpRequestor::Get(const TNetworkRequest& request) {
  return manager_->Get(request, std::make_shared<TNetworkSession>());
}

}  // namespace ZorErrorReporting
