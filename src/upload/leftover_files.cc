#include "upload/leftover_files.h"

#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "crash/crash_names.h"
#include "crash/minidump_format.h"
#include "crypto/package_encryptor.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/crash_package.h"
#include "packages/log_package_metadata.h"
#include "packages/package.h"
#include "packages/trust_boundary.h"
#include "platform/atomic_file.h"
#include "platform/file_identity.h"
#include "platform/tformat_string.h"
#include "platform/tsystem.h"
#include "upload/package_lock.h"
#include "upload/package_status_file.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

constexpr char kCrashTempSuffix[] = ".crash.temp";

// A whole minidump is a crash, wherever the handler was stopped: adoption
// takes it from the handler's temp folder, and nothing deletes it unsent.
// Each dump is opened as the boundary opens the program's own files (no
// link followed, never blocking on a FIFO).
bool HoldsWholeMinidump(const TPath& directory, const std::set<TPath>& listing,
                        const TrustBoundary& boundary) {
  for (const TPath& file : listing) {
    if (!file.Filename().endsWith(".dmp") || !zor::platform::IsSameOrBelow(file, directory)) {
      continue;
    }
    try {
      TString refusal;
      std::optional<zor::platform::TFile> dump = boundary.OpenForReading(file, {}, &refusal);
      if (!dump) continue;
      char header[sizeof(zor::platform::minidump::MdHeader)];
      const int64_t read = dump->ReadAt(header, sizeof(header), 0);
      if (zor::platform::minidump::IsWholeMinidumpHeader(header, static_cast<size_t>(read))) {
        return true;
      }
    } catch (const std::exception&) {
      return true;  // unreadable now: not known to be no crash
    }
  }
  return false;
}

bool IsOwnDirectory(const TPath& path) {
  const auto identity =
      Filesystem::GetInstance().IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
  return identity && identity->kind == zor::platform::FileIdentity::Kind::kDirectory &&
         identity->owner == zor::platform::EffectiveUser();
}

bool ListQuietly(const TPath& directory, const std::vector<TString>& extensions,
                 std::set<TPath>* files) {
  try {
    *files = Filesystem::GetInstance().ListFiles(directory, extensions, true);
    return true;
  } catch (const ZorvaneException& e) {
    // The scan that follows reports an unreadable data directory.
    LogText(TLog::Debug, e.GetMessagesFront());
    return false;
  }
}

// False too when the file is gone or its time cannot be read: it is not ours
// to judge then.
bool WrittenBefore(const TPath& path, const DateTime& cutoff) {
  try {
    return Filesystem::GetInstance().LastWriteTime(path) < cutoff;
  } catch (const ZorvaneException&) {
    return false;
  }
}

std::vector<TString> PackageFileExtensions() {
  // Without the leading dot, as the listing takes them.
  return {Package::kPackageZipSuffix,
          CrashPackage::kManifestRecordSuffix,
          TString(PackageEncryptor::kEncryptedFileSuffix).mid(1),
          TString(PackageEncryptor::kMetadataFileSuffix).mid(1),
          TString(Package::kUploadedPartsSuffix).mid(1),
          TString(LogPackageMetadata::kFileSuffix).mid(1),
          PackageLock::kExtension};
}

// The file names the status files of `dataDirectory` record, lock files
// included; nullopt when one of them cannot be loaded.
std::optional<std::set<TString>> RecordedFileNames(const TPath& dataDirectory,
                                                   const TrustBoundary& boundary) {
  std::vector<TString> extensions;
  for (const UploadStatus status : kStoredStatuses) extensions.push_back(ToName(status));
  std::set<TPath> statusFiles;
  if (!ListQuietly(dataDirectory, extensions, &statusFiles)) return std::nullopt;
  std::set<TString> recorded;
  for (const TPath& path : statusFiles) {
    std::shared_ptr<Package> package;
    try {
      package = LoadPackageStatusFile(path, boundary);
    } catch (const ZorvaneException& e) {
      if (!Filesystem::GetInstance().FileExists(path)) continue;  // deleted meanwhile
      LogText(TLog::Info, TFormatString("Keeping the unrecorded files of '%1': the status file "
                                        "'%2' cannot be read: %3")
                              .arg(dataDirectory)
                              .arg(path)
                              .arg(e.GetConcatenatedMessages()));
      return std::nullopt;
    }
    recorded.insert(PackageLock::LockFilePath(dataDirectory, package->GetPackageName()).Filename());
    for (const auto& [kind, file] : package->GetDataFiles()) recorded.insert(file.Filename());
  }
  return recorded;
}

