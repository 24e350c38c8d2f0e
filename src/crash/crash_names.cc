#include "crash/crash_names.h"

#include "platform/tregex.h"

namespace zor::platform::CrashNames {

std::optional<TString> UnfinishedCrashDirectoryId(const TString& name) {
  static const TRegex kName("^zorcrashreporter_([0-9a-f]{32})\\.crash\\.temp$");
  const std::optional<TRegexMatch> match = kName.Match(name);
  if (!match) return std::nullopt;
  return match->Captured(1);
}

bool IsCrashDirectory(const TString& name) {
  static const TRegex kName("^zorcrashreporter_[0-9a-f]{32}\\.crash$");
  return kName.Match(name).has_value();
}

std::optional<uint64_t> MinidumpPid(const TString& name) {
  static const TRegex kName("^zorcrashreporter\\.([0-9]{1,19})\\.dmp$");
  const std::optional<TRegexMatch> match = kName.Match(name);
  if (!match) return std::nullopt;
  bool ok = false;
  const uint64_t pid = match->Captured(1).toULongLong(&ok);
  if (!ok) return std::nullopt;
  return pid;
}

bool IsUnfinishedFullDump(const TString& name) {
  static const TRegex kName("^zorcrashreporter\\.[0-9]+-full\\.dmp\\.temp$");
  return kName.Match(name).has_value();
}

TString UnfinishedFullDumpName(uint64_t pid) {
  return TString(kPrefix) + "." + TString::Number(pid) + "-full.dmp.temp";
}

}  // namespace zor::platform::CrashNames
