#include "upload/crash_upload_client.h"

#include "config/config.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "platform/curl_exception.h"
#include "platform/date_time.h"
#include "platform/tformat_string.h"
#include "upload/crash_package_processor.h"
#include "upload/metrics_file.h"

namespace ZorErrorReporting {

using zor::platform::CurlException;
using zor::platform::DateTime;
using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TString;
using zor::platform::ZorvaneException;

namespace {

void RecordFailure(Package& package, const ZorvaneException& e, UploadResultCode code) {
  const TString text = e.GetConcatenatedMessages();
  LogTextWithError(TLog::Error, text,
                   zor::platform::ZorvaneError::MakeError("upload-package", text));
  package.AddUploadResult({DateTime::GetLocalTime(), code, text});
  package.SetUploadStatus(UploadStatus::kPendingRetry);
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
    try {
      UploadPackage(package);
      ++succeeded;
      ++stats_.uploaded;
      stats_.uploadedBytes += UploadedBytes(*package);
    } catch (const zor::platform::RunInterrupted& e) {
      throw PutBack(*package, e);
    } catch (const CurlException& e) {
      RecordFailure(*package, e, UploadResultCode::kNetworkError);
      ++failed;
      ++stats_.failed;
    } catch (const ZorvaneException& e) {
      RecordFailure(*package, e, UploadResultCode::kClientError);
      ++failed;
      ++stats_.failed;
    }
  }
  LogText(TLog::Info,
          TFormatString("Upload Result Summary: Successfully uploaded '%1' crash package(s). "
                        "Failed to upload '%2' crash package(s). Upload Endpoint: '%3'. ")
              .arg(succeeded)
              .arg(failed)
              .arg(TString(Config::GetInstance().GetUploadEndpoint())));
}

}  // namespace ZorErrorReporting
