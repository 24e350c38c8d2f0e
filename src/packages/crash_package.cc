#include "packages/crash_package.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

#include <zlib.h>

#include "config/config.h"
#include "crash/crash_names.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/artifact_name_rules.h"
#include "packages/crash_artifact_file.h"
#include "packages/json_document.h"
#include "packages/rotated_logs_set.h"
#include "packages/system_info.h"
#include "packages/trust_boundary.h"
#include "platform/file_functions.h"
#include "platform/process_priority.h"
#include "platform/tformat_string.h"
#include "platform/tsystem.h"
#include "platform/tuuid.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::FileIdentity;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUUID;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

// Manifests of this version or older sit in a shared dump directory that is
// never removed with the package.
constexpr char kLastSharedDirectoryVersion[] = "1.0";

// How many of the entries left in a crash directory a Warn line names.
constexpr size_t kLeftoversShown = 5;

TString NativeText(const TPath& path) { return TString(path.NativeString()); }

// What makes a crash worth sending: never left out for the cap on its other
// files (only, when there are more of them than descriptors, for the room).
bool IsDumpOrManifest(ArtifactType type) {
  switch (type) {
    case ArtifactType::kManifest:
    case ArtifactType::kProcessMiniDump:
    case ArtifactType::kProcessFullDump:
    case ArtifactType::kJavaFatalErrorLog:
    case ArtifactType::kJavaHeapDump:
      return true;
    default:
      return false;
  }
}

bool IsDump(const TPath& path) {
  return IsDumpOrManifest(ArtifactNames::RecognizeArtifactType(path.ToString()));
}

// A dump or manifest by name that makes a crash other than the one of
// `ownManifest` (another name or another folder): that crash goes in a package
// of its own, so this one neither zips it nor deletes it.
// By its record's type or by its name: a manifest calls a file what it likes.
bool IsFullDump(const TPath& path, const CrashArtifactFile& file) {
  return file.GetType() == ArtifactType::kProcessFullDump ||
         ArtifactNames::RecognizeArtifactType(path.ToString()) == ArtifactType::kProcessFullDump;
}

bool IsAnotherCrashsDump(const TPath& path, const TPath& ownManifest) {
  if (!IsDump(path)) return false;
  const TString key = ArtifactNames::GetGroupingKey(path);
  const TString own = ArtifactNames::GetGroupingKey(ownManifest);
  return !key.isEmpty() && !own.isEmpty() &&
         (key != own || zor::platform::ComparePaths(path.Parent(), ownManifest.Parent()) != 0);
}

template <typename Paths>
std::optional<uid_t> CrashOwner(const Paths& paths) {
  // Of two entries changed in one tick of the file system's coarse clock, a
  // minidump came first: another user can answer a new one within the tick.
  using Age = std::pair<int64_t, bool>;
  std::optional<std::pair<Age, uid_t>> oldest;
  for (const TPath& path : paths) {
    if (!ArtifactNames::MakesACrash(path)) continue;
    const auto entry = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    if (!entry) continue;
    const bool mini =
        ArtifactNames::RecognizeArtifactType(path.ToString()) == ArtifactType::kProcessMiniDump;
    const Age age{entry->changedNs, !mini};
    if (!oldest || age < oldest->first) oldest.emplace(age, entry->owner);
  }
  return oldest ? std::optional<uid_t>(oldest->second) : std::nullopt;
}

// True iff a file of `owner` is another user's than the crash's. The
// program's own user is no exception: a user's crash beside root's file of
// its name would carry that file to the server and delete it.
bool IsAnotherUsers(uid_t owner, const std::optional<uid_t>& crashOwner) {
  return crashOwner && owner != *crashOwner;
}

TString NotTheCrashOwners(uid_t owner, uid_t crashOwner) {
  return TFormatString("it belongs to user %1, and the crash's dumps to user %2")
      .arg(static_cast<uint64_t>(owner))
      .arg(static_cast<uint64_t>(crashOwner));
}

// The files of `manifest`, dumps first (minidumps before full dumps), so that
// the caps never leave one out while another file goes; judged by name, since a manifest's record
// says what it likes of a type. An application's manifest (a record of the program's own names
// none) may list other crashes' dumps: those are left out, with a Warn line.
std::vector<std::pair<TPath, const CrashArtifactFile*>> DumpsFirst(const CrashManifest& manifest) {
  const TPath& manifestPath = manifest.GetFilePath();
  const bool application =
      ArtifactNames::RecognizeArtifactType(manifestPath.ToString()) == ArtifactType::kManifest;
  std::vector<std::pair<TPath, const CrashArtifactFile*>> order;
  uint64_t others = 0;
  TPath firstOther;
  // The minidump, which the server reads first, before a full dump.
  enum class Kind { kDump, kFullDump, kOther };
  const auto kindOf = [](const TPath& path, const CrashArtifactFile& file) {
    return !IsDump(path) ? Kind::kOther : IsFullDump(path, file) ? Kind::kFullDump : Kind::kDump;
  };
  for (const Kind kind : {Kind::kDump, Kind::kFullDump, Kind::kOther}) {
    const bool dumps = kind != Kind::kOther;
    for (const auto& [path, file] : manifest.GetCrashArtifactFiles()) {
      if (kindOf(path, *file) != kind) continue;
      if (dumps && application && IsAnotherCrashsDump(path, manifestPath)) {
        if (others++ == 0) firstOther = path;
        continue;
      }
      order.emplace_back(path, file.get());
    }
  }
  if (others > 0) {
    LogText(TLog::Warn, TFormatString("Skipping %1 file(s) that '%2' names of other crashes (the "
                                      "first, '%3'): each goes with its own crash")
                            .arg(others)
                            .arg(manifestPath.ToString())
                            .arg(firstOther.ToString()));
  }
  return order;
}

