#include "packages/artifact_name_rules.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

#include "packages/enum_names.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TRegex;
using zor::platform::TRegexMatch;
using zor::platform::TString;

namespace {

// Indexed by value.
constexpr std::array<const char*, 9> kArtifactTypeNames = {
    "Unknown",   "ErrorLog",          "Manifest",     "ProcessMiniDump", "ProcessFullDump",
    "GdbStacks", "JavaFatalErrorLog", "JavaHeapDump", "JavaStackFile"};

TRegex Compile(const TString& pattern) {
  // Case-sensitive, greedy, ASCII classes: what a pattern compiled with no
  // options does.
  TRegex::Options options;
  options.classes = TRegex::Classes::Ascii;
  return TRegex(pattern, options);
}

TRegex CompileTemplate(const char* templateText) {
  return Compile(TFormatString(templateText).arg(ArtifactNames::kPackageIdPattern));
}

std::optional<TRegexMatch> SearchFileName(const TRegex& regex, const TPath& path) {
  return regex.Search(path.Filename());
}

uint64_t Number(const TRegexMatch& match, const char* group) {
  // An absent or overlong group reads as 0 (toULongLong gives 0 on failure).
  return match.Captured(TString(group)).toULongLong();
}

// The grouping key from the file name alone (the last rule).
TString KeyFromFileName(const TString& fileName) {
  using namespace ArtifactNames;
  int64_t extensionLength = 0;
  if (fileName.endsWith(kManifestSuffix)) extensionLength = TString(kManifestSuffix).size();
  if (fileName.endsWith(kLogSuffix) || fileName.endsWith(kTxtSuffix)) {
    extensionLength = TString(kLogSuffix).size();
  } else if (fileName.endsWith(kDmpSuffix)) {
    extensionLength = TString(kDmpSuffix).size();
  }
  if (extensionLength == 0) return {};
  // Only a full dump's own marker goes: "app-fullscreen.12" is another
  // program than "appscreen.12", and its crash must not join that one.
  for (const char* marker : {kFullDumpDashMarker, kFullDumpDotMarker}) {
    if (fileName.endsWith(TString(marker) + kDmpSuffix)) {
      extensionLength += TString(marker).size();
      break;
    }
  }
  return fileName.left(std::max<int64_t>(0, fileName.size() - extensionLength));
}

}  // namespace

TString ToName(ArtifactType type) {
  return EnumNames::NameOrFirst(kArtifactTypeNames, type);
}

ArtifactType ArtifactTypeFromName(const TString& name) {
  return EnumNames::Find<ArtifactType>(kArtifactTypeNames, name).value_or(ArtifactType::kUnknown);
}

namespace ArtifactNames {

const TRegex& CrashDirectoryRegex() {
  static const TRegex regex = CompileTemplate(kCrashDirectoryTemplate);
  return regex;
}

const TRegex& AnyJavaFileRegex() {
  static const TRegex regex = CompileTemplate(kAnyJavaFileTemplate);
  return regex;
}

const TRegex& JavaFatalErrorLogRegex() {
  static const TRegex regex = CompileTemplate(kJavaFatalErrorLogTemplate);
  return regex;
}

const TRegex& JavaHeapDumpRegex() {
  static const TRegex regex = CompileTemplate(kJavaHeapDumpTemplate);
  return regex;
}

const TRegex& JavaStackFileRegex() {
  static const TRegex regex = CompileTemplate(kJavaStackFileTemplate);
  return regex;
}

const TRegex& GdbStackFileRegex() {
  static const TRegex regex = Compile(kGdbStackFilePattern);
  return regex;
}

const TRegex& ProcessFileRegex() {
  static const TRegex regex = Compile(kProcessFilePattern);
  return regex;
}

ArtifactType RecognizeArtifactType(const TString& pathText) {
  const TPath path(pathText);
  if (pathText.endsWith(kManifestSuffix)) return ArtifactType::kManifest;
  // A GDB stack file ends with ".txt" too, so it is tested before error logs.
  if (SearchFileName(GdbStackFileRegex(), path)) return ArtifactType::kGdbStacks;
  if (SearchFileName(JavaFatalErrorLogRegex(), path)) return ArtifactType::kJavaFatalErrorLog;
  if (SearchFileName(JavaHeapDumpRegex(), path)) return ArtifactType::kJavaHeapDump;
  if (SearchFileName(JavaStackFileRegex(), path)) return ArtifactType::kJavaStackFile;
  if (pathText.endsWith(kLogSuffix) || pathText.endsWith(kTxtSuffix)) {
    return ArtifactType::kErrorLog;
  }
  if (pathText.endsWith(kDmpSuffix)) {
    // Only the end of the name marks a full dump: a folder or a program named
    // "team-fullstack" or "app-fullscreen" holds minidumps, which
    // --no-full-dumps would otherwise leave out and delete unsent.
    const TString dump(kDmpSuffix);
    return pathText.endsWith(kFullDumpDashMarker + dump) ||
                   pathText.endsWith(kFullDumpDotMarker + dump)
               ? ArtifactType::kProcessFullDump
               : ArtifactType::kProcessMiniDump;
  }
  return ArtifactType::kUnknown;
}

TString GetGroupingKey(const TPath& path) {
  // Everything inside a crash directory belongs to the crash the directory is
  // named after, whatever the files are called.
  if (const auto match = CrashDirectoryRegex().Search(path.Parent().Filename())) {
    const TString key = match->Captured(TString("package_id"));
    if (!key.isEmpty()) return key;
  }
  if (IsJavaFile(path)) {
    if (const auto match = SearchFileName(AnyJavaFileRegex(), path)) {
      const TString key = match->Captured(TString("package_id"));
      if (!key.isEmpty()) return key;
    }
  }
  return KeyFromFileName(path.Filename());
}

TString GetFileNameKey(const TPath& path) { return KeyFromFileName(path.Filename()); }

bool ParseGdbStackFileName(const TPath& path, TString* processName, uint64_t* pid, uint64_t* signal,
                           uint64_t* timestamp) {
  const auto match = SearchFileName(GdbStackFileRegex(), path);
  if (!match) return false;
  *processName = match->Captured(TString("process_name"));
  *pid = Number(*match, "pid");
  *signal = Number(*match, "signal");
  *timestamp = Number(*match, "timestamp");
  return true;
}

bool ParseProcessFileName(const TPath& path, TString* processName, uint64_t* pid) {
  const auto match = SearchFileName(ProcessFileRegex(), path);
  if (!match) return false;
  *processName = match->Captured(TString("process_name"));
  *pid = Number(*match, "pid");
  return true;
}

bool ParseJavaFileName(const TPath& path, TString* processName, uint64_t* pid, uint64_t* timestamp,
                       TString* packageId) {
  const auto match = SearchFileName(AnyJavaFileRegex(), path);
  if (!match) return false;
  *processName = match->Captured(TString("process_name"));
  *pid = Number(*match, "pid");
  *timestamp = Number(*match, "timestamp");
  *packageId = match->Captured(TString("package_id"));
  return true;
}

bool IsJavaFile(const TPath& path) {
  return SearchFileName(JavaFatalErrorLogRegex(), path) ||
         SearchFileName(JavaStackFileRegex(), path) || SearchFileName(JavaHeapDumpRegex(), path);
}

bool MakesACrash(const TPath& path) {
  return path.ToString().endsWith(kDmpSuffix) || IsJavaFile(path);
}

std::vector<TString> GetArtifactExtensions() {
  return TString(kExtensionList).split("|", TString::SplitBehavior::KeepEmptyParts);
}

}  // namespace ArtifactNames
}  // namespace ZorErrorReporting
