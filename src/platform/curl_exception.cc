#include "platform/curl_exception.h"

namespace zor::platform {

CurlException::CurlException(const TString& url, const TString& curlError, int curlCode)
    : ZorvaneException("HTTP request to '" + url + "' failed: " + curlError,
                       ZorvaneError::MakeError("network", curlError)),
      curlError_(curlError),
      curlCode_(curlCode) {}

}  // namespace zor::platform
