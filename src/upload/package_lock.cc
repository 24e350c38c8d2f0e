#include "upload/package_lock.h"

#include <exception>
#include <utility>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

TPath PackageLock::LockFilePath(const TPath& dataDirectory, const TString& packageName) {
  return dataDirectory / (packageName + "." + kExtension);
}

TPath PackageLock::RunLockPath(const TPath& folder) { return LockFilePath(folder, kReservedName); }

namespace {

TPath LockFileOf(const Package& package) {
  const TString& name = package.GetPackageName();
  // The name comes from a status file: a damaged one must not put a lock,
  // created and removed as root, anywhere but beside it.
  if (name.isEmpty() || name == "." || name == ".." || name.contains("/")) {
    throw zor::platform::ZorvaneException(TFormatString("its name, from '%1', is not a file name")
                                              .arg(package.GetFilePath().ToString()));
  }
  return PackageLock::LockFilePath(package.GetFilePath().Parent(), name);
}

void LogHeld(const Package& package) {
  LogText(TLog::Info, TFormatString("Package '%1' is being worked on by another process; skipped")
                          .arg(package.GetPackageName()));
}

void LogUnlockable(const Package& package, const std::exception& e) {
  LogText(TLog::Warn, TFormatString("Package '%1' skipped: cannot take its lock: %2")
                          .arg(package.GetPackageName())
                          .arg(TString(e.what())));
}

}  // namespace

bool PackageLock::IsFree(const Package& package) {
  try {
    if (!Filesystem::GetInstance().IsLockHeldElsewhere(LockFileOf(package))) return true;
  } catch (const std::exception& e) {
    LogUnlockable(package, e);
    return false;
  }
  LogHeld(package);
  return false;
}

std::optional<PackageLock> PackageLock::TryLock(const Package& package) {
  const TString& name = package.GetPackageName();
  const TPath statusFile = package.GetFilePath();
  Filesystem& fs = Filesystem::GetInstance();
  std::optional<zor::platform::TLockFile> file;
  try {
    file = fs.TryLockFile(LockFileOf(package));
  } catch (const std::exception& e) {
    LogUnlockable(package, e);
    return std::nullopt;
  }
  if (!file) {
    LogHeld(package);
    return std::nullopt;
  }
  PackageLock lock(std::move(*file));
  if (!fs.FileExists(statusFile)) {
    LogText(TLog::Debug,
            TFormatString("Package '%1' was deleted by another process; skipped").arg(name));
    return std::nullopt;
  }
  return lock;
}

PackageLock PackageLock::LockNew(const TPath& dataDirectory, const TString& packageName) {
  const TPath path = LockFilePath(dataDirectory, packageName);
  std::optional<zor::platform::TLockFile> file;
  try {
    file = Filesystem::GetInstance().TryLockFile(path);
  } catch (const std::exception& e) {
    // Not passed on as it is: the driver reads a lock failure as another
    // instance of the whole program.
    throw ZorvaneException(
        TFormatString("Cannot lock package '%1': %2").arg(packageName).arg(TString(e.what())));
  }
  if (!file) {
    throw ZorvaneException(TFormatString("Cannot lock package '%1': '%2' is held by another "
                                         "process")
                               .arg(packageName)
                               .arg(path));
  }
  return PackageLock(std::move(*file));
}

PackageLock::~PackageLock() { RemoveLockFile(); }

PackageLock& PackageLock::operator=(PackageLock&& other) noexcept {
  if (this != &other) {
    RemoveLockFile();
    file_ = std::move(other.file_);
  }
  return *this;
}

void PackageLock::RemoveLockFile() noexcept {
  if (!file_.IsLocked()) return;  // moved from
  // Removed while held: a process that opened the file before sees, once it
  // has the lock, that the name is gone, and locks a new file of that name.
  try {
    Filesystem::GetInstance().RemovePath(file_.GetPath());
  } catch (...) {
    // A lock file left behind is the sweep's; the lock is released anyway.
  }
}

}  // namespace ZorErrorReporting
