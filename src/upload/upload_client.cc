#include "upload/upload_client.h"

#include <unistd.h>

#include <set>

#include "config/config.h"
#include "crypto/package_encryptor.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "net/crash_server_protocol.h"
#include "net/http_exception.h"
#include "packages/package.h"
#include "packages/package_encryption_metadata.h"
#include "packages/upload_step.h"
#include "platform/boot_id.h"
#include "platform/curl_exception.h"
#include "platform/date_time.h"
#include "platform/interruption.h"
#include "platform/tformat_string.h"
#include "upload/attempt_failure.h"
#include "upload/crash_package_processor.h"
#include "upload/terminal_progress.h"
#include "upload/test_controller.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;

namespace {

// What one encryption made and what was sent of it: they go together, and
// the crash is zipped and encrypted again from its files.
std::set<DataFileKind> EncryptionFiles() {
  return {DataFileKind::kEncryptedPackageFile, DataFileKind::kZorEncryptionMetadataFile,
          DataFileKind::kPartsUploadedFile};
}

}  // namespace

UploadClient::UploadClient(const TString& configFile) {
  Config& config = Config::GetInstance();
  config.Load(TPath(configFile));
  const TString controllerName = config.GetTestControllerName();
  if (!controllerName.isEmpty()) TestController(controllerName).Run();
  processor_ = std::make_unique<CrashPackageProcessor>(config.GetDumpDirectories(),
                                                       config.GetDataDirectory());
  // No customer identifier exists on this platform; the server takes an
  // empty one.
  protocol_ = std::make_unique<CrashServerProtocol>(config.GetUploadEndpoint(), TString());
  progress_ = std::make_unique<TerminalProgress>(STDOUT_FILENO);
  if (progress_->IsActive()) {
    protocol_->SetProgressListener(
        [progress = progress_.get()](const PartProgress& part) { progress->Update(part); });
  }
  LogText(TLog::Info, "Downloading Zorvane Public RSA Key for package encryption...");
  const PublicKeyInfo key = protocol_->DownloadPublicKey();
  LogText(TLog::Info,
          TFormatString("Zorvane Public RSA Key successfully downloaded. Key ID = '%1'")
              .arg(key.keyId));
  keyId_ = key.keyId;
  encryptor_ = std::make_unique<PackageEncryptor>(key.keyId, key.key);
}

UploadClient::~UploadClient() {
  protocol_.reset();
  encryptor_.reset();
  processor_.reset();
}

void UploadClient::UploadPackage(const std::shared_ptr<Package>& package) {
  LogText(TLog::Info, TFormatString("Starting upload for package '%1'.  Attempt count = '%2'")
                          .arg(package->GetIdentityJson())
                          .arg(package->CountedAttempts()));
  serverAsked_ = false;
  package->SetUploadStatus(UploadStatus::kStarted);
  PrepareUpload(*package);
  // Local record keeping, before anything about the package is sent.
  protocol_->SettleRecordedIds(*package);
  // A stop asked for during the local steps is noticed before the server is.
  zor::platform::Interruption::ThrowIfRequested();
  serverAsked_ = true;
  protocol_->Upload(*package);
  package->AddUploadResult({DateTime::GetLocalTime(), UploadResultCode::kSuccess,
                            "Upload successful"});
  package->SetUploadStatus(UploadStatus::kComplete);
  if (!Config::GetInstance().GetPreserveUploadPackages() &&
      package->GetPackageType() == PackageType::kCrashPackage) {
    processor_->CleanUpUploadedPackage(*package);
  }
}

