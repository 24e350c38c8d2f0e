// LogsUploadClient: `send-logs`. Uploads the user's zip of logs as one logs
// package with the e-mail address and support case number. The package's
// lock is held from before its status file exists until the end (see
// upload/package_lock.h). Any failure reaches the caller (the package is then
// left in "Started", and the next `send-logs` removes it); a signal puts it
// back as "PendingRetry" first (UploadClient::PutBack). After success the
// package's own files go; the user's zip stays.
#pragma once

#include "platform/tpath.h"
#include "upload/error_reporting_client.h"
#include "upload/upload_client.h"

namespace ZorErrorReporting {

class LogsUploadClient : public IErrorReportingClient, private UploadClient {
 public:
  // Builds the UploadClient (see there for what it throws). `email` and
  // `supportCaseNumber` may be empty.
  LogsUploadClient(const zor::platform::TPath& zippedLogsFile, const zor::platform::TString& email,
                   const zor::platform::TString& supportCaseNumber,
                   const zor::platform::TString& configFile);

  // Throws ZorvaneException "Unable to open file '<path>': <cause>" when the
  // zip is refused (PackageEncryptor::OpenUsersZip), before any package is
  // made.
  void Run() override;

 private:
  zor::platform::TPath zippedLogsFile_;
  zor::platform::TString email_;
  zor::platform::TString supportCaseNumber_;
};

}  // namespace ZorErrorReporting
