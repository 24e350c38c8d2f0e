#include "upload/attempt_failure.h"

#include <algorithm>

#include "net/http_exception.h"
#include "platform/curl_exception.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::ZorvaneException;

namespace {

// A refusal of the request itself, not of the package: the host's clock off,
// the server's store credentials or signing key gone stale, its bucket gone
// or misnamed, a part larger than the store (or what stands in front of it)
// takes, a body cut short on the way. Every package would be refused alike
// and, counted, given up; it waits instead until the cause is mended.
bool IsStoreTrouble(const HTTPException& http) {
  // A part size the store refuses fails every package of more than one part alike.
  if (http.SaysPartSizeRefused()) return true;
  const zor::platform::TString& storeCode = http.GetStoreCode();
  for (const char* code :
       {"RequestTimeTooSkewed", "AccessDenied", "InvalidAccessKeyId", "SignatureDoesNotMatch",
        "ExpiredToken", "InvalidToken", "TokenRefreshRequired", "AccountProblem", "RequestTimeout",
        "SlowDown", "ServiceUnavailable", "InternalError", "NoSuchBucket", "InvalidBucketName",
        "AllAccessDisabled", "AuthorizationHeaderMalformed", "IncompleteBody"}) {
    if (storeCode == code) return true;
  }
  return false;
}

}  // namespace

AttemptFailure ClassifyFailure(const ZorvaneException& failure) {
  if (dynamic_cast<const PackageFilesUnreadable*>(&failure) != nullptr) {
    return AttemptFailure::kVerdict;
  }
  if (const auto* http = dynamic_cast<const HTTPException*>(&failure)) {
    const int code = http->GetHttpCode();
    // 0: no answer came in time. A 2xx that is not the answer asked for is
    // the store's trouble, or whatever stands in front of it. A redirect is never
    // followed, and what sends one (a moved endpoint, a captive portal) has
    // judged no package; nor has one that wants credentials (401, or 407
    // from a proxy on the way).
    // Refused parts' tags are the store's word on what was sent, though it
    // answered 200: counted, or they would be sent again for ever.
    const bool transient =
        !http->JudgesThePackage() ||
        (!http->RefusesPartTags() &&
         (code == 0 || (code >= 200 && code < 400) || code == 401 || code == 407 || code == 408 ||
          code == 429 || code >= 500 || IsStoreTrouble(*http)));
    return transient ? AttemptFailure::kTransient : AttemptFailure::kVerdict;
  }
  if (dynamic_cast<const zor::platform::CurlException*>(&failure) != nullptr ||
      dynamic_cast<const zor::platform::TPath::Exception*>(&failure) != nullptr) {
    return AttemptFailure::kTransient;
  }
  if (failure.GetError() && failure.GetError()->systemError != 0) {
    return AttemptFailure::kTransient;
  }
  return AttemptFailure::kVerdict;
}

DateTime NextAttemptAfter(int failures, int64_t baseDelayMs, const DateTime& now) {
  if (baseDelayMs <= 0) return DateTime();
  int64_t delay = baseDelayMs;
  for (int n = 1; n < failures && delay < kMaxRetryDelayMs; ++n) delay *= 2;
  return DateTime::FromUnixTimeMs(now.GetAsUnixTimeMs() + std::min(delay, kMaxRetryDelayMs));
}

bool IsBeforeNextAttempt(const DateTime& nextAttempt, const DateTime& now) {
  if (!nextAttempt.IsValid()) return false;
  const int64_t ahead = nextAttempt.GetAsUnixTimeMs() - now.GetAsUnixTimeMs();
  return ahead > 0 && ahead <= kMaxRetryDelayMs;
}

}  // namespace ZorErrorReporting
