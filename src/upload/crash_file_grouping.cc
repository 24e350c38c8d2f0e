#include "upload/crash_file_grouping.h"

#include <cstdint>
#include <cstdio>

#include "log/log_functions.h"
#include "packages/artifact_name_rules.h"
#include "packages/crash_package.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/tformat_string.h"
#include "platform/tregex.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TRegex;
using zor::platform::TString;
namespace TLog = zor::platform::TLog;

namespace {

constexpr char kDefaultExclusion[] = R"(.*\.temp.*)";

TRegex ExclusionRegex(const TString& pattern) {
  const TString text = pattern.isEmpty() ? TString(kDefaultExclusion) : pattern;
  TRegex regex(text, TRegex::Case::Insensitive);
  if (!regex.IsValid()) {
    LogText(TLog::Warn, TFormatString("The file name exclusion expression '%1' is invalid (%2); "
                                      "no file is excluded.")
                            .arg(text)
                            .arg(regex.ErrorString()));
  }
  return regex;
}

// Eight hexadecimal digits of FNV-1a over `text`.
TString Tag(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (const unsigned char c : text) hash = (hash ^ c) * 16777619u;
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(hash));
  return TString(digits);
}

// What this program's crash handler is still writing: its staging folder
// ends in ".crash.temp" until renamed into place (a file it writes ends in
// ".temp", no crash file's extension). Skipped whatever the exclusion setting
// says; adoption takes a killed handler's.
bool IsBeingWritten(const TPath& path) { return path.Parent().Filename().endsWith(".crash.temp"); }

}  // namespace

CrashFileGroups GroupCrashFiles(const std::set<TPath>& listing, const TString& exclusionPattern,
                                const std::function<bool(const CrashFileGroups::GroupId&)>& isKnown) {
  const TRegex exclusion = ExclusionRegex(exclusionPattern);
  std::map<CrashFileGroups::GroupId, std::shared_ptr<CrashFileGroups::Files>> groups;
  CrashFileGroups result;
  for (const TPath& path : listing) {
    if (IsBeingWritten(path) || exclusion.Search(path.ToString())) continue;
    if (ArtifactNames::GdbStackFileRegex().Search(path.Filename())) {
      const TString key = GetProcessKey(path);
      if (!key.isEmpty()) result.gdbFiles[key].push_back(path);
      LogText(TLog::Debug, TFormatString("Found GDB crash stacks file (%1).").arg(path.ToString()));
      continue;
    }
    const TString key = ArtifactNames::GetGroupingKey(path);
    if (key.isEmpty()) continue;
    const CrashFileGroups::GroupId id(path.Parent(), key);
    if (isKnown(id)) continue;
    std::shared_ptr<CrashFileGroups::Files>& group = groups[id];
    if (!group) group = std::make_shared<CrashFileGroups::Files>();
    group->insert(path);
    if (result.found.count(id) != 0) continue;
    // Files added after the group is found still belong to it: the set is shared.
    if (ArtifactNames::MakesACrash(path)) {
      LogText(TLog::Debug,
              TFormatString(ArtifactNames::IsJavaFile(path) ? "Found java artifact (%1)."
                                                            : "Found crash package (%1).")
                  .arg(path.ToString()));
      result.found.emplace(id, group);
    }
  }
  return result;
}

TString GetProcessKey(const TPath& path) {
  TString processName;
  uint64_t pid = 0;
  bool parsed = false;
  if (ArtifactNames::GdbStackFileRegex().Search(path.Filename())) {
    uint64_t signal = 0;
    uint64_t timestamp = 0;
    parsed = ArtifactNames::ParseGdbStackFileName(path, &processName, &pid, &signal, &timestamp);
  } else if (ArtifactNames::IsJavaFile(path)) {
    uint64_t timestamp = 0;
    TString packageId;
    parsed = ArtifactNames::ParseJavaFileName(path, &processName, &pid, &timestamp, &packageId);
  } else {
    parsed = ArtifactNames::ParseProcessFileName(path, &processName, &pid);
  }
  if (!parsed) return {};
  return processName + "." + TString::Number(pid);
}

std::set<TPath> GdbFilesForGroup(const CrashFileGroups& groups,
                                 const CrashFileGroups::Files& group) {
  // The first name that tells the process: "app.41-full.dmp", first in path
  // order, gives no pid, "app.41.dmp" after it does.
  TString key;
  const TPath* named = nullptr;
  for (const TPath& path : group) {
    key = GetProcessKey(path);
    named = &path;
    if (!key.isEmpty()) break;
  }
  if (key.isEmpty()) return {};
  const auto gdb = groups.gdbFiles.find(key);
  if (gdb == groups.gdbFiles.end()) return {};
  using zor::platform::IdentifyPath;
  using zor::platform::LinkHandling;
  const auto crash = IdentifyPath(*named, LinkHandling::kDoNotFollow);
  if (!crash) return {};
  for (const TPath& path : gdb->second) {
    const auto stacks = IdentifyPath(path, LinkHandling::kDoNotFollow);
    if (stacks && stacks->owner == crash->owner) return {path};
  }
  return {};
}

std::optional<CrashFileGroups::GroupId> CrashGroupOf(const CrashPackage& package) {
  if (package.HasDataFile(DataFileKind::kManifestFile)) {
    const TPath manifest = package.GetDataFilePath(DataFileKind::kManifestFile);
    const TString key = ArtifactNames::GetGroupingKey(manifest);
    if (ArtifactNames::RecognizeArtifactType(manifest.ToString()) == ArtifactType::kManifest &&
        !key.isEmpty()) {
      return CrashFileGroups::GroupId(manifest.Parent(), key);
    }
  }
  if (!package.HasManifest()) return std::nullopt;
  // A dump tells the crash; a log or a GDB stack beside it may have any name.
  for (const bool dumps : {true, false}) {
    for (const auto& [path, file] : package.GetManifest()->GetCrashArtifactFiles()) {
      if (file->GetType() == ArtifactType::kManifest || ArtifactNames::MakesACrash(path) != dumps) {
        continue;
      }
      const TString key = ArtifactNames::GetGroupingKey(path);
      if (!key.isEmpty()) return CrashFileGroups::GroupId(path.Parent(), key);
    }
  }
  return std::nullopt;
}

void KnownCrashes::Add(const TString& name, const std::optional<CrashFileGroups::GroupId>& group,
                       bool holdsCrashFiles) {
  if (!holdsCrashFiles) return;
  if (group) {
    groups_.insert(*group);
  } else {
    names_.insert(name);
  }
}

bool KnownCrashes::operator()(const CrashFileGroups::GroupId& group) const {
  return groups_.count(group) != 0 || names_.count(group.second) != 0 ||
         names_.count(SecondPackageName(group)) != 0;
}

TString SecondPackageName(const CrashFileGroups::GroupId& group) {
  return group.second + "-" + Tag(group.first.ToString().toStdString());
}

TString FitPackageName(const TString& name) {
  const std::string bytes = name.toStdString();
  if (bytes.size() <= kMaxPackageNameBytes) return name;
  size_t cut = kMaxPackageNameBytes - 9;
  // Never inside a character: a continuation byte is 10xxxxxx.
  while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
  return TString(bytes.substr(0, cut)) + "-" + Tag(bytes);
}

}  // namespace ZorErrorReporting
