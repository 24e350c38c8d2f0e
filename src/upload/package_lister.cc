#include "upload/package_lister.h"

#include <algorithm>
#include <set>
#include <utility>

#include "files/filesystem.h"
#include "packages/crash_package.h"
#include "packages/json_document.h"
#include "packages/package_upload_progress.h"
#include "packages/trust_boundary.h"
#include "packages/upload_rate_state.h"
#include "platform/display_text.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"
#include "upload/crash_package_processor.h"
#include "upload/package_footprint.h"
#include "upload/package_status_file.h"
#include "upload/upload_rate_limit.h"
#include "upload/waiting_crashes.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::EscapeForDisplay;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;

namespace {

constexpr char kIsoPattern[] = "yyyy-MM-dd'T'HH:mm:sst";
constexpr char kNone[] = "-";
// A crash that no package holds yet: not an upload status of its own.
constexpr char kWaitingStatus[] = "Waiting";
// A package a deletion began on (see Package::IsBeingDeleted): never sent.
constexpr char kDeletingStatus[] = "Deleting";
// An unreadable file's reason quotes its content; a listing line needs less.
constexpr int64_t kMaxReasonInText = 200;

TString TypeLabel(PackageType type) {
  switch (type) {
    case PackageType::kCrashPackage:
      return "crash";
    case PackageType::kZippedLogsPackage:
      return "logs";
    default:
      return ToName(type);
  }
}

std::optional<uint64_t> SizeIfPresent(const Package& package, DataFileKind kind) {
  if (!package.HasDataFile(kind)) return std::nullopt;
  const TPath path = package.GetDataFilePath(kind);
  if (!Filesystem::GetInstance().FileExists(path)) return std::nullopt;
  return SizeOfFileOrZero(path);
}

// What the file name tells of an unreadable status file:
// "<name>.<type>.<status>".
void DescribeFromName(const TPath& statusFile, PackageListEntry* entry) {
  const TString fileName = statusFile.Filename();
  const int64_t lastDot = fileName.ReverseFind(".");
  entry->status = ToName(UploadStatusFromName(fileName.mid(lastDot + 1)));
  entry->name = fileName.left(lastDot);
  entry->type = TypeLabel(PackageType::kUnknownPackage);
  for (const PackageType type : {PackageType::kCrashPackage, PackageType::kZippedLogsPackage}) {
    const TString suffix = "." + ToName(type);
    if (entry->name.endsWith(suffix, false)) {
      entry->name = entry->name.left(entry->name.size() - suffix.size());
      entry->type = TypeLabel(type);
    }
  }
}

std::optional<int64_t> AgeSeconds(const PackageListEntry& entry, const DateTime& now) {
  if (!entry.created.IsValid()) return std::nullopt;
  return std::max<int64_t>(0, now.GetAsUnixTime() - entry.created.GetAsUnixTime());
}

TString FormatAge(std::optional<int64_t> seconds) {
  if (!seconds) return kNone;
  constexpr int64_t kMinute = 60, kHour = 60 * kMinute, kDay = 24 * kHour;
  if (*seconds >= kDay) return TString::Number(*seconds / kDay) + "d";
  if (*seconds >= kHour) return TString::Number(*seconds / kHour) + "h";
  if (*seconds >= kMinute) return TString::Number(*seconds / kMinute) + "m";
  return TString::Number(*seconds) + "s";
}

TString OrNone(std::optional<uint64_t> value) {
  return value ? TString::Number(*value) : TString(kNone);
}

// Cut before it is escaped, so that no escape is cut in two.
TString OneLine(const TString& text) {
  const TString line = text.size() > kMaxReasonInText ? text.left(kMaxReasonInText) + "..." : text;
  return EscapeForDisplay(line);
}

// "-" for a package that is not waiting to be tried, else "now", "in <wait>"
// or "rate-limit" (due, but the upload rate limit held it back).
TString FormatNextAttempt(const PackageListEntry& e, const DateTime& now) {
  if (e.status != ToName(UploadStatus::kPending) && e.status != ToName(UploadStatus::kPendingRetry)) {
    return kNone;
  }
  const int64_t wait =
      e.nextAttempt.IsValid() ? e.nextAttempt.GetAsUnixTime() - now.GetAsUnixTime() : 0;
  if (wait > 0) return "in " + FormatAge(wait);
  return e.heldBack ? "rate-limit" : "now";
}

std::string LastErrorLine(const PackageListEntry& e, const DateTime& now) {
  if (!e.lastError || e.status == ToName(UploadStatus::kComplete)) return {};
  const int64_t age = std::max<int64_t>(0, now.GetAsUnixTime() - e.lastError->time.GetAsUnixTime());
  return ("  last error, " + FormatAge(age) + " ago: " + OneLine(e.lastError->message))
             .toStdString() +
         "\n";
}

}  // namespace

PackageLister::PackageLister(TPath dataDirectory, std::vector<TPath> dumpDirectories,
                             std::optional<uint32_t> maxUploadsPerHour)
    : dataDirectory_(std::move(dataDirectory)),
      dumpDirectories_(std::move(dumpDirectories)),
      maxUploadsPerHour_(maxUploadsPerHour) {}

