#include "upload/crash_upload_client.h"

#include "config/config.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "platform/curl_exception.h"
#include "platform/date_time.h"
#include "platform/tformat_string.h"
#include "upload/attempt_failure.h"
#include "upload/crash_package_processor.h"
#include "upload/metrics_file.h"
#include "upload/package_lock.h"

namespace ZorErrorReporting {

using zor::platform::CurlException;
using zor::platform::DateTime;
using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TString;
using zor::platform::ZorvaneException;

namespace {

// Records a failed attempt where `list` shows it. A verdict is an upload
// result (an attempt); anything else only delays the next attempt. Saving may
// fail as the attempt did (a full disk): the status file then keeps what it
// had, and the next run settles it without counting an attempt.
void RecordFailure(Package& package, const ZorvaneException& e) {
  const TString text = e.GetConcatenatedMessages();
  const bool transport = dynamic_cast<const CurlException*>(&e) != nullptr;
  const UploadResult result{DateTime::GetLocalTime(),
                            transport ? UploadResultCode::kNetworkError
                                      : UploadResultCode::kClientError,
                            text};
  const bool verdict = ClassifyFailure(e) == AttemptFailure::kVerdict;
  try {
    if (verdict) {
      LogTextWithError(TLog::Error,
                       TFormatString("Package '%1' was refused (attempt %2 of %3): %4")
                           .arg(package.GetPackageName())
                           .arg(package.CountedAttempts() + 1)
                           .arg(CrashPackageProcessor::kMaxUploadAttempts)
                           .arg(text),
                       zor::platform::ZorvaneError::MakeError("upload-package", text));
      package.AddUploadResult(result);
      // A refused upload is not resumed: a store that dropped it (an upload
      // id it no longer knows) refuses every later part and the completion
      // alike, so the next attempt asks for a new upload id.
      package.DiscardDataFiles({DataFileKind::kPartsUploadedFile},
                               "its upload was refused; the next attempt starts a new one");
    } else {
      const DateTime next = NextAttemptAfter(package.GetTransientFailures() + 1,
                                             Config::GetInstance().GetRetryDelay(), result.time);
      LogTextWithError(
          TLog::Error,
          TFormatString("Package '%1' could not be uploaded (not counted as an attempt; next "
                        "attempt %2): %3")
              .arg(package.GetPackageName())
              .arg(next.IsValid() ? "after " + next.Format("yyyy-MM-dd HH:mm:ss")
                                  : TString("in the next run"))
              .arg(text),
          zor::platform::ZorvaneError::MakeError("upload-package", text));
      package.RecordTransientFailure(result, next);
    }
    package.SetUploadStatus(UploadStatus::kPendingRetry);
  } catch (const ZorvaneException& saving) {
    LogText(TLog::Error, TFormatString("Cannot record the failure of package '%1': %2")
                             .arg(package.GetPackageName())
                             .arg(saving.GetConcatenatedMessages()));
  }
}

}  // namespace

CrashUploadClient::CrashUploadClient(bool includeFullDumps, const TString& configFile)
    : UploadClient(configFile) {
  Processor().SetIncludeFullDumps(includeFullDumps);
}

void CrashUploadClient::Run() {
  LogText(TLog::Info, "Checking for crashes that need uploading...");
  const auto packages = Processor().FindPackagesToUpload();
  stats_ = Processor().GetRunStats();
  LogText(TLog::Info,
          TFormatString("Checking for crashes that need uploading: Found '%1' package(s) to "
                        "upload.")
              .arg(static_cast<uint64_t>(packages.size())));
  if (!packages.empty()) UploadNewCrashes(packages);
}

void CrashUploadClient::UploadNewCrashes(const std::vector<std::shared_ptr<Package>>& packages) {
  int succeeded = 0;
  int failed = 0;
  for (const auto& package : packages) {
    zor::platform::Interruption::ThrowIfRequested();
    // Held for the whole attempt, failure included.
    const auto lock = PackageLock::TryLock(*package);
    if (!lock) continue;
    try {
      UploadPackage(package);
      ++succeeded;
      ++stats_.uploaded;
      stats_.uploadedBytes += UploadedBytes(*package);
      // An interrupted send-logs' package: once uploaded it goes whole, as
      // send-logs deletes its own, for it holds the user's e-mail address.
      if (package->GetPackageType() == PackageType::kZippedLogsPackage) package->DeletePackage();
    } catch (const zor::platform::RunInterrupted& e) {
      throw PutBack(*package, e);
    } catch (const ZorvaneException& e) {
      RecordFailure(*package, e);
      ++failed;
      ++stats_.failed;
    }
  }
  LogText(TLog::Info,
          TFormatString("Upload Result Summary: Successfully uploaded '%1' crash package(s). "
                        "Failed to upload '%2' crash package(s). Upload Endpoint: '%3'. ")
              .arg(succeeded)
              .arg(failed)
              .arg(Config::GetInstance().GetUploadEndpoint().ForLog()));
}

}  // namespace ZorErrorReporting