bool IsLockFile(const TPath& path) {
  return path.Filename().endsWith(TString(".") + PackageLock::kExtension, false);
}

}  // namespace

void RemoveUnrecordedPackageFiles(const TPath& dataDirectory, const TrustBoundary& boundary,
                                  const DateTime& cutoff) {
  std::set<TPath> files;
  if (!ListQuietly(dataDirectory, PackageFileExtensions(), &files)) return;
  const std::optional<std::set<TString>> recorded = RecordedFileNames(dataDirectory, boundary);
  if (!recorded) return;
  Filesystem& fs = Filesystem::GetInstance();
  for (const TPath& path : files) {
    if (recorded->count(path.Filename()) != 0) continue;
    // A lock file needs no age to be judged: whoever holds it is at work, and
    // one that nobody holds belongs to a process that died.
    if (!IsLockFile(path) && !WrittenBefore(path, cutoff)) continue;
    std::optional<zor::platform::TLockFile> lock;
    if (IsLockFile(path)) {
      try {
        lock = fs.TryLockFile(path);
      } catch (const ZorvaneException& e) {
        LogText(TLog::Debug, e.GetMessagesFront());
      }
      if (!lock) continue;  // someone is about to create its package
    }
    LogText(TLog::Info, TFormatString("Removing '%1': no package records it").arg(path));
    fs.RemovePath(path);
  }
}

void RemoveLeftoverStateFiles(const TPath& dataDirectory, const DateTime& cutoff,
                              const TString& savedFile) {
  Filesystem& fs = Filesystem::GetInstance();
  std::set<TPath> listed;
  if (!ListQuietly(dataDirectory, {"tmp"}, &listed)) return;
  const TString prefix = savedFile.isEmpty() ? TString(".") : TString(".") + savedFile + ".";
  for (const TPath& path : listed) {
    if (!path.Filename().startsWith(prefix)) continue;
    // A save of a process that still runs (send-logs beside send-crashes) is
    // in progress, not left over; one that names no writer (an older
    // version's) counts as in progress while it is young.
    const auto writer = zor::platform::AtomicFile::WriterOf(path.Filename());
    if (writer ? zor::platform::TSystem::ProcessExists(*writer) : !WrittenBefore(path, cutoff)) {
      continue;
    }
    LogText(TLog::Debug,
            TFormatString("Removing the temporary file '%1' of an interrupted save.").arg(path));
    fs.RemovePath(path);
  }
}

void RemoveStaleCrashTempDirectories(const TPath& dumpDirectory, std::set<TPath>* listing,
                                     const TrustBoundary& boundary, const DateTime& cutoff) {
  std::set<TPath> candidates;
  for (const TPath& path : *listing) {
    if (!path.ToString().contains(kCrashTempSuffix, false)) continue;
    for (TPath up = path.Parent(); up.ToString().size() > dumpDirectory.ToString().size();
         up = up.Parent()) {
      if (up.Filename().endsWith(kCrashTempSuffix, false)) candidates.insert(up);
    }
  }
  Filesystem& fs = Filesystem::GetInstance();
  for (const TPath& directory : candidates) {
    if (!zor::platform::CrashNames::UnfinishedCrashDirectoryId(directory.Filename()) ||
        !IsOwnDirectory(directory) || !boundary.WhyNotDeleted(directory, {}).isEmpty()) {
      continue;
    }
    DateTime written;
    try {
      written = fs.LastWriteTime(directory);
    } catch (const ZorvaneException&) {
      continue;  // the crash handler has just moved it into place
    }
    if (!(written < cutoff)) continue;
    if (HoldsWholeMinidump(directory, *listing, boundary)) {
      LogText(TLog::Info, TFormatString("Keeping the crash directory '%1', left unfinished since "
                                        "%2: it holds a whole minidump.")
                              .arg(directory)
                              .arg(written.Format("yyyy-MM-dd HH:mm:ss")));
      continue;
    }
    LogText(TLog::Info,
            TFormatString("Removing the crash directory '%1', left unfinished since %2.")
                .arg(directory)
                .arg(written.Format("yyyy-MM-dd HH:mm:ss")));
    TString refusal;
    if (!IsGone(boundary.DeleteOwnTree(directory, &refusal))) {
      if (!refusal.isEmpty()) {
        LogText(TLog::Warn, TFormatString("Not removing '%1': %2").arg(directory).arg(refusal));
      }
      continue;
    }
    std::erase_if(*listing,
                  [&](const TPath& path) { return zor::platform::IsSameOrBelow(path, directory); });
  }
}

}  // namespace ZorErrorReporting