// A crash may come with any number of other files (a user's folder of them):
// its dumps and manifests (by name) always go, of the others the first
// kMaxOtherFiles, and the rest are left out with a count, so that one crash
// costs a bounded record, memory and descriptors. The record and the zip
// both apply it: a manifest the application completed reaches only the zip.
class OtherFilesCap {
 public:
  // True iff `path`, not offered before, goes with the crash.
  bool Takes(const TPath& path) {
    if (IsDump(path)) return true;
    if (others_ < CrashPackage::kMaxOtherFiles) {
      ++others_;
      return true;
    }
    ++leftOut_;
    return false;
  }

  // One Warn line, when anything was left out.
  void LogLeftOut(const TString& name, const TPath& directory) const {
    if (leftOut_ == 0) return;
    LogText(TLog::Warn, TFormatString("Crash '%1' in '%2' goes without %3 of its files: it takes "
                                      "at most %4 besides its dumps and manifest")
                            .arg(name)
                            .arg(NativeText(directory))
                            .arg(leftOut_)
                            .arg(static_cast<uint64_t>(CrashPackage::kMaxOtherFiles)));
  }

 private:
  size_t others_ = 0;
  uint64_t leftOut_ = 0;
};

// `namedBy` says where the path came from: a file's name, or "the package
// status" or "the dump directory's listing".
void LogSkipped(const TPath& path, const TString& namedBy, const TString& refusal) {
  LogText(TLog::Warn, TFormatString("Skipping '%1', which %2 names: %3")
                          .arg(path.ToString())
                          .arg(namedBy)
                          .arg(refusal));
}

TString Quoted(const TPath& path) { return "'" + path.ToString() + "'"; }

// What the name `path` stands for now, when that is still the file opened as
// `opened` (or a link: deleting one never follows it); nullopt when the name
// already means another file, which is then never the package's to delete.
// How much of a log's end its stamp keeps a CRC-32 of: enough that a log cut
// short and written anew past that point is told from one only written on.
constexpr int64_t kTailBytes = 4096;

// The CRC-32 of `file`'s bytes just before `size`; nullopt where fewer can
// be read.
std::optional<uint32_t> TailCrcOf(zor::platform::TFile& file, uint64_t size) {
  const int64_t length = std::min<int64_t>(kTailBytes, static_cast<int64_t>(size));
  char tail[kTailBytes];
  try {
    if (file.ReadAt(tail, length, static_cast<int64_t>(size) - length) != length) {
      return std::nullopt;
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(tail), static_cast<uInt>(length)));
}

std::optional<FileIdentity> StampOfOpened(const TPath& path, const FileIdentity& opened) {
  const auto entry = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
  if (!entry) return std::nullopt;
  if (entry->kind == FileIdentity::Kind::kSymlink) return entry;
  if (entry->device != opened.device || entry->inode != opened.inode) return std::nullopt;
  return opened;
}

// What GetFilesToZip left out of a crash's zip, counted as it goes.
struct ZipTally {
  size_t room = 0;  // files it may hold open at once
  uint64_t beyondRoom = 0;
  TPath firstBeyondRoom;
  // A manifest may list any number of files that are not there; a few lines
  // say so, the rest is a count.
  uint64_t refused = 0;
  TString firstRefusal;
  uint64_t opened = 0;
  uint64_t repeated = 0;  // names of a file already zipped

  // Logs what was left out of `package`'s zip (Warn), counting the refusals
  // past the first `refusalsLogged` (logged one by one). Throws
  // ZorvaneException when every file `manifest` names that may be read was
  // refused.
  void Report(const TString& package, const TPath& manifest, uint64_t refusalsLogged) const {
    if (beyondRoom > 0) {
      LogText(TLog::Warn, TFormatString("Crash '%1' goes without %2 of its files (the first, "
                                        "'%3'): the process may open only %4 more of them at once "
                                        "(its limit of open files)")
                              .arg(package)
                              .arg(beyondRoom)
                              .arg(firstBeyondRoom.ToString())
                              .arg(static_cast<uint64_t>(room)));
    }
    if (refused > refusalsLogged) {
      LogText(TLog::Warn, TFormatString("Skipping %1 more file(s) that '%2' names")
                              .arg(refused - refusalsLogged)
                              .arg(manifest.ToString()));
    }
    if (repeated > 0) {
      LogText(TLog::Warn, TFormatString("Skipping %1 name(s) that '%2' gives a file that is "
                                        "already in this zip of package '%3' or in another "
                                        "package's zip of this run")
                              .arg(repeated)
                              .arg(manifest.ToString())
                              .arg(package));
    }
    // The manifest alone says that a crash happened, not what it was: such a
    // package waits as unreadable, and its files are not deleted as sent.
    if (opened == 0 && refused > 0) {
      throw ZorvaneException(TFormatString("None of the crash files that '%1' names may be read "
                                           "(%2 refused; the first, %3)")
                                 .arg(manifest.ToString())
                                 .arg(refused)
                                 .arg(firstRefusal));
    }
  }
};

// What the crash's file `path`, not read but deleted with the crash, is now;
// nullopt when it is not there or not the package's to delete.
std::optional<FileIdentity> StampOfUnread(const TPath& path, const TrustBoundary& boundary,
                                          const TPath& namedBy) {
  const auto entry = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
  if (!entry || !boundary.WhyNotDeleted(path, namedBy).isEmpty()) return std::nullopt;
  return entry;
}

}  // namespace

namespace {

// The first dump or Java file of `files` that `manifest` does not list, or
// lists but may not have read on its word (another user's); empty when
// there is none.
TPath FirstUnlistedDump(const CrashManifest& manifest, const CrashManifest::ArtifactFiles& files,
                        const TrustBoundary& boundary) {
  const CrashManifest::ArtifactFiles& listed = manifest.GetCrashArtifactFiles();
  for (const auto& [path, file] : files) {
    if (!ArtifactNames::MakesACrash(path)) continue;
    if (listed.count(path) == 0 && listed.count(NormalisedPath(path.ToString())) == 0) return path;
    if (!boundary.WhyNotRead(path, manifest.GetFilePath()).isEmpty()) return path;
  }
  return {};
}

}  // namespace

