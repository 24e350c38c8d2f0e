// The names of crash artifacts: what kind of file a crash left behind, judged
// by its name, and which crash it belongs to (its grouping key, which becomes
// the crash package's name).
//
// Every pattern is searched for, not anchored: a match anywhere in the path
// component counts. Patterns and suffixes are case-sensitive, so "dump.DMP" is
// no dump. Character classes ("\d") are ASCII only. The patterns are applied
// to one component: the file name, or for the crash directory pattern the name
// of the file's directory. Only RecognizeArtifactType's suffix and full-dump
// marker tests look at the whole path text.
//
// Thread-safety: the compiled patterns are built once on first use; every
// function may be called from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/tpath.h"
#include "platform/tregex.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

// What a crash artifact file holds. Written in records by name (ToName).
enum class ArtifactType : int {
  kUnknown = 0,            // "Unknown": no pattern and no known suffix
  kErrorLog = 1,           // "ErrorLog": *.log, *.txt
  kManifest = 2,           // "Manifest": *.manifest, the crashing application's own record
  kProcessMiniDump = 3,    // "ProcessMiniDump": *.dmp
  kProcessFullDump = 4,    // "ProcessFullDump": *.dmp with "-full" or ".full" in the path
  kGdbStacks = 5,          // "GdbStacks": <any>_<process>.<pid>.<signal>.<timestamp>.txt
  kJavaFatalErrorLog = 6,  // "JavaFatalErrorLog": hs_err_<process>_pid_<pid>.<id>.<ext>
  kJavaHeapDump = 7,       // "JavaHeapDump": java_heap_<process>_pid_<pid>.<id>.<ext>
  kJavaStackFile = 8,      // "JavaStackFile": jstack_<process>_pid_<pid>.<id>.<ext>
};

// The type's name; a value outside the table gives "Unknown".
zor::platform::TString ToName(ArtifactType type);
// The type whose name equals `name` ignoring case; kUnknown when none does.
ArtifactType ArtifactTypeFromName(const zor::platform::TString& name);

namespace ArtifactNames {

// The package id: 32 hexadecimal digits of either case.
inline constexpr char kPackageIdPattern[] = R"((?<package_id>[0-9A-Fa-f]{32}))";
// Templates; %1 stands for kPackageIdPattern.
inline constexpr char kCrashDirectoryTemplate[] = R"(.*%1\.crash)";
inline constexpr char kAnyJavaFileTemplate[] =
    R"((hs_err|java_heap|jstack)_(?<process_name>.+)_pid_(?<pid>\d+)\.%1\.(?<extension>.*))";
inline constexpr char kJavaFatalErrorLogTemplate[] =
    R"(hs_err_(?<process_name>.+)_pid_(?<pid>\d+)\.%1\.(?<extension>.*))";
inline constexpr char kJavaHeapDumpTemplate[] =
    R"(java_heap_(?<process_name>.+)_pid_(?<pid>\d+)\.%1\.(?<extension>.*))";
inline constexpr char kJavaStackFileTemplate[] =
    R"(jstack_(?<process_name>.+)_pid_(?<pid>\d+)\.%1\.(?<extension>.*))";
// Patterns used as they stand.
inline constexpr char kGdbStackFilePattern[] =
    R"(.*_(?<process_name>.+)\.(?<pid>\d+)\.(?<signal>\d+)\.(?<timestamp>\d+)\.txt)";
inline constexpr char kProcessFilePattern[] =
    R"((?<process_name>.+)\.(?<pid>\d+)\.(?<extension>.*))";

// The extensions a crash-dump directory scan looks for, '|'-separated.
inline constexpr char kExtensionList[] = "txt|log|dmp|manifest|hprof";
inline constexpr char kManifestSuffix[] = ".manifest";
inline constexpr char kLogSuffix[] = ".log";
inline constexpr char kTxtSuffix[] = ".txt";
inline constexpr char kDmpSuffix[] = ".dmp";
inline constexpr char kFullDumpDotMarker[] = ".full";
inline constexpr char kFullDumpDashMarker[] = "-full";

// The compiled patterns (templates filled in), built once.
const zor::platform::TRegex& CrashDirectoryRegex();
const zor::platform::TRegex& AnyJavaFileRegex();
const zor::platform::TRegex& JavaFatalErrorLogRegex();
const zor::platform::TRegex& JavaHeapDumpRegex();
const zor::platform::TRegex& JavaStackFileRegex();
const zor::platform::TRegex& GdbStackFileRegex();
const zor::platform::TRegex& ProcessFileRegex();

// The type of the file at `pathText`, by the first rule that holds:
// ".manifest" suffix; GDB stack file name; Java fatal-error log, heap dump,
// stack file name (in that order); ".log" or ".txt" suffix (ErrorLog);
// "-full.dmp" or ".full.dmp" suffix (ProcessFullDump; a marker elsewhere in
// the path, a folder's or a program's name, makes no full dump); ".dmp"
// suffix (ProcessMiniDump); else kUnknown.
ArtifactType RecognizeArtifactType(const zor::platform::TString& pathText);

// The grouping key of `path`: the package id of the crash the file belongs
// to, or an empty text when none can be told. First rule with a non-empty
// result: the package id in the name of the file's directory (crash directory
// pattern); the package id of a Java file's name; the file name with its
// known extension (.manifest, .log/.txt, .dmp) cut off, and a full dump's
// "-full" or ".full" before it (none elsewhere: "app-fullscreen.12" names
// another program than "appscreen.12"). So crashed.1234.dmp,
// crashed.1234-full.dmp and crashed.1234.manifest all give "crashed.1234".
zor::platform::TString GetGroupingKey(const zor::platform::TPath& path);
// The last rule of GetGroupingKey alone: the key from the file name of `path`,
// whatever its directory ("crashed.1234" for crashed.1234-full.dmp); empty
// when the name has no known extension.
zor::platform::TString GetFileNameKey(const zor::platform::TPath& path);

// Name parsers. Each searches the file name of `path` with its pattern and
// returns true iff it matched; only then are the outputs set, from the named
// groups (numbers decimal; an empty or absent group, or one too large for 64
// bits, gives 0). Every output pointer must be non-null.
bool ParseGdbStackFileName(const zor::platform::TPath& path, zor::platform::TString* processName,
                           uint64_t* pid, uint64_t* signal, uint64_t* timestamp);
bool ParseProcessFileName(const zor::platform::TPath& path, zor::platform::TString* processName,
                          uint64_t* pid);
// `timestamp` is always 0: the Java pattern has no timestamp group.
bool ParseJavaFileName(const zor::platform::TPath& path, zor::platform::TString* processName,
                       uint64_t* pid, uint64_t* timestamp, zor::platform::TString* packageId);

// True iff the file name of `path` matches the Java fatal-error log, stack
// file or heap dump pattern.
bool IsJavaFile(const zor::platform::TPath& path);

// True iff `path` is a dump (".dmp") or a Java file: what makes the files of
// one name a crash; logs and the rest only go with one.
bool MakesACrash(const zor::platform::TPath& path);

// kExtensionList split at '|', empty parts kept.
std::vector<zor::platform::TString> GetArtifactExtensions();

}  // namespace ArtifactNames
}  // namespace ZorErrorReporting
