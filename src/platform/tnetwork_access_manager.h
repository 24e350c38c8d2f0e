// TNetworkAccessManager: issues HTTP requests. Get, Post and Put only prepare
// a TNetworkReply; the transfer runs when the caller waits for the reply (see
// tnetwork_reply.h for the wait's contract and the body's ownership). Each
// reply has its own transport handle, so replies share no state.
//
// The user agent and the certificate rule are the manager's and are taken
// into each reply when it is issued. The proxy is process-wide: with a
// custom proxy set, the environment's proxy variables are ignored; with none
// set, the transport follows http_proxy, https_proxy and no_proxy.
//
// Thread-safety: the setters and the issuing calls of one manager belong to
// one thread; SetCustomProxy may be called from any thread.
#pragma once

#include <QNetworkProxy>
#include <memory>

#include "platform/tio.h"
#include "platform/tnetwork_reply.h"
#include "platform/tnetwork_request.h"

namespace zor::platform {

class TNetworkAccessManager {
 public:
  std::shared_ptr<TNetworkReply> Get(const TNetworkRequest& request,
                                     std::shared_ptr<TNetworkSession> session);
  // `body` is sent from its current position to its end (a TRandomIO; a
  // device without a size is sent chunked).
  std::shared_ptr<TNetworkReply> Post(const TNetworkRequest& request,
                                      std::shared_ptr<TNetworkSession> session,
                                      TSequentialIO& body);
  std::shared_ptr<TNetworkReply> Put(const TNetworkRequest& request,
                                     std::shared_ptr<TNetworkSession> session, TSequentialIO& body);

  // Accept any server certificate (only when the configuration says so).
  void SetAllowInvalidCertificates(bool allow) { allowInvalidCertificates_ = allow; }
  void SetUserAgentString(const TString& userAgent) { userAgent_ = userAgent; }

  // The proxy of every later request in the process; null removes it. HTTP
  // and SOCKS5 proxies are used; a proxy of type NoProxy turns the
  // environment's proxy off as well.
  static void SetCustomProxy(std::shared_ptr<QNetworkProxy> proxy);
  static std::shared_ptr<const QNetworkProxy> GetCustomProxy();

 private:
  TNetworkReply::Settings CurrentSettings() const;

  bool allowInvalidCertificates_ = false;
  TString userAgent_;
};

}  // namespace zor::platform