void UploadClient::PrepareUpload(Package& package) {
  const bool keep = Config::GetInstance().GetPreserveUploadPackages();
  const auto pass = [this](const char* phase) -> ByteProgress {
    if (!progress_->IsActive()) return {};
    return [progress = progress_.get(), phase](uint64_t done, uint64_t total) {
      progress->UpdatePass(phase, done, total);
    };
  };
  DiscardEncryptionForAnotherKey(package);
  DiscardEncryptionOfAnotherSize(package);
  KeepEncryptionThatCannotBeMadeAgain(package);
  SyncEncryptionOfAnEarlierRun(package);
  // One local step (zip and encrypt in one pass, or encrypt a zip that is
  // there), and more only for a zip that vanished in between.
  for (int round = 0; round < 3; ++round) {
    const UploadRecord record = DescribeUpload(package, keep);
    const UploadStep step = NextUploadStep(record);
    if (!step.discard.empty()) {
      package.DiscardDataFiles(
          step.discard,
          record.unsyncedBeforeRestart
              ? TString("the system restarted before it was sent, and it was never synced; "
                        "zipping and encrypting again")
          : !record.progressRefusal.isEmpty()
              ? "its upload record cannot be used (" + record.progressRefusal +
                    "); the upload starts again"
              : TString("its encryption did not finish; encrypting again"));
    }
    switch (step.kind) {
      case UploadStepKind::kZip:
        if (package.KeepsDataFile(DataFileKind::kZippedPackageFile)) {
          // The zip is the user's: there is nothing to make it again from,
          // and opening it says why it is not there.
          encryptor_->EncryptPackage(package, pass("Encrypting"));
          break;
        }
        processor_->ZipAndEncryptPackage(
            package, *encryptor_,
            keep ? PackageEncryptor::KeepZip::kYes : PackageEncryptor::KeepZip::kNo,
            Config::GetInstance().GetDeflateThreads(), pass("Zipping and encrypting"));
        break;
      case UploadStepKind::kEncrypt:
        encryptor_->EncryptPackage(package, pass("Encrypting"));
        break;
      default:
        return;
    }
  }
  throw zor::platform::ZorvaneException(
      TFormatString("Package '%1': its zip file vanished while it was encrypted")
          .arg(package.GetPackageName()));
}

void UploadClient::SyncEncryptionOfAnEarlierRun(Package& package) {
  // One of another boot is DescribeUpload's to drop.
  if (package.GetUnsyncedEncryptionBoot().isEmpty() ||
      package.GetUnsyncedEncryptionBoot() != zor::platform::CurrentBootId() ||
      !package.HasEncryptedPackageFile()) {
    return;
  }
  const TPath encrypted = package.GetEncryptedPackageFilePath();
  Filesystem& fs = Filesystem::GetInstance();
  if (!fs.FileExists(encrypted)) return;
  try {
    // The page cache serves what it holds even when its write-back failed,
    // until it drops it; the disk then gives back whatever it has, and that
    // would go up as the crash, which is then deleted.
    fs.SyncFile(encrypted);
  } catch (const TPath::Exception& e) {
    // Made again, it would go without what is gone: the last copy stays, and
    // the attempt fails as the disk's trouble.
    if (!package.FirstSourceGone().isEmpty()) throw;
    LogText(TLog::Warn, TFormatString("Package '%1': its encrypted file cannot be written to "
                                      "disk, so it is made again: %2")
                            .arg(package.GetPackageName())
                            .arg(e.GetConcatenatedMessages()));
    package.DiscardDataFiles(EncryptionFiles(),
                             "it could not be synced; zipping and encrypting again");
  }
}

void UploadClient::KeepEncryptionThatCannotBeMadeAgain(Package& package) {
  const TString& boot = package.GetUnsyncedEncryptionBoot();
  if (boot.isEmpty() || boot == zor::platform::CurrentBootId() ||
      !package.HasEncryptedPackageFile()) {
    return;
  }
  const TPath encrypted = package.GetEncryptedPackageFilePath();
  Filesystem& fs = Filesystem::GetInstance();
  const TString gone = package.FirstSourceGone();
  if (gone.isEmpty() || !fs.FileExists(encrypted)) return;
  // A sync that fails leaves the last copy where it is: the attempt fails as
  // the disk's trouble, and the next one tries again.
  fs.SyncFile(encrypted);
  package.MarkEncryptionSynced();
  LogText(TLog::Warn,
          TFormatString(
              "Package '%1': its encrypted file was not synced before the "
              "system restarted, and '%2', which it was made of, is gone or another file now: "
              "it is sent as it is")
              .arg(package.GetPackageName())
              .arg(gone));
}

void UploadClient::DiscardEncryptionForAnotherKey(Package& package) {
  if (!package.HasDataFile(DataFileKind::kZorEncryptionMetadataFile)) return;
  TString used;
  try {
    used = package.GetEncryptionMetadata()->GetKeyId();
  } catch (const zor::platform::ZorvaneException&) {
    return;  // a record that cannot be read is the upload steps' to judge
  }
  if (used == keyId_) return;
  // Made again, it would go without the files that are gone: the old one
  // names its key, which a server that keeps its old keys can still use.
  if (const TString gone = package.FirstSourceGone();
      !gone.isEmpty() && package.HasEncryptedPackageFile() &&
      Filesystem::GetInstance().FileExists(package.GetEncryptedPackageFilePath())) {
    LogText(TLog::Warn, TFormatString("Package '%1': its encrypted file is for the key '%2', not "
                                      "the server's '%3', but '%4', which it was made of, is "
                                      "gone or another file now: it is sent as it is")
                            .arg(package.GetPackageName())
                            .arg(used)
                            .arg(keyId_)
                            .arg(gone));
    return;
  }
  // Even with parts sent: an object the server cannot decrypt is no upload.
  package.DiscardDataFiles(EncryptionFiles(),
                           TFormatString("it was encrypted for the key '%1', and the server now "
                                         "gives the key '%2'; encrypting again")
                               .arg(used)
                               .arg(keyId_));
}