std::optional<uid_t> CrashPackage::OwnerOf(const std::set<TPath>& files) {
  return CrashOwner(files);
}

CrashPackage::CrashPackage(const TString& name, const std::set<TPath>& artifactPaths,
                           bool uploadFullDumps, const std::set<TPath>& additionalPaths,
                           const TPath& recordDirectory, TrustBoundary boundary)
    : Package(name, PackageType::kCrashPackage, std::move(boundary)) {
  if (artifactPaths.empty()) {
    throw ZorvaneException(TFormatString("Crash package '%1' has no files").arg(name));
  }
  const TPath& firstPath = *artifactPaths.begin();
  const TPath directory = firstPath.Parent();
  CrashManifest::ArtifactFiles files;
  TPath manifestPath;
  OtherFilesCap cap;
  // Judged by name: a file left out costs no look at it.
  const auto takes = [&](const TPath& path) { return files.count(path) > 0 || cap.Takes(path); };
  // Another user's file of the crash's name is not opened at all: its log or
  // manifest, busy or huge, would hold the crash back or weigh on the run.
  const std::optional<uid_t> crashOwner = CrashOwner(artifactPaths);
  if (!crashOwner) {
    throw zor::platform::TPath::Exception(
        TFormatString("Crash '%1' has no dump left since its folder was listed; whose it is "
                      "cannot be told")
            .arg(name));
  }
  SetCrashOwner(crashOwner);
  uint64_t othersFiles = 0;
  for (const TPath& path : artifactPaths) {
    const auto entry = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    if (entry && IsAnotherUsers(entry->owner, crashOwner)) {
      if (othersFiles++ == 0) {
        LogText(TLog::Warn, TFormatString("Crash '%1' goes without '%2': %3")
                                .arg(name)
                                .arg(NativeText(path))
                                .arg(NotTheCrashOwners(entry->owner, *crashOwner)));
      }
      continue;
    }
    if (zor::platform::ComparePaths(path.Parent(), directory) != 0) {
      throw ZorvaneException(
          TFormatString(
              "All files in crash package must reside in the same directory! Mistmached files: "
              "('%1', '%2')")
              .arg(NativeText(firstPath))
              .arg(NativeText(path)));
    }
    if (!takes(path)) continue;
    auto file = std::make_shared<CrashArtifactFile>(path);
    files.insert_or_assign(path, file);
    switch (file->GetType()) {
      case ArtifactType::kErrorLog:
        AddRotatedLogs(path, takes, &files);
        break;
      case ArtifactType::kManifest:
        manifestPath = path;
        break;
      case ArtifactType::kProcessFullDump:
        file->SetUploadPermission(PermissionForArtifactType(file->GetType(), uploadFullDumps));
        break;
      default:
        break;
    }
  }
  if (othersFiles > 1) {
    LogText(TLog::Warn, TFormatString("Crash '%1' goes without %2 more file(s) of its name that "
                                      "belong to other users")
                            .arg(name)
                            .arg(othersFiles - 1));
  }
  for (const TPath& path : additionalPaths) {
    if (takes(path)) files.insert_or_assign(path, std::make_shared<CrashArtifactFile>(path));
  }
  cap.LogLeftOut(name, directory);

  UseManifest(name, manifestPath, files, uploadFullDumps, recordDirectory);
}

void CrashPackage::UseManifest(const TString& name, const TPath& manifestPath,
                               const CrashManifest::ArtifactFiles& files, bool uploadFullDumps,
                               const TPath& recordDirectory) {
  // The application's manifest is read, never written: a completed one (an
  // earlier version completed it in place) serves as it is; otherwise the
  // completed manifest is the program's own record in `recordDirectory`. One
  // that cannot be read or parsed adds nothing to the record, and the crash
  // goes without it rather than not at all.
  std::shared_ptr<CrashManifest> application;
  CrashManifest::ArtifactFiles taken = files;
  if (!manifestPath.IsEmpty()) {
    // One too large for the record is not the crash's: deleted with it, it
    // would be lost unsent.
    bool tooLarge = false;
    LoadManifest(manifestPath, "the dump directory's listing", kMaxApplicationManifestSize,
                 &tooLarge);
    if (tooLarge) taken.erase(manifestPath);
    application = std::move(manifest_);
    if (application && application->IsCompleted()) {
      // Its list is the word of whoever wrote it: one that leaves out a dump
      // found beside it would keep that crash from going (another user's,
      // in a shared folder).
      const TPath left = FirstUnlistedDump(*application, files, GetTrustBoundary());
      if (left.IsEmpty()) {
        manifest_ = std::move(application);
        RecordDataFilePath(DataFileKind::kManifestFile, manifestPath);
        return;
      }
      LogText(TLog::Warn, TFormatString("The manifest '%1' lists the crash's files, but not '%2' "
                                        "as one it may name: the crash goes with a record of its "
                                        "own")
                              .arg(NativeText(manifestPath))
                              .arg(NativeText(left)));
      application.reset();
    }
  }
  auto record = application ? std::make_shared<CrashManifest>(application->ToJson())
                            : std::make_shared<CrashManifest>();
  const TPath recordPath = recordDirectory / (name + "." + kManifestRecordSuffix);
  manifest_ = JsonFileSerializedObject::SaveNewFile(std::move(record), recordPath);
  RecordDataFilePath(DataFileKind::kManifestFile, recordPath);
  try {
    manifest_->Complete(taken, uploadFullDumps, name);
  } catch (const JsonFileSerializedObject::TooLarge& e) {
    if (!application) throw;
    // The application's members left no room for the program's own: the
    // crash goes with a record of its own only, as for a manifest that
    // cannot be read.
    LogText(TLog::Warn,
            TFormatString("The manifest '%1' leaves the crash no room for its record; it goes "
                          "without it: %2")
                .arg(NativeText(manifestPath))
                .arg(e.GetConcatenatedMessages()));
    manifest_ =
        JsonFileSerializedObject::SaveNewFile(std::make_shared<CrashManifest>(), recordPath);
    manifest_->Complete(taken, uploadFullDumps, name);
  }
}

