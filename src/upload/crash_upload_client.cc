#include "upload/crash_upload_client.h"

#include "config/config.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "net/http_exception.h"
#include "packages/package.h"
#include "platform/tformat_string.h"
#include "upload/crash_package_processor.h"
#include "upload/metrics_file.h"
#include "upload/package_lock.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TString;
using zor::platform::ZorvaneException;

CrashUploadClient::CrashUploadClient(bool includeFullDumps, const TString& configFile,
                                     const zor::platform::TPath& heldLock)
    : UploadClient(configFile) {
  Filesystem& fs = Filesystem::GetInstance();
  const zor::platform::TPath lock =
      PackageLock::RunLockPath(Config::GetInstance().GetDataDirectory());
  // A log folder that is the data directory gave the run this lock already:
  // a second descriptor of the file would find it held, by this very run.
  const auto mine = fs.IdentifyPath(heldLock, zor::platform::LinkHandling::kDoNotFollow);
  const auto data = fs.IdentifyPath(lock, zor::platform::LinkHandling::kDoNotFollow);
  if (!mine || !data || mine->device != data->device || mine->inode != data->inode) {
    runLock_.emplace(fs.LockFile(lock));
  }
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
  int waited = 0;
  for (size_t next = 0; next < packages.size(); ++next) {
    const std::shared_ptr<Package>& package = packages[next];
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
      if (!RecordFailure(*package, e)) {
        ++waited;
        ++stats_.waited;
        continue;
      }
      ++failed;
      ++stats_.failed;
      // The registration is the same request for every package: a server
      // that let one wait out its time-out would make each of them wait.
      const auto* http = dynamic_cast<const HTTPException*>(&e);
      if (http != nullptr && http->GetHttpCode() == 0 && !http->JudgesThePackage() &&
          next + 1 < packages.size()) {
        LogText(TLog::Info, TFormatString("The crash server did not answer the registration in "
                                          "time: the other %1 package(s) wait for the next run")
                                .arg(static_cast<uint64_t>(packages.size() - next - 1)));
        break;
      }
    }
  }
  LogText(TLog::Info,
          TFormatString("Upload Result Summary: Successfully uploaded '%1' crash package(s). "
                        "Failed to upload '%2' crash package(s). Upload Endpoint: '%3'. ")
              .arg(succeeded)
              .arg(failed)
              .arg(Config::GetInstance().GetUploadEndpoint().ForLog()));
  // Neither uploaded nor failed: the server was never asked.
  if (waited > 0) {
    LogText(TLog::Info, TFormatString("'%1' crash package(s) could not be tried and wait for a "
                                      "later run.")
                            .arg(waited));
  }
}

}  // namespace ZorErrorReporting