void UploadClient::DiscardEncryptionOfAnotherSize(Package& package) {
  if (!package.HasEncryptedPackageFile() ||
      !package.HasDataFile(DataFileKind::kZorEncryptionMetadataFile)) {
    return;
  }
  Filesystem& fs = Filesystem::GetInstance();
  const TPath encrypted = package.GetEncryptedPackageFilePath();
  uint64_t expected = 0;
  try {
    expected = package.GetEncryptionMetadata()->GetUnencryptedContentLength();
  } catch (const zor::platform::ZorvaneException&) {
    return;  // a record that cannot be read is the upload steps' to judge
  }
  // A file that is not there is DescribeUpload's to judge.
  if (!fs.FileExists(encrypted)) return;
  const uint64_t found = fs.FileSize(encrypted);
  if (found == expected) return;
  LogText(TLog::Warn, TFormatString("Package '%1': its encrypted file '%2' holds %3 bytes where "
                                    "its encryption made %4; it is made again")
                          .arg(package.GetPackageName())
                          .arg(encrypted.ToString())
                          .arg(found)
                          .arg(expected));
  package.DiscardDataFiles(
      EncryptionFiles(),
      "its length is not what its encryption made; zipping and encrypting again");
}

bool UploadClient::RecordFailure(Package& package, const ZorvaneException& e) const {
  const TString text = e.GetConcatenatedMessages();
  const bool transport = dynamic_cast<const zor::platform::CurlException*>(&e) != nullptr;
  const bool attempted = transport || dynamic_cast<const HTTPException*>(&e) != nullptr;
  const UploadResult result{
      DateTime::GetLocalTime(),
      transport ? UploadResultCode::kNetworkError : UploadResultCode::kClientError, text};
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
    } else if (!attempted) {
      // Trouble here (a full disk, a dump folder away, a crash not ready)
      // before the server was asked: a wait, not an attempt, so that the
      // crash stays one that was never tried.
      LogTextWithError(TLog::Error,
                       TFormatString("Package '%1' could not be uploaded now (not counted as "
                                     "an attempt; the next run tries again%2): %3")
                           .arg(package.GetPackageName())
                           .arg(serverAsked_ && Config::GetInstance().GetMaxUploadsPerHour()
                                    ? TString("; it counts against the upload rate limit")
                                    : TString())
                           .arg(text),
                       zor::platform::ZorvaneError::MakeError("upload-package", text));
      package.RecordWait(result);
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
      // Its parts keep the size they were cut to: once the operator mends
      // it, only a new upload takes the new size.
      const auto* http = dynamic_cast<const HTTPException*>(&e);
      if (http != nullptr && http->SaysPartSizeRefused()) {
        package.DiscardDataFiles({DataFileKind::kPartsUploadedFile},
                                 "the store refused its part size; the next attempt starts a new "
                                 "upload");
      }
    }
    package.SetUploadStatus(UploadStatus::kPendingRetry);
  } catch (const ZorvaneException& saving) {
    LogText(TLog::Error, TFormatString("Cannot record the failure of package '%1': %2")
                             .arg(package.GetPackageName())
                             .arg(saving.GetConcatenatedMessages()));
  }
  return attempted || verdict || serverAsked_;
}

zor::platform::RunInterrupted UploadClient::PutBack(
    Package& package, const zor::platform::RunInterrupted& interrupted) {
  try {
    // No attempt and no delay, but the next run tries it after the packages
    // that were waiting when it was stopped.
    package.RecordWait({DateTime::GetLocalTime(), UploadResultCode::kNetworkError,
                        interrupted.GetConcatenatedMessages()});
    package.SetUploadStatus(UploadStatus::kPendingRetry);
  } catch (const std::exception& e) {
    LogText(TLog::Error, TFormatString("Could not put package '%1' back: %2")
                             .arg(package.GetPackageName())
                             .arg(TString(e.what())));
  }
  return zor::platform::RunInterrupted(interrupted.Signal(), package.GetPackageName());
}

}  // namespace ZorErrorReporting
