// What a failed upload attempt says about the package, and how long a package
// waits after trouble that says nothing about it.
//
// Only a verdict on the package counts as one of its attempts: an HTTP 4xx
// other than 408, 413 and 429, a reply the protocol cannot use, the
// package's own files unreadable. Everything else is transient: a transport
// failure (a URL the transport refuses to go to included), a time-out, an
// HTTP 3xx (never followed), 5xx, 408, 413 (a part larger than the store
// takes) or 429, a 4xx whose store error code refuses the request itself
// (RequestTimeTooSkewed, AccessDenied, SignatureDoesNotMatch, ExpiredToken
// and the like: a clock or credentials, not the package; EntityTooSmall: the
// configured part size), any refusal or unusable answer of the
// registration (one empty request for every package), a 2xx that is not the
// answer asked for (a completion without its result, a part without its
// tag, a body that is no JSON object), a full disk, a missing permission or an I/O error in the
// data directory. A server that is down for a week, a store whose credentials lapsed, or a disk
// that is full for a day, so loses no crash.
#pragma once

#include <cstdint>
#include <exception>

#include "platform/date_time.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

enum class AttemptFailure { kVerdict, kTransient };

// Thrown when the files a package is made of cannot be read (a dump or log
// removed or made unreadable): a verdict on the package.
class PackageFilesUnreadable : public zor::platform::ZorvaneException {
 public:
  using ZorvaneException::ZorvaneException;
};

// The kind of `failure`, by the rules above. A ZorvaneException that carries
// an OS error (a file-system failure) is transient, as is every
// TPath::Exception: the package's own files are reported as
// PackageFilesUnreadable instead.
AttemptFailure ClassifyFailure(const zor::platform::ZorvaneException& failure);

// The longest a package ever waits between two attempts.
constexpr int64_t kMaxRetryDelayMs = 24LL * 60 * 60 * 1000;

// The earliest next attempt after the `failures`-th transient failure in a
// row (from 1) at `now`: `baseDelayMs` doubled for each failure after the
// first, at most 24 hours. An invalid time (no wait) when `baseDelayMs` is 0.
zor::platform::DateTime NextAttemptAfter(int failures, int64_t baseDelayMs,
                                         const zor::platform::DateTime& now);

// True while `nextAttempt` (as recorded, invalid for none) is still ahead of
// `now`. A recorded time more than the longest delay ahead was set by a clock
// that has since been put back, or by hand: it is not waited for.
bool IsBeforeNextAttempt(const zor::platform::DateTime& nextAttempt,
                         const zor::platform::DateTime& now);

}  // namespace ZorErrorReporting
