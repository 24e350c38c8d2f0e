// CurlException: a transfer that failed below HTTP (connection refused, name
// resolution, TLS, an aborted body read). A time-out is not one: it leaves
// the reply with status 0. Derives from ZorvaneException so that a caller
// that does not tell network failures apart still catches it; callers that
// do must list it first.
#pragma once

#include "platform/zorvane_exception.h"

namespace zor::platform {

class CurlException : public ZorvaneException {
 public:
  // The code of a URL whose scheme the transport does not go to (libcurl's
  // CURLE_UNSUPPORTED_PROTOCOL); callers that refuse a URL themselves, before
  // the transport sees it, throw it too.
  static constexpr int kRefusedScheme = 1;

  // `curlError` is libcurl's text for the failure; the message names the URL.
  CurlException(const TString& url, const TString& curlError, int curlCode);

  const TString& CurlError() const { return curlError_; }
  int CurlCode() const { return curlCode_; }

 private:
  TString curlError_;
  int curlCode_;
};

}  // namespace zor::platform
