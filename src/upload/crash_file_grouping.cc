#include "upload/crash_file_grouping.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <tuple>

#include "log/log_functions.h"
#include "packages/artifact_name_rules.h"
#include "packages/crash_manifest.h"
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

bool CrashFileGroups::GroupId::operator<(const GroupId& other) const {
  return std::tie(folder, key, owner) < std::tie(other.folder, other.key, other.owner);
}

CrashFileGroups GroupCrashFiles(const std::set<TPath>& listing, const TString& exclusionPattern,
                                const IsKnownCrash& isKnown) {
  const TRegex exclusion = ExclusionRegex(exclusionPattern);
  std::map<CrashFileGroups::GroupId, std::shared_ptr<CrashFileGroups::Files>> groups;
  CrashFileGroups result;
  // One file reached by two paths (a folder bind-mounted under another dump
  // directory) is one crash's, under the first.
  std::set<std::pair<dev_t, ino_t>> seen;
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
    const auto entry = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    if (!entry || !seen.insert({entry->device, entry->inode}).second) continue;
    // By its folder's cleaned name, as a package's record names it: a dump
    // directory spelt with "." or "//" must not make a sent crash a new one.
    std::shared_ptr<CrashFileGroups::Files>& group =
        groups[{NormalisedPath(path.Parent().ToString()), key, entry->owner}];
    if (!group) group = std::make_shared<CrashFileGroups::Files>();
    group->insert(path);
  }
  // Whether a package holds a group is judged on all of its files: a new dump
  // beside a sent crash's makes a new crash.
  for (const auto& [id, files] : groups) {
    if (isKnown(id, *files)) continue;
    const auto first = std::find_if(files->begin(), files->end(), &ArtifactNames::MakesACrash);
    if (first == files->end()) continue;
    LogText(TLog::Debug,
            TFormatString(ArtifactNames::IsJavaFile(*first) ? "Found java artifact (%1)."
                                                            : "Found crash package (%1).")
                .arg(first->ToString()));
    result.found.emplace(id, files);
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

namespace {

// The process key of `group` and the path that tells it: the first name that
// does ("app.41-full.dmp", first in path order, gives no pid, "app.41.dmp"
// after it does); an empty key when none does.
std::pair<TString, const TPath*> ProcessKeyOf(const CrashFileGroups::Files& group) {
  for (const TPath& path : group) {
    if (TString key = GetProcessKey(path); !key.isEmpty()) return {key, &path};
  }
  return {};
}

}  // namespace

TString ProcessKeyOfGroup(const CrashFileGroups::Files& group) { return ProcessKeyOf(group).first; }

void AddPackagedProcess(const CrashPackage& package, PackagedProcesses* into) {
  TString key = package.GetProcessKey();
  // An older version's record tells it only by its files, while it has them.
  if (key.isEmpty() && package.HasManifest()) {
    CrashFileGroups::Files recorded;
    for (const auto& [path, file] : package.GetManifest()->GetCrashArtifactFiles()) {
      recorded.insert(path);
    }
    key = ProcessKeyOf(recorded).first;
  }
  if (!key.isEmpty()) into->emplace(std::move(key), package.GetCrashOwner());
}

std::set<TPath> GdbFilesForGroup(const CrashFileGroups& groups, const CrashFileGroups::Files& group,
                                 const PackagedProcesses& packaged) {
  const auto [key, named] = ProcessKeyOf(group);
  if (key.isEmpty()) return {};
  const auto gdb = groups.gdbFiles.find(key);
  if (gdb == groups.gdbFiles.end()) return {};
  using zor::platform::IdentifyPath;
  using zor::platform::LinkHandling;
  const auto crash = IdentifyPath(*named, LinkHandling::kDoNotFollow);
  if (!crash) return {};
  // Pids come again (a container's first process has the same one each
  // time): where two of the owner's crashes have the key, a stacks file
  // elsewhere could be either's, and only one beside the crash is its own.
  // A package of an earlier run is such a crash too: its stacks file may
  // come only now.
  const auto [first, last] = packaged.equal_range(key);
  const auto sameProcess = std::count_if(groups.found.begin(), groups.found.end(),
                                         [&, key = key](const auto& found) {
                                           return found.first.owner == crash->owner &&
                                                  ProcessKeyOf(*found.second).first == key;
                                         }) +
                           std::count_if(first, last, [&](const auto& earlier) {
                             return !earlier.second || *earlier.second == crash->owner;
                           });
  const TPath folder = NormalisedPath(named->Parent().ToString());
  for (const TPath& path : gdb->second) {
    const auto stacks = IdentifyPath(path, LinkHandling::kDoNotFollow);
    if (!stacks || stacks->owner != crash->owner) continue;
    if (sameProcess > 1 && NormalisedPath(path.Parent().ToString()) != folder) continue;
    return {path};
  }
  return {};
}

std::optional<CrashFileGroups::GroupId> CrashGroupOf(const CrashPackage& package) {
  if (package.HasDataFile(DataFileKind::kManifestFile)) {
    const TPath manifest = package.GetDataFilePath(DataFileKind::kManifestFile);
    const TString key = ArtifactNames::GetGroupingKey(manifest);
    if (ArtifactNames::RecognizeArtifactType(manifest.ToString()) == ArtifactType::kManifest &&
        !key.isEmpty()) {
      return CrashFileGroups::GroupId{manifest.Parent(), key, package.GetCrashOwner()};
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
      if (!key.isEmpty()) {
        return CrashFileGroups::GroupId{path.Parent(), key, package.GetCrashOwner()};
      }
    }
  }
  return std::nullopt;
}

void KnownCrashes::Add(const TString& name, const std::optional<CrashFileGroups::GroupId>& group,
                       const std::optional<Package::HeldCrashFiles>& held) {
  if (!held) return;
  if (group) {
    const auto [known, added] = groups_.try_emplace(*group, *held);
    if (!added) Merge(*held, &known->second);
  } else {
    const auto [known, added] = names_.try_emplace(name, *held);
    if (!added) Merge(*held, &known->second);
  }
}

void KnownCrashes::Merge(const Package::HeldCrashFiles& held, Package::HeldCrashFiles* into) {
  into->all = into->all || held.all;
  into->paths.insert(held.paths.begin(), held.paths.end());
  into->stamps.insert(held.stamps.begin(), held.stamps.end());
  // A file may be the crash of either: one that knows no bound stands for all.
  into->bornBy = into->bornBy == 0 || held.bornBy == 0 ? 0 : std::max(into->bornBy, held.bornBy);
}

bool KnownCrashes::AllBornSince(int64_t bornBy, const CrashFileGroups::Files& files) {
  if (bornBy == 0) return false;
  for (const TPath& file : files) {
    if (!ArtifactNames::MakesACrash(file)) continue;
    const auto now = zor::platform::IdentifyPath(file, zor::platform::LinkHandling::kDoNotFollow);
    if (!now || zor::platform::LatestBirthNs(*now) <= bornBy) return false;
  }
  return true;
}

bool KnownCrashes::Hides(const Package::HeldCrashFiles& held, const CrashFileGroups::Files& files) {
  if (held.all) return true;
  for (const TPath& file : files) {
    // Stamps are kept by their cleaned names; a listing may spell a dump
    // directory with "." or "//".
    if (ArtifactNames::MakesACrash(file) && held.paths.count(file) == 0 &&
        held.paths.count(NormalisedPath(file.ToString())) == 0) {
      return false;
    }
  }
  return true;
}

bool KnownCrashes::HoldsUnchanged(const Package::HeldCrashFiles& held,
                                  const CrashFileGroups::Files& files) {
  size_t dumps = 0;
  size_t unchanged = 0;
  for (const TPath& file : files) {
    if (!ArtifactNames::MakesACrash(file)) continue;
    ++dumps;
    const auto now = zor::platform::IdentifyPath(file, zor::platform::LinkHandling::kDoNotFollow);
    if (now && IsStampedAs(held.stamps, file, *now)) ++unchanged;
  }
  // Until it is finished, a package takes what is there of its name at its
  // zip: a dump added beside its files waits for it, as its own owner's does.
  return unchanged > 0 && (held.all || unchanged == dumps);
}

bool KnownCrashes::operator()(const CrashFileGroups::GroupId& group,
                              const CrashFileGroups::Files& files) const {
  for (const TString& name : {group.key, SecondPackageName(group)}) {
    const auto found = names_.find(name);
    if (found != names_.end() && Hides(found->second, files)) return true;
  }
  for (auto known = groups_.lower_bound({group.folder, group.key, std::nullopt});
       known != groups_.end() && known->first.folder == group.folder &&
       known->first.key == group.key;
       ++known) {
    const Package::HeldCrashFiles& held = known->second;
    const std::optional<uid_t>& owner = known->first.owner;
    if (owner == group.owner) {
      if (Hides(held, files)) return true;
      continue;
    }
    // One whose owner cannot be told stands for what it stamped alone; for
    // all of its name only when it stamped nothing, as a very old one, but
    // for no group of files all born after it: those it would not take.
    if (!owner && held.stamps.empty()) {
      if (!AllBornSince(held.bornBy, files) && Hides(held, files)) return true;
      continue;
    }
    // Another owner's files of the name are a crash of their own, but for
    // the very files the package stamped (their owner changed since).
    if (HoldsUnchanged(held, files)) return true;
  }
  return false;
}

TString SecondPackageName(const CrashFileGroups::GroupId& group) {
  return group.key + "-" + Tag(group.folder.ToString().toStdString());
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