void CrashPackage::StampFilesAsFound() {
  if (!manifest_) return;
  FileStamps found;
  for (const auto& [path, file] : manifest_->GetCrashArtifactFiles()) {
    const auto identity =
        zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    // A link stands for itself, as the zip stamps it; where links are
    // followed, a dump that is one is the crash's as much as a plain file.
    using Kind = zor::platform::FileIdentity::Kind;
    if (identity && (identity->kind == Kind::kRegular ||
                     (identity->kind == Kind::kSymlink && GetTrustBoundary().FollowsLinks()))) {
      found.emplace(path, *identity);
    }
  }
  if (std::none_of(found.begin(), found.end(),
                   [](const auto& entry) { return ArtifactNames::MakesACrash(entry.first); })) {
    throw ZorvaneException(TFormatString("The dumps of crash '%1' vanished since they were listed")
                               .arg(GetPackageName()));
  }
  RecordFilesAsFound(std::move(found));
}

CrashPackage::CrashPackage(const rapidjson::Value& json, TrustBoundary boundary)
    : Package(json, std::move(boundary)) {
  // One without (LoadFromFile names it) cannot be zipped.
  if (!HasDataFile(DataFileKind::kManifestFile)) return;
  const TPath manifestPath = GetDataFilePath(DataFileKind::kManifestFile);
  // The status file is the program's own record, but the manifest it names
  // must still lie where the program works.
  LoadManifest(manifestPath, "the package status");
}

CrashPackage::~CrashPackage() = default;

std::shared_ptr<CrashPackage> CrashPackage::LoadFromFile(const TPath& path,
                                                         const TrustBoundary& boundary) {
  auto package = LoadObjectFromFile<CrashPackage>(path, boundary);
  // A package whose files were all deleted names none, rightly.
  if (!package->HasDataFile(DataFileKind::kManifestFile) && !package->HasNoFilesLeft()) {
    LogText(TLog::Warn,
            TFormatString("Package file does not contain path to package manifest! ('%1')")
                .arg(NativeText(path)));
  }
  package->LeaveOutDataFilesElsewhere();
  package->BoundStampsWithoutBirth();
  if (!package->GetCrashOwner()) package->TellOwnerFromStamps();
  return package;
}

void CrashPackage::TellOwnerFromStamps() {
  // Never its own record in the data directory, which is the program's
  // user's whoever's crash it is.
  std::set<TPath> ownFiles;
  for (const auto& [kind, path] : GetDataFiles()) ownFiles.insert(NormalisedPath(path.ToString()));
  for (const bool dumps : {true, false}) {
    for (const auto& [path, stamp] : GetZippedFiles()) {
      if (GetCrashOwner()) break;
      if (ArtifactNames::MakesACrash(path) != dumps ||
          ownFiles.count(NormalisedPath(path.ToString())) != 0) {
        continue;
      }
      const auto now = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
      if (now && IsStampedAs(GetZippedFiles(), path, *now)) SetCrashOwner(now->owner);
    }
  }
}

void CrashPackage::LoadManifest(const TPath& path, const TString& namedBy, uint64_t maxSize,
                                bool* tooLarge) {
  manifest_.reset();
  // One open for the check and the read: a name opened again could be a FIFO
  // by then, which blocks the run past any signal, or a link to a device.
  TString refusal;
  std::optional<zor::platform::TFile> file =
      GetTrustBoundary().OpenForReading(path, TPath(), &refusal);
  if (!file) {
    LogSkipped(path, namedBy, refusal);
    return;
  }
  if (const int64_t size = file->Size(); static_cast<uint64_t>(size) > maxSize) {
    LogText(TLog::Warn, TFormatString("The manifest '%1' has %2 bytes, more than the %3 that a "
                                      "crash's record takes of it: the crash goes without it, "
                                      "and it stays where it is")
                            .arg(NativeText(path))
                            .arg(static_cast<uint64_t>(size))
                            .arg(maxSize));
    if (tooLarge != nullptr) *tooLarge = true;
    return;
  }
  try {
    manifest_ = CrashManifest::LoadFromFile(*file);
  } catch (const ZorvaneException& e) {
    LogText(TLog::Warn, TFormatString("Error occurred when trying to load manifest for crash "
                                      "package '%1'. Error message: '%2'")
                            .arg(GetIdentityJson())
                            .arg(e.GetConcatenatedMessages()));
    manifest_.reset();
  }
}

void CrashPackage::AddRotatedLogs(const TPath& logPath,
                                  const std::function<bool(const TPath&)>& takes,
                                  CrashManifest::ArtifactFiles* files) const {
  std::vector<TPath> chain;
  try {
    RotatedLogsSet set(logPath, &GetTrustBoundary());
    set.ReadLogSet();
    chain = set.GetPaths();
  } catch (const ShortOfResources&) {
    // Not the chain's fault: the crash waits whole for a later run.
    throw;
  } catch (const ZorvaneException& e) {
    LogText(TLog::Warn, TFormatString("Error occurred while trying to get rotated log set: %1")
                            .arg(e.GetConcatenatedMessages()));
    return;
  }
  // Position 0 is the log itself, already recorded by the caller; the set
  // ended the chain before any file the boundary refused.
  for (size_t position = 1; position < chain.size(); ++position) {
    // A chain may name any file; a dump makes a crash of its own.
    if (IsDump(chain[position])) {
      if (files->count(chain[position]) == 0) {
        LogSkipped(chain[position], "the rotated log chain of " + Quoted(logPath),
                   "a dump or manifest goes with its own crash");
      }
      continue;
    }
    if (!takes(chain[position])) continue;
    auto file = std::make_shared<CrashArtifactFile>(chain[position]);
    file->SetUploadPermission(PermissionForRotatedLog(position, chain.size()));
    files->insert_or_assign(chain[position], file);
  }
}

