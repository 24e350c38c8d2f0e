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
  std::vector<std::shared_ptr<Package>> queue = packages;
  // A package that asked nothing of the server spent no upload: its place
  // under the rate limit goes to the next one held back.
  const auto passOn = [&] {
    if (std::shared_ptr<Package> taker = Processor().GiveBackUploadSlot(true)) {
      queue.push_back(std::move(taker));
      --stats_.pending;
    }
  };
  // The places of those a run that ends now leaves untouched are not spent.
  const auto freeFrom = [&](size_t first) {
    for (size_t i = first; i < queue.size(); ++i) Processor().GiveBackUploadSlot(false);
  };
  for (size_t next = 0; next < queue.size(); ++next) {
    const std::shared_ptr<Package> package = queue[next];
    if (zor::platform::Interruption::Requested()) freeFrom(next);
    zor::platform::Interruption::ThrowIfRequested();
    // Held for the whole attempt, failure included.
    const auto lock = PackageLock::TryLock(*package);
    if (!lock) {
      passOn();
      continue;
    }
    try {
      UploadPackage(package);
      ++succeeded;
      ++stats_.uploaded;
      stats_.uploadedBytes += UploadedBytes(*package);
      // An interrupted send-logs' package: once uploaded it goes whole, as
      // send-logs deletes its own, for it holds the user's e-mail address.
      if (package->GetPackageType() == PackageType::kZippedLogsPackage) package->DeletePackage();
    } catch (const zor::platform::RunInterrupted& e) {
      // Stopped while it zipped or encrypted: it asked the server nothing.
      freeFrom(ServerAsked() ? next + 1 : next);
      throw PutBack(*package, e);
    } catch (const ZorvaneException& e) {
      if (!RecordFailure(*package, e)) {
        ++waited;
        ++stats_.waited;
        passOn();
        continue;
      }
      ++failed;
      ++stats_.failed;
      // Every package asks the same server and store: one that let a request
      // wait out its time-out would make each of them wait.
      const auto* http = dynamic_cast<const HTTPException*>(&e);
      if (http != nullptr && http->GetHttpCode() == 0 && next + 1 < queue.size()) {
        const size_t untouched = queue.size() - next - 1;
        LogText(TLog::Info, TFormatString("The crash server or its store did not answer in time: "
                                          "the other %1 package(s) wait for the next run")
                                .arg(static_cast<uint64_t>(untouched)));
        freeFrom(next + 1);
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
