// RemovalResult: what one removal of a path came to.
//
// A clean-up reports only what it really removed, retries only what failed,
// and takes a refused path as not its own to retry: one value says which.
#pragma once

namespace ZorErrorReporting {

enum class RemovalResult {
  kRemoved,  // something was there and is gone now
  kAbsent,   // nothing was there: nothing changed
  kRefused,  // not the program's to remove (packages/trust_boundary.h); left alone
  kFailed,   // something is still there: the removal failed
};

// True iff nothing is left at the path: removed, or never there.
inline bool IsGone(RemovalResult result) {
  return result == RemovalResult::kRemoved || result == RemovalResult::kAbsent;
}

}  // namespace ZorErrorReporting
