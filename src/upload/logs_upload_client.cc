#include "upload/logs_upload_client.h"

#include "config/config.h"
#include "crypto/package_encryptor.h"
#include "log/log_functions.h"
#include "packages/logs_package.h"
#include "platform/file_functions.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"
#include "upload/crash_package_processor.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TPath;
using zor::platform::TString;

LogsUploadClient::LogsUploadClient(const TPath& zippedLogsFile, const TString& email,
                                   const TString& supportCaseNumber, const TString& configFile)
    : UploadClient(configFile),
      // Absolute, so that a later run resuming the package reads the same file.
      zippedLogsFile_(zor::platform::FromWorkingFolder(zippedLogsFile)),
      email_(email),
      supportCaseNumber_(supportCaseNumber) {}

void LogsUploadClient::Run() {
  // Checked here for a clear refusal before anything is made; encrypting
  // opens and checks it again, on the descriptor it then reads.
  PackageEncryptor::OpenUsersZip(zippedLogsFile_);
  LogText(TLog::Info, "Checking for logs that need uploading...");
  // The lock is held to the end: a `send-crashes` meanwhile leaves the
  // package alone.
  auto created = Processor().CreateLogsPackage(zippedLogsFile_, supportCaseNumber_, email_);
  const std::shared_ptr<LogsPackage>& package = created.package;
  LogText(TLog::Info, "Checking for logs that need uploading: Found '1' package(s) to upload.");
  try {
    UploadPackage(package);
  } catch (const zor::platform::RunInterrupted& e) {
    throw PutBack(*package, e);
  } catch (const zor::platform::ZorvaneException& e) {
    // The run fails, and `list` and the next run see why.
    RecordFailure(*package, e);
    throw;
  }
  LogText(TLog::Info,
          TFormatString("Upload Result Summary: Successfully uploaded '%1' log package(s). Upload "
                        "Endpoint: '%2'. ")
              .arg(1)
              .arg(Config::GetInstance().GetUploadEndpoint().ForLog()));
  package->DeletePackage();
}

}  // namespace ZorErrorReporting