bool PackageLister::HourIsSpent() const {
  if (!maxUploadsPerHour_) return false;
  const TPath state = dataDirectory_ / UploadRateLimit::kStateFileName;
  std::shared_ptr<UploadRateState> loaded;
  try {
    if (!Filesystem::GetInstance().FileExists(state)) return false;
    loaded = UploadRateState::LoadFromFile(state);
  } catch (const std::exception&) {
    // Unreadable, it holds nothing back: the next run counts no earlier uploads either.
    return false;
  }
  return UploadRateLimit::RecentUploads(loaded->GetUploadTimes(), DateTime::GetLocalTime()) >=
         *maxUploadsPerHour_;
}

std::vector<PackageListEntry> PackageLister::List() const {
  Filesystem& fs = Filesystem::GetInstance();
  std::vector<PackageListEntry> entries;
  // An empty listing of a file at its name would look like a clean server.
  RefuseDataDirectoryOfAnotherKind(dataDirectory_);
  if (fs.DirectoryExists(dataDirectory_)) {
    // The same boundary as an upload run's: a manifest is read only where it
    // would be uploaded from.
    std::vector<TPath> roots = dumpDirectories_;
    roots.push_back(dataDirectory_);
    const TrustBoundary boundary(roots);
    std::vector<TString> extensions;
    for (const UploadStatus status : kStoredStatuses)
      extensions.push_back(StatusFileExtension(status));
    const bool spent = HourIsSpent();
    const DateTime now = DateTime::GetLocalTime();
    for (const TPath& path : fs.ListFiles(dataDirectory_, extensions, true)) {
      PackageListEntry& entry = entries.emplace_back(Describe(path, boundary));
      // Only one that would be sent now is held back.
      const bool due =
          (entry.status == ToName(UploadStatus::kPending) ||
           entry.status == ToName(UploadStatus::kPendingRetry)) &&
          !(entry.nextAttempt.IsValid() && entry.nextAttempt.GetAsUnixTime() > now.GetAsUnixTime());
      entry.heldBack = spent && due;
    }
  }
  // As the upload knows its packages.
  KnownCrashes known;
  for (const PackageListEntry& entry : entries)
    known.Add(entry.name, entry.crashGroup, entry.heldCrashFiles);
  for (const WaitingCrash& crash : FindWaitingCrashes(dumpDirectories_, known)) {
    PackageListEntry entry;
    entry.name = crash.name;
    entry.type = TypeLabel(PackageType::kCrashPackage);
    entry.status = kWaitingStatus;
    entry.created = crash.newest;
    entries.push_back(std::move(entry));
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const PackageListEntry& a, const PackageListEntry& b) {
                     return a.created.GetAsUnixTimeMs() > b.created.GetAsUnixTimeMs();
                   });
  return entries;
}

PackageListEntry PackageLister::Describe(const TPath& statusFile,
                                         const TrustBoundary& boundary) const {
  PackageListEntry entry;
  entry.statusFile = statusFile;
  std::shared_ptr<Package> package;
  try {
    package = LoadPackageStatusFile(statusFile, boundary);
  } catch (const zor::platform::ZorvaneException& e) {
    entry.error = e.GetConcatenatedMessages();
  } catch (const std::exception& e) {
    entry.error = TString(e.what());
  }
  if (!package) {
    DescribeFromName(statusFile, &entry);
    try {
      entry.created = Filesystem::GetInstance().LastWriteTime(statusFile);
    } catch (const std::exception&) {
      // Gone meanwhile: listed without a time.
    }
    return entry;
  }
  entry.name = package->GetPackageName();
  entry.type = TypeLabel(package->GetPackageType());
  entry.status =
      package->IsBeingDeleted() ? TString(kDeletingStatus) : ToName(package->GetUploadStatus());
  const std::vector<UploadResult> results = package->GetUploadResults();
  entry.attempts = static_cast<size_t>(package->CountedAttempts());
  if (!results.empty()) entry.lastResult = results.back();
  entry.lastError = package->GetLastError();
  entry.nextAttempt = package->GetNextAttempt();
  entry.zipBytes = SizeIfPresent(*package, DataFileKind::kZippedPackageFile);
  entry.encryptedBytes = SizeIfPresent(*package, DataFileKind::kEncryptedPackageFile);
  entry.created = PackageFootprint::Measure(*package).created;
  entry.remotePackageId = package->GetRemotePackageId();
  entry.heldCrashFiles = package->GetHeldCrashFiles();
  if (const auto crash = std::dynamic_pointer_cast<CrashPackage>(package)) {
    entry.crashGroup = CrashGroupOf(*crash);
  }
  // Loaded directly, so that nothing is kept of it.
  if (package->HasDataFile(DataFileKind::kPartsUploadedFile)) {
    try {
      const auto progress = PackageUploadProgress::LoadFromFile(
          package->GetDataFilePath(DataFileKind::kPartsUploadedFile));
      entry.partsUploaded = progress->GetCompletedParts()->size();
      entry.partsTotal = static_cast<uint64_t>(progress->GetPartCount());
    } catch (const std::exception&) {
      // Removed after the upload, or unreadable: no parts to report.
    }
  }
  return entry;
}

