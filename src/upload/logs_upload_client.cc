#include "upload/logs_upload_client.h"

#include <string>

#include "config/config.h"
#include "crypto/crypto.h"
#include "files/filesystem.h"
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

TString LogsUploadClient::WhyNotSent(zor::platform::TFile file) {
  const auto identity = file.Identify();
  if (!identity) return "it cannot be examined";
  // Its copy in the data directory takes its full length: a sparse file of a
  // user's would have root fill the disk with zeros, encrypted.
  constexpr uint64_t kSparseBelow = 1024 * 1024;
  if (identity->size > kSparseBelow && identity->allocated < identity->size / 2) {
    return TFormatString("it is sparse (%1 bytes long, %2 on disk), which no zip of logs is")
        .arg(identity->size)
        .arg(identity->allocated);
  }
  // A zip of logs starts with its first entry's local header; anything else
  // (an empty file, a log given for its zip, a tarball) would reach support
  // as a package nobody can open.
  char magic[4] = {};
  if (identity->size == 0) return "it is empty, and a zip of logs holds at least one file";
  if (file.ReadAt(magic, sizeof magic, 0) != sizeof magic ||
      std::string(magic, sizeof magic) != std::string("PK\3\4", 4)) {
    return "it is no zip of files (a zip starts with the bytes 'PK', 3, 4)";
  }
  if (identity->size > Crypto::kMaxGcmBytes) {
    return TFormatString("its %1 bytes are more than one package can be encrypted in (%2)")
        .arg(identity->size)
        .arg(Crypto::kMaxGcmBytes);
  }
  return {};
}

void LogsUploadClient::Run() {
  TString refusal;
  try {
    // Checked here for a clear refusal before anything is made; encrypting
    // opens it again by the same rules.
    refusal = WhyNotSent(Filesystem::GetInstance().OpenUsersFileForReading(zippedLogsFile_));
  } catch (const TPath::Exception& e) {
    refusal = e.GetConcatenatedMessages();
  }
  if (!refusal.isEmpty()) {
    throw zor::platform::ZorvaneException(TFormatString("Unable to open file '%1': %2")
                                              .arg(TString(zippedLogsFile_.NativeString()))
                                              .arg(refusal));
  }
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