TString CrashPackage::GetUploadFileName() const {
  return GetLocalPackageId().ToString(TUUID::kHexDigits);
}

TString CrashPackage::GetIdentityJson() const {
  Json::Document identity(rapidjson::kObjectType);
  Json::Allocator& allocator = identity.GetAllocator();
  identity.AddMember(rapidjson::StringRef(kCrashCorrelationIdMember),
                     Json::MakeString(GetPackageName(), allocator), allocator);
  if (HasRemotePackageId()) {
    identity.AddMember(rapidjson::StringRef(kIssueIdMember),
                       Json::MakeString(GetRemotePackageId(), allocator), allocator);
  }
  return TString(Json::WriteCompact(identity));
}

size_t CrashPackage::RoomToOpen(
    const std::vector<std::pair<TPath, const CrashArtifactFile*>>& order) const {
  uint64_t dumps = 0;
  for (const auto& [path, file] : order) {
    if (IsDump(path) && file->GetType() != ArtifactType::kManifest &&
        file->GetUploadPermission() == UploadPermission::kAllowed &&
        !(fullDumpsRefused_ && IsFullDump(path, *file)) &&
        zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow)) {
      ++dumps;
    }
  }
  // Every file taken stays open until it is zipped: a crash of more files
  // than the process may open at once takes its dumps and what else fits,
  // rather than never going under a limit that is there for good. Without a
  // dump it would go as a part of itself, and the dump come back as a crash
  // of its own, so its dumps alone past the limit make it wait for a run
  // that may open more.
  const uint64_t left = zor::platform::OpenFilesLeft();
  if (dumps + kDescriptorsKept / 2 > left) {
    const TString message = TFormatString(
                                "Crash '%1' has %2 dumps to send, and the process may "
                                "open only %3 more files at once (its limit of open "
                                "files, ulimit -n): it waits for a run with a higher "
                                "limit")
                                .arg(GetPackageName())
                                .arg(dumps)
                                .arg(left);
    throw ShortOfResources(message,
                           zor::platform::ZorvaneError::MakeError("resources", message, EMFILE));
  }
  return left > kDescriptorsKept ? left - kDescriptorsKept : 1;
}

TString CrashPackage::WhyNotCrashsOwn(const FileIdentity& identity) const {
  // As told when the package was made: told again from what is left, a crash
  // whose dumps are gone would have no owner, and another user's file at one
  // of its names would be read on its record's word and deleted with it.
  if (const std::optional<uid_t>& owner = GetCrashOwner()) {
    return NotTheCrashOwners(identity.owner, *owner);
  }
  return "it is not the file the package was made of, and whose crash the package is cannot "
         "be told";
}

std::optional<zor::platform::TFile> CrashPackage::OpenCrashFile(const TPath& path,
                                                                const TPath& namedBy,
                                                                TString* refusal) const {
  try {
    return GetTrustBoundary().OpenForReading(path, namedBy, refusal);
  } catch (const ShortOfResources&) {
    // Another user's busy file of the crash's name would hold the crash
    // back for as long as that user liked: it goes without it. Its own
    // (one it was made of, whoever owns it now) makes it wait.
    const auto entry = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    if (!entry || IsCrashsOwn(path, *entry)) throw;
    *refusal = "it is busy, and " + WhyNotCrashsOwn(*entry);
    return std::nullopt;
  }
}