std::string PackageLister::FormatText(const std::vector<PackageListEntry>& entries,
                                      const DateTime& now) {
  std::vector<std::vector<TString>> rows;
  rows.push_back({"NAME", "TYPE", "STATUS", "ATTEMPTS", "LAST-RESULT", "ZIP", "ENCRYPTED", "AGE",
                  "REMOTE-ID", "PARTS", "NEXT-ATTEMPT"});
  for (const PackageListEntry& e : entries) {
    const bool readable = e.error.isEmpty();
    const TString parts =
        e.partsTotal ? TString::Number(*e.partsUploaded) + "/" + TString::Number(*e.partsTotal)
                     : TString(kNone);
    // A name comes from a file name and an id from a server: neither may
    // break a row or reach the terminal as a control sequence.
    rows.push_back(
        {EscapeForDisplay(e.name, zor::platform::DisplayForm::kExactBytes), e.type,
         readable ? e.status : TString("Unreadable"),
         readable ? TString::Number(static_cast<uint64_t>(e.attempts)) : kNone,
         e.lastResult ? ToName(e.lastResult->code) : kNone, OrNone(e.zipBytes),
         OrNone(e.encryptedBytes), FormatAge(AgeSeconds(e, now)),
         e.remotePackageId.isEmpty() ? TString(kNone) : EscapeForDisplay(e.remotePackageId), parts,
         FormatNextAttempt(e, now)});
  }
  std::vector<int64_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (size_t r = 0; r < rows.size(); ++r) {
    TString line;
    for (size_t i = 0; i < rows[r].size(); ++i) {
      line += rows[r][i];
      if (i + 1 < rows[r].size()) {
        line += TString(std::string(static_cast<size_t>(widths[i] - rows[r][i].size() + 2), ' '));
      }
    }
    if (r > 0 && !entries[r - 1].error.isEmpty()) line += "  " + OneLine(entries[r - 1].error);
    text += line.trim().toStdString() + "\n";
    if (r > 0) text += LastErrorLine(entries[r - 1], now);
  }
  return text;
}

std::string PackageLister::FormatJson(const std::vector<PackageListEntry>& entries,
                                      const DateTime& now) {
  Json::Document document(rapidjson::kArrayType);
  Json::Allocator& allocator = document.GetAllocator();
  const auto text = [&](const TString& value) { return Json::MakeString(value, allocator); };
  const auto number = [](std::optional<uint64_t> value) {
    return value ? Json::Value(*value) : Json::Value(rapidjson::kNullType);
  };
  for (const PackageListEntry& e : entries) {
    Json::Value item(rapidjson::kObjectType);
    const bool readable = e.error.isEmpty();
    const std::optional<int64_t> age = AgeSeconds(e, now);
    item.AddMember("name", text(e.name), allocator);
    item.AddMember("type", text(e.type), allocator);
    item.AddMember("status", text(e.status), allocator);
    item.AddMember("status-file",
                   e.statusFile.IsEmpty() ? Json::Value(rapidjson::kNullType)
                                          : text(TString(e.statusFile.NativeString())),
                   allocator);
    item.AddMember("readable", readable, allocator);
    if (!readable) item.AddMember("error", text(e.error), allocator);
    item.AddMember("created",
                   e.created.IsValid() ? text(e.created.Format(kIsoPattern))
                                       : Json::Value(rapidjson::kNullType),
                   allocator);
    item.AddMember("age-seconds", age ? Json::Value(*age) : Json::Value(rapidjson::kNullType),
                   allocator);
    if (readable) {
      item.AddMember("attempts", static_cast<uint64_t>(e.attempts), allocator);
      const auto result = [&](const std::optional<UploadResult>& r) {
        Json::Value value(rapidjson::kNullType);
        if (!r) return value;
        value.SetObject();
        value.AddMember("code", text(ToName(r->code)), allocator);
        value.AddMember("message", text(r->message), allocator);
        value.AddMember("timestamp", text(r->time.Format(kIsoPattern)), allocator);
        return value;
      };
      item.AddMember("last-result", result(e.lastResult), allocator);
      item.AddMember("last-error", result(e.lastError), allocator);
      item.AddMember("next-attempt",
                     e.nextAttempt.IsValid() ? text(e.nextAttempt.Format(kIsoPattern))
                                             : Json::Value(rapidjson::kNullType),
                     allocator);
      item.AddMember("held-back", e.heldBack, allocator);
      item.AddMember("zip-bytes", number(e.zipBytes), allocator);
      item.AddMember("encrypted-bytes", number(e.encryptedBytes), allocator);
      item.AddMember(
          "remote-package-id",
          e.remotePackageId.isEmpty() ? Json::Value(rapidjson::kNullType) : text(e.remotePackageId),
          allocator);
      item.AddMember("parts-uploaded", number(e.partsUploaded), allocator);
      item.AddMember("parts-total", number(e.partsTotal), allocator);
    }
    document.PushBack(item, allocator);
  }
  return Json::WriteCompact(document) + "\n";
}

}  // namespace ZorErrorReporting
