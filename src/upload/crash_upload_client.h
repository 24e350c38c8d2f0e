// CrashUploadClient: `send-crashes`. Uploads every package crash discovery
// returns, one after another; a package that fails gets a result
// ("NetworkError" for a transport failure, "ClientError" for any other
// failure of ours) and "PendingRetry", and the next one is tried. A failure
// that is not the program's own (not a ZorvaneException) ends the run at
// once, without a summary; the next run settles the package it left. So does
// a signal (RunInterrupted, checked before each package and during its
// transfers), after the package in flight is put back (UploadClient::PutBack).
#pragma once

#include <memory>
#include <vector>

#include "upload/error_reporting_client.h"
#include "upload/upload_client.h"
#include "upload/upload_run_stats.h"

namespace ZorErrorReporting {

class CrashUploadClient : public IErrorReportingClient, private UploadClient {
 public:
  // Builds the UploadClient (see there for what it throws), then tells
  // discovery whether packages with full dumps may be uploaded.
  CrashUploadClient(bool includeFullDumps, const zor::platform::TString& configFile);

  void Run() override;

  // What Run did so far (also after it threw), for the metrics file.
  const UploadRunStats& GetRunStats() const { return stats_; }

 private:
  void UploadNewCrashes(const std::vector<std::shared_ptr<Package>>& packages);

  UploadRunStats stats_;
};

}  // namespace ZorErrorReporting
