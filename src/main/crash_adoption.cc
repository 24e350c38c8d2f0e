#include "main/crash_adoption.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "platform/file_identity.h"
#include "platform/tformat_string.h"
#include "platform/tregex.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

constexpr char kTempSuffix[] = ".temp";
constexpr uint32_t kMinidumpSignature = 0x504d444d;  // "MDMP"
constexpr uint32_t kMinidumpHeaderBytes = 32;

// The writer puts the header (signature, stream count, directory offset)
// in place after every stream, so a header is the mark of a whole dump.
bool IsWholeMinidump(const TPath& path) {
  try {
    const std::vector<char> bytes =
        Filesystem::GetInstance().ReadFileBytes(path, kMinidumpHeaderBytes, 0);
    if (bytes.size() < kMinidumpHeaderBytes + 1) return false;
    uint32_t signature = 0, streams = 0, directory = 0;
    memcpy(&signature, bytes.data(), 4);
    memcpy(&streams, bytes.data() + 8, 4);
    memcpy(&directory, bytes.data() + 12, 4);
    return signature == kMinidumpSignature && streams > 0 && directory == kMinidumpHeaderBytes;
  } catch (const TPath::Exception&) {
    return false;
  }
}

// The handler writes its manifest in one piece ending in "}\n".
bool IsWholeManifest(const TPath& path) {
  Filesystem& fs = Filesystem::GetInstance();
  if (!fs.FileExists(path)) return false;
  try {
    const TString text = fs.ReadTextFile(path);
    return text.startsWith("{") && text.endsWith("}\n");
  } catch (const TPath::Exception&) {
    return false;
  }
}

TString ManifestFor(const TString& id, const TString& pid) {
  return TFormatString(
             "{\"Id\":\"%1\",\"crash-correlation-id\":\"%1\",\"manifest-version\":\"1.1\","
             "\"application\":\"zorcrashreporter\",\"pid\":%2,\"dump-threads\":\"unknown\","
             "\"adopted\":\"the crash handler ended before it moved this directory into place\"}\n")
      .arg(id)
      .arg(pid);
}

// Adopts one directory; false when it is not (yet) to be adopted.
bool Adopt(const TPath& directory, const std::set<TPath>& files, const TPath& dumpDir) {
  static const TRegex kName("^zorcrashreporter_([0-9a-f]{32})\\.crash\\.temp$");
  static const TRegex kDump("^zorcrashreporter\\.([0-9]+)\\.dmp$");
  const std::optional<TRegexMatch> name = kName.Match(directory.Filename());
  if (!name) return false;
  // Only what this program's user made there is its crash.
  const std::optional<FileIdentity> identity =
      Filesystem::GetInstance().IdentifyPath(directory, LinkHandling::kDoNotFollow);
  if (!identity || identity->kind != FileIdentity::Kind::kDirectory ||
      identity->owner != EffectiveUser()) {
    return false;
  }
  TString pid;
  for (const TPath& file : files) {
    const std::optional<TRegexMatch> dump = kDump.Match(file.Filename());
    if (dump && IsWholeMinidump(file)) pid = dump->Captured(1);
  }
  // A handler that still runs is still writing.
  if (pid.isEmpty() || TSystem::ProcessExists(pid.toLongLong())) return false;

  Filesystem& fs = Filesystem::GetInstance();
  const TPath manifest = directory / TPath("zorcrashreporter." + pid + ".manifest");
  if (!IsWholeManifest(manifest)) {
    fs.WriteFileAtomically(manifest, ManifestFor(name->Captured(1), pid).toStdString());
  }
  for (const TPath& file : files) {
    if (file.Filename().endsWith(kTempSuffix) || file.Filename().endsWith("-full.dmp")) {
      fs.RemovePath(file);
    }
  }
  if (!fs.CreateDirectory(dumpDir)) {
    LogText(TLog::Warn, TFormatString("Cannot create the crash dump directory '%1' for the crash "
                                      "directory '%2' left unfinished.")
                            .arg(dumpDir.ToString())
                            .arg(directory.ToString()));
    return false;
  }
  const TString finalName = directory.Filename().left(
      directory.Filename().size() - static_cast<int>(strlen(kTempSuffix)));
  fs.RenamePath(directory, dumpDir / TPath(finalName));
  LogText(TLog::Info, TFormatString("Adopted the crash directory '%1', left unfinished by a crash "
                                    "handler that ended, as '%2'.")
                          .arg(directory.ToString())
                          .arg((dumpDir / TPath(finalName)).ToString()));
  return true;
}

}  // namespace

int AdoptStrandedCrashDirectories(const TPath& tempDir, const TPath& dumpDir) {
  Filesystem& fs = Filesystem::GetInstance();
  if (!fs.DirectoryExists(tempDir)) return 0;
  // Another user who may write the folder could plant a directory that looks
  // like one the handler left, to have it moved, trimmed and uploaded as this
  // program's own crash, or swap it for a link while it is trimmed.
  if (const TString why = WhyFolderNotPrivate(tempDir); !why.isEmpty()) {
    LogText(TLog::Warn, TFormatString("Not adopting unfinished crash directories in '%1': %2.")
                            .arg(tempDir.ToString())
                            .arg(why));
    return 0;
  }
  int adopted = 0;
  try {
    std::map<TPath, std::set<TPath>> byDirectory;
    for (const TPath& file : fs.ListFilesRecursively(tempDir, {}, true, false, false)) {
      if (file.Parent().Parent() == tempDir) byDirectory[file.Parent()].insert(file);
    }
    for (const auto& [directory, files] : byDirectory) {
      try {
        adopted += Adopt(directory, files, dumpDir) ? 1 : 0;
      } catch (const std::exception& e) {
        LogText(TLog::Warn, TFormatString("Cannot adopt the crash directory '%1': %2")
                                .arg(directory.ToString())
                                .arg(TString(e.what())));
      }
    }
  } catch (const std::exception& e) {
    LogText(TLog::Warn, TFormatString("Cannot look for unfinished crash directories in '%1': %2")
                            .arg(tempDir.ToString())
                            .arg(TString(e.what())));
  }
  return adopted;
}

}  // namespace ZorErrorReporting
