// CrashUploadClient: `send-crashes`. Uploads every package crash discovery
// returns, one after another; a package that fails becomes "PendingRetry"
// and the next one is tried, unless the crash server or its store left a
// request unanswered past its time-out: the others then wait, untouched, for
// the next run. A package that asked nothing of the server (it waited, or
// another process held it) gives its place under the upload rate limit to
// the next package held back. A failure that is a verdict on the package
// (upload/attempt_failure.h) is recorded as a "ClientError" result, one of
// its attempts; any other is logged at Error and recorded as the package's
// last error with a retry delay, not as an attempt. A failure that is not
// the program's own (not a ZorvaneException) ends the run at once, without a
// summary; the next run settles the package it left. Each attempt holds the
// package's lock; a package another process holds (a `send-logs` at work) is
// skipped, neither uploaded nor failed. A signal (RunInterrupted, checked
// before each package and during its transfers) ends the run too, after the
// package in flight is put back (UploadClient::PutBack).
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/tlock_file.h"
#include "upload/error_reporting_client.h"
#include "upload/upload_client.h"
#include "upload/upload_run_stats.h"

namespace ZorErrorReporting {

class CrashUploadClient : public IErrorReportingClient, private UploadClient {
 public:
  // Builds the UploadClient (see there for what it throws), takes the data
  // directory's run lock "zorcrashreporter.lock" for the client's life, then
  // tells discovery whether packages with full dumps may be uploaded. A
  // second run over the same data directory (with another log folder, whose
  // lock it does not share) throws TPath::Exception "TLockFile: cannot lock
  // '<path>': it is held by another process". `heldLock` is the run lock
  // the caller holds (its log folder's); when it is the same file as the
  // data directory's, that one is not taken again.
  CrashUploadClient(bool includeFullDumps, const zor::platform::TString& configFile,
                    const zor::platform::TPath& heldLock = {});

  void Run() override;

  // What Run did so far (also after it threw), for the metrics file.
  const UploadRunStats& GetRunStats() const { return stats_; }

 private:
  void UploadNewCrashes(const std::vector<std::shared_ptr<Package>>& packages);

  // Else two runs would each make a package of one new crash, and send both.
  // A file of mode 0600, not the directory itself: any user who may read a
  // directory can hold a lock on it, and so keep every run out.
  std::optional<zor::platform::TLockFile> runLock_;
  UploadRunStats stats_;
};

}  // namespace ZorErrorReporting