std::vector<Package::FileToZip> CrashPackage::GetFilesToZip(const ZippedElsewhere& zippedThisRun) {
  const std::shared_ptr<CrashManifest> manifest = GetManifest();
  const TrustBoundary& boundary = GetTrustBoundary();
  const uint64_t maxBytes = Config::GetInstance().GetMaxArtifactBytes();
  std::vector<FileToZip> files;
  FileStamps found;
  TString refusal;
  ZipTally tally;
  // One file under many names (hard links, a user's links to folders) is
  // zipped once: else a few names would multiply what lands in the data
  // directory and goes up.
  std::set<std::pair<dev_t, ino_t>> zipped;
  const std::vector<std::pair<TPath, const CrashArtifactFile*>> order = DumpsFirst(*manifest);
  tally.room = RoomToOpen(order);
  OtherFilesCap cap;
  bool leftOutFull = false;
  for (const auto& [path, file] : order) {
    // Not read, but the crash's all the same: deleted with it as found now.
    // The application's manifest travels as the completed one, added last.
    const bool refusedFull = fullDumpsRefused_ && IsFullDump(path, *file) &&
                             file->GetUploadPermission() == UploadPermission::kAllowed;
    leftOutFull = leftOutFull || refusedFull;
    if (file->GetType() == ArtifactType::kManifest ||
        file->GetUploadPermission() != UploadPermission::kAllowed || refusedFull) {
      const auto stamp = StampOfUnread(path, boundary, manifest->GetFilePath());
      if (stamp && IsCrashsOwn(path, *stamp)) found[path] = *stamp;
      continue;
    }
    // Neither read nor stamped: left where it is, never deleted unsent.
    if (!cap.Takes(path)) continue;
    if (files.size() >= tally.room && !IsDump(path)) {
      if (tally.beyondRoom++ == 0) tally.firstBeyondRoom = path;
      continue;
    }
    std::optional<zor::platform::TFile> input =
        OpenCrashFile(path, manifest->GetFilePath(), &refusal);
    std::optional<FileIdentity> identity = input ? input->Identify() : std::nullopt;
    if (identity && !IsCrashsOwn(path, *identity)) {
      refusal = WhyNotCrashsOwn(*identity);
      input.reset();
      identity.reset();
    }
    if (!identity) {
      if (input) refusal = "it cannot be examined";
      if (tally.firstRefusal.isEmpty()) tally.firstRefusal = Quoted(path) + ": " + refusal;
      if (++tally.refused <= kRefusalsLogged)
        LogSkipped(path, Quoted(manifest->GetFilePath()), refusal);
      continue;
    }
    ++tally.opened;
    // A file another crash's zip holds is that crash's to delete once it is
    // sent: deleted with this one, it would be lost were that one given up.
    const bool elsewhere = IsZippedElsewhere(zippedThisRun, *identity);
    if (const auto stamp = StampOfOpened(path, *identity); stamp && !elsewhere) {
      found[path] = *stamp;
      if (!ArtifactNames::MakesACrash(path) && stamp->kind == FileIdentity::Kind::kRegular) {
        found[path].tailCrc = TailCrcOf(*input, identity->size);
      }
    }
    if (!zipped.insert({identity->device, identity->inode}).second || elsewhere) {
      ++tally.repeated;
      continue;
    }
    // The size of what was opened, not of whatever the name means by now.
    if (identity->size > maxBytes) {
      LogText(TLog::Warn, TFormatString("Skipping '%1' of package '%2': its %3 bytes are more "
                                        "than servercrashupload.max_artifact_size_mb allows")
                              .arg(path.ToString())
                              .arg(GetPackageName())
                              .arg(identity->size));
      continue;
    }
    files.push_back({path, std::move(*input), identity->size});
  }
  cap.LogLeftOut(GetPackageName(), manifest->GetFilePath().Parent());
  tally.Report(GetPackageName(), manifest->GetFilePath(), kRefusalsLogged);
  const bool dumpTaken = std::any_of(files.begin(), files.end(), [](const FileToZip& taken) {
    return ArtifactNames::MakesACrash(taken.path);
  });
  if (!dumpTaken && tally.repeated > 0 && !leftOutFull) {
    // Its dumps went up in another crash's zip of this run: sent now, it
    // would be its manifest alone.
    const TString message = TFormatString(
                                "The dumps of crash '%1' went in another crash's zip of "
                                "this run: it waits for the next run")
                                .arg(GetPackageName());
    throw CrashWaits(message,
                     zor::platform::ZorvaneError::MakeError("zipped-elsewhere", message, EAGAIN));
  }
  if (leftOutFull && !dumpTaken) {
    // Uncounted: the crash is whole, only this run's choice keeps its dump
    // back, and sent without it the crash would be its manifest alone.
    const TString message = TFormatString(
                                "Crash '%1' has no dump but full dumps, which this run "
                                "leaves out (--no-full-dumps): it waits for a run that "
                                "sends them")
                                .arg(GetPackageName());
    throw CrashWaits(message,
                     zor::platform::ZorvaneError::MakeError("full-dumps", message, EAGAIN));
  }
  files.push_back(OpenManifestToZip(manifest->GetFilePath(), &found));
  SetFilesFoundForZip(std::move(found), leftOutFull);
  return files;
}

Package::FileToZip CrashPackage::OpenManifestToZip(const TPath& path, FileStamps* found) const {
  TString refusal;
  auto input = GetTrustBoundary().OpenForReading(path, TPath(), &refusal);
  if (!input) {
    throw ZorvaneException(
        TFormatString("The manifest '%1' cannot be read: %2").arg(path.ToString()).arg(refusal));
  }
  const auto identity = input->Identify();
  // An application's manifest serving as the record (an earlier version
  // took a completed one so) is a file of a dump folder like any other:
  // another user's file made at its name since is not the crash's to send.
  if (!LiesBesideStatusFile(path) && (!identity || !IsCrashsOwn(path, *identity))) {
    throw ZorvaneException(
        TFormatString("The manifest '%1' is not the crash's record: %2")
            .arg(path.ToString())
            .arg(identity ? WhyNotCrashsOwn(*identity) : TString("it cannot be examined")));
  }
  if (identity) {
    if (const auto stamp = StampOfOpened(path, *identity)) (*found)[path] = *stamp;
  }
  return {path, std::move(*input)};
}

TString CrashPackage::GetZipEntryName(const TPath& path) const {
  if (!manifest_ || path != manifest_->GetFilePath() ||
      !path.Filename().endsWith(TString(".") + kManifestRecordSuffix)) {
    return Package::GetZipEntryName(path);
  }
  // The record carries the name of the application's manifest, or the name
  // an application would have given it.
  const TPath* first = nullptr;
  for (const auto& [listed, file] : manifest_->GetCrashArtifactFiles()) {
    if (file->GetType() == ArtifactType::kManifest) return listed.Filename();
    if (first == nullptr) first = &listed;
  }
  if (first == nullptr) return path.Filename();
  // A name that gives no key (a Java heap dump's) names it by the package.
  const TString key = ArtifactNames::GetFileNameKey(*first);
  return (key.isEmpty() ? GetPackageName() : key) + ArtifactNames::kManifestSuffix;
}

