#include "platform/tnetwork_access_manager.h"

#include <mutex>

namespace zor::platform {

namespace {
std::mutex gProxyMutex;
std::shared_ptr<const QNetworkProxy> gProxy;
}  // namespace

void TNetworkAccessManager::SetCustomProxy(std::shared_ptr<QNetworkProxy> proxy) {
  std::lock_guard lock(gProxyMutex);
  gProxy = std::move(proxy);
}

std::shared_ptr<const QNetworkProxy> TNetworkAccessManager::GetCustomProxy() {
  std::lock_guard lock(gProxyMutex);
  return gProxy;
}

TNetworkReply::Settings TNetworkAccessManager::CurrentSettings() const {
  return {userAgent_, allowInvalidCertificates_, GetCustomProxy()};
}

std::shared_ptr<TNetworkReply> TNetworkAccessManager::Get(
    const TNetworkRequest& request, std::shared_ptr<TNetworkSession> session) {
  return std::shared_ptr<TNetworkReply>(new TNetworkReply(
      TNetworkReply::Method::kGet, request, std::move(session), nullptr, CurrentSettings()));
}

std::shared_ptr<TNetworkReply> TNetworkAccessManager::Post(const TNetworkRequest& request,
                                                           std::shared_ptr<TNetworkSession> session,
                                                           TSequentialIO& body) {
  return std::shared_ptr<TNetworkReply>(new TNetworkReply(
      TNetworkReply::Method::kPost, request, std::move(session), &body, CurrentSettings()));
}

std::shared_ptr<TNetworkReply> TNetworkAccessManager::Put(const TNetworkRequest& request,
                                                          std::shared_ptr<TNetworkSession> session,
                                                          TSequentialIO& body) {
  return std::shared_ptr<TNetworkReply>(new TNetworkReply(
      TNetworkReply::Method::kPut, request, std::move(session), &body, CurrentSettings()));
}

}  // namespace zor::platform
