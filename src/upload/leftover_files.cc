#include "upload/leftover_files.h"

#include <vector>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/trust_boundary.h"
#include "platform/file_identity.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

constexpr char kCrashTempExtension[] = "crash.temp";

bool IsOwnDirectory(const TPath& path) {
  const auto identity = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
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
    LogText(TLog::Debug,
            TFormatString("Removing the temporary file '%1' of an interrupted save.").arg(path));
    fs.RemovePath(path);
  }
}

void RemoveStaleCrashTempDirectories(const TPath& dumpDirectory, bool followSymlinks,
                                     const TrustBoundary& boundary, const DateTime& cutoff) {
  Filesystem& fs = Filesystem::GetInstance();
  std::set<TPath> listed;
  try {
    listed = fs.ListFilesRecursively(dumpDirectory, {kCrashTempExtension}, true, true,
                                     followSymlinks);
  } catch (const ZorvaneException& e) {
    // The scan of the same directory reports it.
    LogText(TLog::Debug, e.GetMessagesFront());
    return;
  }
  std::vector<TPath> removed;
  for (const TPath& path : listed) {
    bool inRemoved = false;
    for (const TPath& gone : removed) inRemoved |= zor::platform::IsSameOrBelow(path, gone);
    if (inRemoved || !IsOwnDirectory(path) || !boundary.WhyNotDeleted(path, {}).isEmpty()) {
      continue;
    }
    DateTime written;
    try {
      written = fs.LastWriteTime(path);
    } catch (const ZorvaneException&) {
      continue;  // the crash handler has just moved it into place
    }
    if (!(written < cutoff)) continue;
    LogText(TLog::Debug,
            TFormatString("Removing the crash directory '%1', left unfinished since %2.")
                .arg(path)
                .arg(written.Format("yyyy-MM-dd HH:mm:ss")));
    if (fs.RemoveDirectoryTree(path)) removed.push_back(path);
  }
}

}  // namespace ZorErrorReporting