bool CrashPackage::DeleteOwnFiles(TString* deleted) {
  if (!manifest_) {
    if (!HasNoFilesLeft()) {
      LogText(TLog::Warn, TFormatString("Cannot delete dump files for package '%1', because the "
                                        "manifest failed to load")
                              .arg(GetPackageName()));
    }
    return true;
  }
  const TPath manifestPath = manifest_->GetFilePath();
  // Judged while the manifest still exists: the directory is the crash's
  // only under the owner rule for what that manifest names (a user's
  // manifest may name another user's folder).
  const TPath directory = GetPackageDirectory();
  const bool ownDirectory =
      IsInOwnDirectory() && GetTrustBoundary().WhyNotDeleted(directory, manifestPath).isEmpty();
  bool allGone = true;
  uint64_t named = 0;
  Leftovers left;
  for (const auto& [path, file] : manifest_->GetCrashArtifactFiles()) {
    // The manifest, which may list itself, goes last: the files it names
    // are judged by it, and it records what is left to delete.
    if (path == manifestPath) continue;
    // A manifest may name a great many files: the log names a few.
    if (++named <= kRefusalsLogged) {
      LogText(TLog::Debug, TFormatString("Deleting dump file '%1'").arg(path.ToString()));
    }
    if (!DeleteCrashFile(path, manifestPath, deleted, &left)) allGone = false;
  }
  if (named > kRefusalsLogged) {
    LogText(TLog::Debug, TFormatString("Deleting %1 more dump files of package '%2'")
                             .arg(named - kRefusalsLogged)
                             .arg(GetPackageName()));
  }
  if (left.refused > kRefusalsLogged) {
    LogText(TLog::Warn, TFormatString("Not deleting %1 more file(s) that '%2' names")
                            .arg(left.refused - kRefusalsLogged)
                            .arg(manifestPath.ToString()));
  }
  if (left.kept > kRefusalsLogged) {
    LogText(TLog::Info, TFormatString("Keeping %1 more file(s) of package '%2' that its zip "
                                      "did not hold")
                            .arg(left.kept - kRefusalsLogged)
                            .arg(GetPackageName()));
  }
  if (left.unreached > kRefusalsLogged) {
    LogText(TLog::Info, TFormatString("And %1 more file(s) of package '%2' out of this run's reach")
                            .arg(left.unreached - kRefusalsLogged)
                            .arg(GetPackageName()));
  }
  // The manifest goes only with every dump: it is the record of what is left
  // to delete in the next run. The program's own record in the data
  // directory goes with the data files, whatever its times say.
  if (!allGone || (!LiesBesideStatusFile(manifestPath) &&
                   !DeleteCrashFile(manifestPath, GetFilePath(), deleted, &left, false))) {
    return false;
  }
  return !ownDirectory || RemoveOwnDirectory(deleted);
}

