#include "upload/leftover_files.h"

#include <set>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/trust_boundary.h"
#include "platform/atomic_file.h"
#include "platform/file_identity.h"
#include "platform/tformat_string.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

constexpr char kCrashTempSuffix[] = ".crash.temp";

bool IsOwnDirectory(const TPath& path) {
  const auto identity =
      Filesystem::GetInstance().IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
  return identity && identity->kind == zor::platform::FileIdentity::Kind::kDirectory &&
         identity->owner == zor::platform::EffectiveUser();
}

}  // namespace

void RemoveLeftoverStateFiles(const TPath& dataDirectory) {
  Filesystem& fs = Filesystem::GetInstance();
  std::set<TPath> listed;
  try {
    listed = fs.ListFiles(dataDirectory, {"tmp"}, true);
  } catch (const ZorvaneException& e) {
    // The scan that follows reports an unreadable data directory.
    LogText(TLog::Debug, e.GetMessagesFront());
    return;
  }
  for (const TPath& path : listed) {
    if (!path.Filename().startsWith(".")) continue;
    // A save of a process that still runs (send-logs beside send-crashes) is
    // in progress, not left over.
    const auto writer = zor::platform::AtomicFile::WriterOf(path.Filename());
    if (writer && zor::platform::TSystem::ProcessExists(*writer)) continue;
    LogText(TLog::Debug,
            TFormatString("Removing the temporary file '%1' of an interrupted save.").arg(path));
    fs.RemovePath(path);
  }
}

void RemoveStaleCrashTempDirectories(const TPath& dumpDirectory, std::set<TPath>* listing,
                                     const TrustBoundary& boundary, const DateTime& cutoff) {
  std::set<TPath> candidates;
  for (const TPath& path : *listing) {
    if (!path.ToString().contains(kCrashTempSuffix, false)) continue;
    for (TPath up = path.Parent(); up.ToString().size() > dumpDirectory.ToString().size();
         up = up.Parent()) {
      if (up.Filename().endsWith(kCrashTempSuffix, false)) candidates.insert(up);
    }
  }
  Filesystem& fs = Filesystem::GetInstance();
  for (const TPath& directory : candidates) {
    if (!IsOwnDirectory(directory) || !boundary.WhyNotDeleted(directory, {}).isEmpty()) continue;
    DateTime written;
    try {
      written = fs.LastWriteTime(directory);
    } catch (const ZorvaneException&) {
      continue;  // the crash handler has just moved it into place
    }
    if (!(written < cutoff)) continue;
    LogText(TLog::Debug,
            TFormatString("Removing the crash directory '%1', left unfinished since %2.")
                .arg(directory)
                .arg(written.Format("yyyy-MM-dd HH:mm:ss")));
    if (!fs.RemoveDirectoryTree(directory)) continue;
    std::erase_if(*listing,
                  [&](const TPath& path) { return zor::platform::IsSameOrBelow(path, directory); });
  }
}

}  // namespace ZorErrorReporting
