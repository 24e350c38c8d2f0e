// The names the crash handler (crash_handling.h) gives what it writes, for
// the code that finds, adopts and cleans up after it: only a name so made is
// the handler's; another application's of a like name is that application's.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/tstring.h"

namespace zor::platform::CrashNames {

// What every name the handler writes begins with.
inline constexpr char kPrefix[] = "zorcrashreporter";

// The correlation id of a crash directory the handler has not finished
// moving, "zorcrashreporter_<32 lower-case hex>.crash.temp"; none for any
// other name.
std::optional<TString> UnfinishedCrashDirectoryId(const TString& name);

// True iff `name` is "zorcrashreporter_<32 lower-case hex>.crash", a crash
// directory the handler finished.
bool IsCrashDirectory(const TString& name);

// The pid of a minidump named "zorcrashreporter.<pid>.dmp"; none for any
// other name or a pid that does not fit.
std::optional<uint64_t> MinidumpPid(const TString& name);

// True iff `name` is "zorcrashreporter.<pid>-full.dmp.temp", a full dump the
// handler was still writing.
bool IsUnfinishedFullDump(const TString& name);
// The name of the full dump the handler of process `pid` writes before it
// is whole: "zorcrashreporter.<pid>-full.dmp.temp".
TString UnfinishedFullDumpName(uint64_t pid);

}  // namespace zor::platform::CrashNames