std::optional<uint32_t> CrashPackage::TailCrcNow(const TPath& path, const FileIdentity& now,
                                                 uint64_t size) const {
  if (!manifest_) return std::nullopt;
  try {
    TString refusal;
    std::optional<zor::platform::TFile> file =
        GetTrustBoundary().OpenForReading(path, manifest_->GetFilePath(), &refusal);
    const auto opened = file ? file->Identify() : std::nullopt;
    if (!opened || opened->device != now.device || opened->inode != now.inode) return std::nullopt;
    return TailCrcOf(*file, size);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

TString CrashPackage::WhyNotReadNow(const TPath& path) const {
  if (!manifest_ || LiesBesideStatusFile(path)) return {};
  try {
    return GetTrustBoundary().WhyNotRead(path, manifest_->GetFilePath());
  } catch (const std::exception& e) {
    return TString(e.what());
  }
}

TString CrashPackage::FirstUnstampedSourceGone(const std::set<TPath>& unneeded) const {
  if (!manifest_) {
    return HasDataFile(DataFileKind::kManifestFile)
               ? GetDataFilePath(DataFileKind::kManifestFile).ToString()
               : TString("its manifest");
  }
  for (const auto& [path, file] : manifest_->GetCrashArtifactFiles()) {
    if (!ArtifactNames::MakesACrash(path) || unneeded.count(path) != 0) continue;
    const auto now = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    // One written since the package's files were made (the process crashed
    // once more; written in place, its birth stays) is another crash.
    if (!now || !IsCrashsOwn(path, *now) ||
        (GetFilesBornBy() != 0 && now->modifiedNs > GetFilesBornBy())) {
      return path.ToString();
    }
  }
  return {};
}

bool CrashPackage::DeleteCrashFile(const TPath& path, const TPath& namedBy, TString* deleted,
                                   Leftovers* left, bool countRefusals) const {
  uint64_t* refused = countRefusals ? &left->refused : nullptr;
  const FileStamps& zipped = GetZippedFiles();
  // A package zipped by an older version, or never: its manifest's word is
  // all there is, for a file that is still the crash's.
  if (zipped.empty()) {
    const auto now = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    if (now && !IsCrashsOwn(path, *now)) {
      if (++left->kept <= kRefusalsLogged) {
        LogText(TLog::Info, TFormatString("Keeping '%1' of package '%2': %3")
                                .arg(path.ToString())
                                .arg(GetPackageName())
                                .arg(WhyNotCrashsOwn(*now)));
      }
      return true;
    }
    return DeleteOwnFile(path, namedBy, deleted, now ? &*now : nullptr, refused);
  }
  const auto stamp = zipped.find(path);
  if (stamp != zipped.end()) {
    // Its folder away for a run, or a run given other dump directories: were
    // the record to go, the crash would be sent again once the folder is back.
    const TString why = GetTrustBoundary().WhyOutOfReach(path, stamp->second);
    if (why.isEmpty()) return DeleteOwnFile(path, namedBy, deleted, &stamp->second, refused);
    if (ForgetsFilesOutOfReach()) {
      if (++left->unreached <= kRefusalsLogged) {
        LogText(TLog::Info, TFormatString("Forgetting '%1' of package '%2', which %3: its record "
                                          "is kept no longer")
                                .arg(path.ToString())
                                .arg(GetPackageName())
                                .arg(why));
      }
      return true;
    }
    if (++left->unreached <= kRefusalsLogged) {
      LogText(TLog::Info, TFormatString("Keeping the record of package '%1' for a later run: "
                                        "its file '%2' %3")
                              .arg(GetPackageName())
                              .arg(path.ToString())
                              .arg(why));
    }
    return false;
  }
  // Refused, or not there, when the zip was made: what has the name now was
  // never the package's.
  if (zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow) &&
      ++left->kept <= kRefusalsLogged) {
    LogText(TLog::Info,
            TFormatString("Keeping '%1' of package '%2': %3")
                .arg(path.ToString())
                .arg(GetPackageName())
                .arg(LeftToOthers(path) ? "other crashes name it too" : "its zip did not hold it"));
  }
  return true;
}

bool CrashPackage::RemoveOwnDirectory(TString* deleted) const {
  const TrustBoundary& boundary = GetTrustBoundary();
  const TPath directory = GetPackageDirectory();
  Filesystem& filesystem = Filesystem::GetInstance();
  if (!filesystem.DirectoryExists(directory)) return true;
  // Checked before the listing: a crafted manifest may point anywhere, and a
  // directory outside is neither listed nor removed.
  if (!boundary.WhyNotDeleted(directory, GetFilePath()).isEmpty()) {
    return DeleteOwnFile(directory, GetFilePath(), deleted);
  }
  const auto own = [](const TPath& path, FileIdentity::Kind kind) {
    const auto entry = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    return entry && entry->kind == kind && entry->owner == zor::platform::EffectiveUser();
  };
  if (zor::platform::CrashNames::IsCrashDirectory(directory.Filename()) &&
      own(directory, FileIdentity::Kind::kDirectory)) {
    for (const TPath& file : filesystem.ListFiles(directory, {}, true)) {
      if (zor::platform::CrashNames::IsUnfinishedFullDump(file.Filename()) &&
          own(file, FileIdentity::Kind::kRegular)) {
        DeleteOwnFile(file, GetFilePath(), deleted);
      }
    }
  }
  // Whatever else lies there was never recorded as the crash's: it stays, and
  // so does the directory.
  const std::set<TPath> left = filesystem.ListFilesRecursively(directory, {}, false, true, false);
  if (!left.empty()) {
    TString names;
    size_t shown = 0;
    for (const TPath& name : left) {
      if (shown++ == kLeftoversShown) {
        names += ", ...";
        break;
      }
      names += (names.isEmpty() ? TString("'") : TString(", '")) + name.ToString() + "'";
    }
    LogText(TLog::Warn, TFormatString("Keeping the directory '%1' of package '%2': it still "
                                      "holds %3 entries that are not the package's: %4")
                            .arg(directory.ToString())
                            .arg(GetPackageName())
                            .arg(static_cast<uint64_t>(left.size()))
                            .arg(names));
    return true;
  }
  return DeleteOwnFile(directory, GetFilePath(), deleted);
}

TString CrashPackage::GetProductBuild() const {
  return manifest_ ? manifest_->GetProductBuild() : TString(CrashManifest::kUnspecified);
}

TString CrashPackage::GetEdition() const {
  return manifest_ ? manifest_->GetEdition() : TString(CrashManifest::kUnspecified);
}

namespace {

// The crash happened on this host: a system value the manifest leaves out
// (an application's manifest taken as it stands) is this host's, as in a
// record the program completes.
TString OrThisHosts(const TString& value, const std::function<TString()>& host) {
  return value.isEmpty() || value == CrashManifest::kUnspecified ? host() : value;
}

}  // namespace

TString CrashPackage::GetOs() const {
  if (!manifest_) return CrashManifest::kUnspecified;
  return OrThisHosts(manifest_->GetOs(), [] { return zor::platform::TSystem::OSShortName(); });
}

TString CrashPackage::GetOsVersion() const {
  if (!manifest_) return CrashManifest::kUnspecified;
  return OrThisHosts(manifest_->GetOsVersion(), [] { return SystemInfo::Get().GetOsVersion(); });
}

TString CrashPackage::GetProcessorArchitecture() const {
  if (!manifest_) return CrashManifest::kUnspecified;
  return OrThisHosts(manifest_->GetProcessorArchitecture(),
                     [] { return SystemInfo::Get().GetProcessorArchitecture(); });
}

std::shared_ptr<CrashManifest> CrashPackage::GetManifest() const {
  if (!manifest_) {
    throw ZorvaneException(
        "Manifest failed to load on package construction. See warnings in log file for "
        "details.");
  }
  return manifest_;
}

bool CrashPackage::GetUploadFullDumps() const {
  return manifest_ ? manifest_->GetUploadFullDumps() : true;
}

bool CrashPackage::MayHoldFullDumps() const { return !manifest_ || !AllowedFullDumps().empty(); }

std::set<TPath> CrashPackage::AllowedFullDumps() const {
  std::set<TPath> full;
  if (!manifest_) return full;
  for (const auto& [path, file] : manifest_->GetCrashArtifactFiles()) {
    if (IsFullDump(path, *file) && file->GetUploadPermission() == UploadPermission::kAllowed) {
      full.insert(path);
    }
  }
  return full;
}

TPath CrashPackage::GetPackageDirectory() const {
  if (!manifest_ || manifest_->GetCrashArtifactFiles().empty()) return TPath();
  return manifest_->GetCrashArtifactFiles().begin()->first.Parent();
}

bool CrashPackage::IsInOwnDirectory() const {
  if (!manifest_) return false;
  const TPath directory = GetPackageDirectory();
  if (directory.IsEmpty()) return false;
  try {
    if (manifest_->CompareManifestVersion(kLastSharedDirectoryVersion) < 1) return false;
  } catch (const std::logic_error&) {
    // A version that is no number ("Unspecified"), or none an int holds,
    // says nothing about the directory; its name decides. Thrown on, it
    // would make the package one that can never be deleted.
  }
  // Only a folder made for one crash: a user's dump folder whose name holds a
  // short crash name ("s.dmp" in "users") would go once empty, and its user
  // could not make it again in a folder of root's.
  const TString name = directory.Filename();
  return name.endsWith(".crash") && name.contains(GetPackageName());
}

}  // namespace ZorErrorReporting
