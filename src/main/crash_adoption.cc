#include "main/crash_adoption.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include <unistd.h>

#include "crash/crash_names.h"
#include "crash/minidump_format.h"
#include "files/filesystem.h"
#include "files/output_file.h"
#include "log/log_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"
#include "platform/tfile.h"
#include "platform/tformat_string.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

constexpr char kTempSuffix[] = ".temp";
bool IsWholeMinidump(const TPath& path) {
  try {
    const std::vector<char> bytes =
        Filesystem::GetInstance().ReadFileBytes(path, sizeof(minidump::MdHeader), 0);
    return minidump::IsWholeMinidumpHeader(bytes.data(), bytes.size() - 1);  // its own zero
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

// Whether the crash handler that wrote `minidump` may still be running as
// process `pid`: a pid comes again, to a process started since (a container's
// first process is 1 again, this run among them), which wrote no dump of it.
bool WriterMayRun(int64_t pid, const TPath& minidump) {
  if (pid == static_cast<int64_t>(::getpid()) || !TSystem::ProcessExists(pid)) return false;
  const std::optional<int64_t> started = TSystem::ProcessStartTimeMs(pid);
  if (!started) return true;
  // The start time is told to about a second.
  return *started <= Filesystem::GetInstance().LastWriteTime(minidump).GetAsUnixTimeMs() + 1000;
}

// Copies `files` of `directory` into `staging` (made anew: an earlier run's
// copy cut short goes first), each made durable, renames it to `final` and
// removes the originals: the crash appears whole in the dump directory, or
// not at all. Where `final` is there already, only the originals go.
// Throws what the facade throws; the originals then stay.
void CopyIntoPlace(const TPath& directory, const std::set<TPath>& files, const TPath& staging,
                   const TPath& final) {
  Filesystem& fs = Filesystem::GetInstance();
  // The dumps last: what a kill leaves on the way still has its minidump, so
  // the next run sees it adopted already and finishes this.
  const auto removeOriginals = [&] {
    for (const bool dumps : {false, true}) {
      for (const TPath& file : files) {
        if (file.Filename().endsWith(".dmp") == dumps) fs.RemovePath(file);
      }
    }
    fs.RemovePath(directory);
  };
  // An earlier run's copy got there whole and was killed before this.
  if (fs.DirectoryExists(final)) return removeOriginals();
  if (fs.DirectoryExists(staging)) {
    for (const TPath& left : fs.ListFiles(staging, {}, true)) fs.RemovePath(left);
    fs.RemovePath(staging);
  }
  if (!fs.CreateDirectory(staging)) {
    throw TPath::Exception(TFormatString("TFilesystem: cannot create the directory '%1': %2")
                               .arg(staging.ToString())
                               .arg(ErrnoText(errno)));
  }
  std::vector<char> buffer(1 << 20);
  for (const TPath& file : files) {
    TFile input = fs.OpenFileForReading(file);
    const std::unique_ptr<OutputFile> output = fs.CreateNewFile(staging / TPath(file.Filename()));
    for (int64_t got; (got = input.Read(buffer.data(), static_cast<int64_t>(buffer.size()))) > 0;) {
      output->Write(buffer.data(), static_cast<size_t>(got));
    }
    output->Commit();
  }
  fs.RenamePath(staging, final);
  removeOriginals();
}

// Adopts one directory; false when it is not (yet) to be adopted.
bool Adopt(const TPath& directory, std::set<TPath> files, const TPath& dumpDir) {
  const std::optional<TString> id = CrashNames::UnfinishedCrashDirectoryId(directory.Filename());
  if (!id) return false;
  // Only what this program's user made there is its crash.
  const std::optional<FileIdentity> identity =
      Filesystem::GetInstance().IdentifyPath(directory, LinkHandling::kDoNotFollow);
  if (!identity || identity->kind != FileIdentity::Kind::kDirectory ||
      identity->owner != EffectiveUser()) {
    return false;
  }
  std::optional<uint64_t> pid;
  TPath minidump;
  for (const TPath& file : files) {
    const std::optional<uint64_t> dumpPid = CrashNames::MinidumpPid(file.Filename());
    if (dumpPid && IsWholeMinidump(file)) {
      pid = dumpPid;
      minidump = file;
    }
  }
  if (!pid) return false;
  if (WriterMayRun(static_cast<int64_t>(*pid), minidump)) {
    LogText(TLog::Info, TFormatString("Not adopting the crash directory '%1' yet: process %2, "
                                      "which may be the crash handler writing it, still runs.")
                            .arg(directory.ToString())
                            .arg(*pid));
    return false;
  }

  Filesystem& fs = Filesystem::GetInstance();
  const TString pidText = TString::Number(*pid);
  const TPath manifest =
      directory / TPath(TString(CrashNames::kPrefix) + "." + pidText + ".manifest");
  if (!IsWholeManifest(manifest)) {
    fs.WriteFileAtomically(manifest, ManifestFor(*id, pidText).toStdString());
    files.insert(manifest);
  }
  for (auto it = files.begin(); it != files.end();) {
    const bool partial =
        it->Filename().endsWith(kTempSuffix) || it->Filename().endsWith("-full.dmp");
    if (partial) fs.RemovePath(*it);
    it = partial ? files.erase(it) : std::next(it);
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
  const TPath final = dumpDir / TPath(finalName);
  const std::optional<FileIdentity> target = fs.IdentifyPath(dumpDir, LinkHandling::kFollow);
  if (target && target->device == identity->device) {
    fs.RenamePath(directory, final);
  } else {
    // The handler's own move copies across file systems, and so does this.
    CopyIntoPlace(directory, files, dumpDir / TPath(directory.Filename()), final);
  }
  LogText(TLog::Info, TFormatString("Adopted the crash directory '%1', left unfinished by a crash "
                                    "handler that ended, as '%2'.")
                          .arg(directory.ToString())
                          .arg(final.ToString()));
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
