#include "packages/upload_step.h"

#include "files/filesystem.h"
#include "packages/package.h"
#include "packages/package_upload_progress.h"
#include "platform/boot_id.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TPath;
using zor::platform::TString;

namespace {

UploadStep Step(UploadStepKind kind, std::set<DataFileKind> discard = {}, uint64_t part = 0) {
  return UploadStep{kind, part, std::move(discard)};
}

UploadStep NextStepOfActivePackage(const UploadRecord& r) {
  std::set<DataFileKind> discard;
  if (!r.encrypted || !r.metadata) {
    // Whatever is left of an encryption that did not finish goes, and with it
    // any progress, whose parts were of another encryption.
    discard = {DataFileKind::kEncryptedPackageFile, DataFileKind::kZorEncryptionMetadataFile,
               DataFileKind::kPartsUploadedFile};
    if (r.zip) return Step(UploadStepKind::kEncrypt, discard);
    discard.insert(DataFileKind::kZippedPackageFile);
    return Step(UploadStepKind::kZip, discard);
  }
  const bool resumable = r.progress && r.progressUsable && r.remoteId;
  if (r.progress && !resumable) discard.insert(DataFileKind::kPartsUploadedFile);
  if (!r.remoteId) return Step(UploadStepKind::kRegister, discard);
  if (!resumable) return Step(UploadStepKind::kRequestUploadId, discard);
  for (int n = 1; n <= r.partCount; ++n) {
    if (r.partsUploaded.count(static_cast<uint64_t>(n)) == 0) {
      return Step(UploadStepKind::kSendPart, {}, static_cast<uint64_t>(n));
    }
  }
  return Step(UploadStepKind::kComplete);
}

}  // namespace

UploadStep NextUploadStep(const UploadRecord& record) {
  switch (record.status) {
    case UploadStatus::kPending:
    case UploadStatus::kStarted:
    case UploadStatus::kPendingRetry:
      return NextStepOfActivePackage(record);
    case UploadStatus::kComplete:
      if (record.hasUploadFiles && !record.keepUploadFiles) return Step(UploadStepKind::kCleanUp);
      return Step(UploadStepKind::kNothing);
    case UploadStatus::kUnknown:
    case UploadStatus::kFailed:
      break;
  }
  return Step(UploadStepKind::kNothing);
}

UploadRecord DescribeUpload(Package& package, bool keepUploadFiles) {
  Filesystem& fs = Filesystem::GetInstance();
  const auto present = [&](DataFileKind kind) {
    return package.HasDataFile(kind) && fs.FileExists(package.GetDataFilePath(kind));
  };
  UploadRecord r;
  r.status = package.GetUploadStatus();
  r.zip = present(DataFileKind::kZippedPackageFile);
  r.encrypted = present(DataFileKind::kEncryptedPackageFile);
  const TString& boot = package.GetUnsyncedEncryptionBoot();
  if (r.encrypted && !boot.isEmpty() && boot != zor::platform::CurrentBootId()) {
    r.encrypted = false;
    r.unsyncedBeforeRestart = true;
  }
  r.metadata = present(DataFileKind::kZorEncryptionMetadataFile);
  r.progress = package.HasDataFile(DataFileKind::kPartsUploadedFile);
  r.remoteId = package.HasRemotePackageId();
  r.keepUploadFiles = keepUploadFiles;
  for (const DataFileKind kind :
       {DataFileKind::kZippedPackageFile, DataFileKind::kEncryptedPackageFile,
        DataFileKind::kZorEncryptionMetadataFile, DataFileKind::kPartsUploadedFile}) {
    // Named but gone is nothing to clean up: a complete package's record
    // still names the files its upload removed.
    if (present(kind) && !package.KeepsDataFile(kind)) r.hasUploadFiles = true;
  }
  if (!r.progress || !r.encrypted) return r;
  try {
    const auto progress = package.GetUploadProgress();
    const TPath encrypted = package.GetEncryptedPackageFilePath();
    r.progressUsable = !progress->GetUploadId().isEmpty() &&
                       progress->GetUploadPackageFile() == encrypted &&
                       progress->GetUploadFileSize() == fs.FileSize(encrypted);
    if (r.progressUsable) {
      r.partCount = progress->GetPartCount();
      for (const auto& [part, tag] : *progress->GetCompletedParts()) r.partsUploaded.insert(part);
    }
  } catch (const zor::platform::ZorvaneException& e) {
    // An unreadable record is as good as none: the upload starts again.
    r.progressUsable = false;
    r.progressRefusal = e.GetConcatenatedMessages();
  }
  return r;
}

const char* ToName(UploadStepKind kind) {
  switch (kind) {
    case UploadStepKind::kZip: return "zip";
    case UploadStepKind::kEncrypt: return "encrypt";
    case UploadStepKind::kRegister: return "register";
    case UploadStepKind::kRequestUploadId: return "request an upload id";
    case UploadStepKind::kSendPart: return "send a part";
    case UploadStepKind::kComplete: return "complete the upload";
    case UploadStepKind::kCleanUp: return "clean up";
    case UploadStepKind::kNothing: return "nothing";
  }
  return "nothing";
}

}  // namespace ZorErrorReporting
