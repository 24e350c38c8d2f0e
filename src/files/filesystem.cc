#include "files/filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "files/fault_point.h"
#include "log/log_functions.h"
#include "platform/atomic_file.h"
#include "platform/file_functions.h"
#include "platform/path_error.h"
#include "platform/process_singleton.h"
#include "platform/tfile.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFile;
using zor::platform::TFormatString;
using zor::platform::ThrowPathError;
using zor::platform::ThrowPathRefusal;
using zor::platform::TPath;
using zor::platform::TString;

namespace {

std::set<TPath> ToPathSet(const std::vector<TString>& paths) {
  return std::set<TPath>(paths.begin(), paths.end());
}

// The listing leaves out names it cannot give back to the OS unchanged, and
// folders it cannot open; say which, so that a crash that is never handled is
// not a silent mystery. A user may make any number of them: a few lines each,
// then a count.
void WarnSkipped(const TPath& directory, const zor::platform::ListingSkips& skipped) {
  constexpr size_t kShown = 20;
  const auto& names = skipped.undecodable;
  for (size_t i = 0; i < names.size() && i < kShown; ++i) {
    LogText(zor::platform::TLog::Warn,
            TFormatString("Filesystem: skipped '%1': the name is not valid UTF-8")
                .arg((directory / TPath(names[i])).ToString()));
  }
  if (names.size() > kShown) {
    LogText(zor::platform::TLog::Warn,
            TFormatString("Filesystem: skipped %1 more names in '%2' that are not valid UTF-8")
                .arg(static_cast<uint64_t>(names.size() - kShown))
                .arg(directory.ToString()));
  }
  const auto& folders = skipped.unreadable;
  for (size_t i = 0; i < folders.size() && i < kShown; ++i) {
    LogText(zor::platform::TLog::Warn,
            TFormatString("Filesystem: skipped '%1': it cannot be listed: %2")
                .arg((directory / TPath(folders[i].first)).ToString())
                .arg(zor::platform::ErrnoText(folders[i].second)));
  }
  if (folders.size() > kShown) {
    LogText(zor::platform::TLog::Warn,
            TFormatString("Filesystem: skipped %1 more entries in '%2' that cannot be listed")
                .arg(static_cast<uint64_t>(folders.size() - kShown))
                .arg(directory.ToString()));
  }
}

// A removal that failed, said at Warn; even that failing must not end the run.
RemovalResult FailedRemoval(const TPath& path, const TString& cause) {
  try {
    LogText(zor::platform::TLog::Warn,
            TFormatString("Filesystem: cannot remove '%1': %2").arg(path.ToString()).arg(cause));
  } catch (...) {
  }
  return RemovalResult::kFailed;
}

}  // namespace

Filesystem& Filesystem::GetInstance() { return zor::platform::ProcessSingleton<Filesystem>::Get(); }

void Filesystem::SetTestInstance(Filesystem* instance) {
  zor::platform::ProcessSingleton<Filesystem>::SetTestInstance(instance);
}

std::optional<zor::platform::TLockFile> Filesystem::TryLockFile(const TPath& path) {
  return zor::platform::TLockFile::TryLock(path);
}

bool Filesystem::IsLockHeldElsewhere(const TPath& path) {
  return zor::platform::TLockFile::IsHeldElsewhere(path);
}

bool Filesystem::FileExists(const TPath& path) { return zor::platform::FileExists(path); }

uint64_t Filesystem::FileSize(const TPath& path) { return zor::platform::FileSize(path); }

DateTime Filesystem::LastWriteTime(const TPath& path) {
  return DateTime::FromTimePoint(zor::platform::LastWriteTime(path));
}

TString Filesystem::ReadTextFile(const TPath& path) { return TFile::LoadTextFile(path); }

std::vector<char> Filesystem::ReadFileBytes(const TPath& path, uint64_t count, uint64_t offset) {
  TFile file(path, zor::platform::OpenMode::Read);
  file.Seek(static_cast<int64_t>(offset));
  // Never allocate more than the file can give: callers ask for generous
  // counts (a whole log tail) and the result is cut to what was read anyway.
  const int64_t available = std::max<int64_t>(0, file.Size() - static_cast<int64_t>(offset));
  std::vector<char> bytes(std::min<uint64_t>(count, static_cast<uint64_t>(available)) + 1, 0);
  const int64_t read = file.Read(bytes.data(), static_cast<int64_t>(bytes.size() - 1));
  bytes.resize(static_cast<size_t>(read) + 1);
  bytes.back() = 0;
  return bytes;
}

TFile Filesystem::OpenFileForReading(const TPath& path) {
  return TFile(path, zor::platform::OpenMode::Read);
}

TFile Filesystem::OpenUsersFileForReading(const TPath& path) {
  const TString context = "TFile: cannot open '" + path.ToString() + "'";
  std::string folder = path.Parent().NativeString();
  const bool absolute = folder.starts_with('/');
  folder.erase(0, folder.find_first_not_of('/'));
  zor::platform::DirectoryHandle start;
  zor::platform::DirectoryHandle parent;
  int fd = -1;
  int error = start.Open(TPath(absolute ? "/" : "."));
  if (error == 0) error = OpenDirectoryBeneath(start, TPath(folder == "." ? "" : folder), &parent);
  if (error == 0) error = OpenFileBeneath(parent, TPath(path.Filename()), &fd);
  if (error == ELOOP) ThrowPathRefusal(context + ": a component of its path is a link", error);
  if (error != 0) ThrowPathError(context, error);
  TFile file(path, fd);
  struct stat status {};
  struct stat folderStatus {};
  if (::fstat(fd, &status) != 0 || ::fstat(parent.Descriptor(), &folderStatus) != 0) {
    ThrowPathError(context, errno);
  }
  if (!S_ISREG(status.st_mode)) ThrowPathRefusal(context + ": not a regular file", EACCES);
  if (status.st_nlink != 1) {
    ThrowPathRefusal(context + ": it has other names (hard links)", EACCES);
  }
  // A file of another owner than its folder's may have been put there by
  // the folder's owner, who may not read it; a folder that others may write
  // could hold anybody's.
  const bool privateFolder = (folderStatus.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  if (status.st_uid != folderStatus.st_uid || !privateFolder) {
    ThrowPathRefusal(context +
                         ": it must belong to the owner of its folder, which no one else "
                         "may write",
                     EACCES);
  }
  return file;
}

void Filesystem::WriteFileAtomically(const TPath& path, std::string_view bytes,
                                     zor::platform::FileReaders readers) {
  zor::platform::AtomicFile file(path, readers);
  file.Open();
  file.Write(bytes);
  file.Sync();
  // The one change a save makes is its rename: stopped before it, the old
  // content stays and the synced temporary file is left over.
  if (const int error = BeforeDurableChange("save", path.ToString()); error != 0) {
    ThrowPathError("AtomicFile: cannot rename '" + file.GetTemporaryPath().ToString() + "'", error);
  }
  file.Commit();
}

std::unique_ptr<OutputFile> Filesystem::CreateNewFile(const TPath& path, OutputFile::Sync sync) {
  if (const int error = BeforeDurableChange("create", path.ToString()); error != 0) {
    ThrowPathError("TFile: cannot open '" + path.ToString() + "'", error);
  }
  return std::make_unique<OutputFile>(path, TFile(path, zor::platform::OpenMode::Write), sync);
}

void Filesystem::SyncFile(const TPath& path) {
  if (const int error = BeforeDurableChange("sync", path.ToString()); error != 0) {
    ThrowPathError("TFile: cannot sync '" + path.ToString() + "'", error);
  }
  TFile(path, zor::platform::OpenMode::Read).Sync();
}

void Filesystem::RenamePath(const TPath& oldPath, const TPath& newPath) {
  if (const int error =
          BeforeDurableChange("rename", oldPath.ToString() + " -> " + newPath.ToString());
      error != 0) {
    ThrowPathError(
        "TFilesystem: cannot rename '" + oldPath.ToString() + "' to '" + newPath.ToString() + "'",
        error);
  }
  // The rename has happened and the caller goes on with the new name; that it
  // may not survive a power loss is worth a line, not a failure.
  if (const int error = zor::platform::RenamePath(oldPath, newPath); error != 0) {
    LogText(zor::platform::TLog::Warn,
            TFormatString("Filesystem: renamed '%1' to '%2' but cannot sync the directory: %3")
                .arg(oldPath.ToString())
                .arg(newPath.ToString())
                .arg(zor::platform::ErrnoText(error)));
  }
}

bool Filesystem::DirectoryExists(const TPath& path) { return zor::platform::DirectoryExists(path); }

bool Filesystem::CreateDirectory(const TPath& path) {
  if (zor::platform::DirectoryExists(path)) return true;
  if (const int error = BeforeDurableChange("mkdir", path.ToString()); error != 0) {
    errno = error;
    return false;
  }
  return zor::platform::CreateDirectory(path);
}

zor::platform::TLockFile Filesystem::LockFile(const TPath& path) {
  // Only making the file changes the disk; locking an existing one does not.
  if (!zor::platform::PathExists(path)) {
    if (const int error = BeforeDurableChange("create", path.ToString()); error != 0) {
      ThrowPathError("TLockFile: cannot open '" + path.ToString() + "'", error);
    }
  }
  return zor::platform::TLockFile(path);
}

std::optional<zor::platform::FileIdentity> Filesystem::IdentifyPath(
    const TPath& path, zor::platform::LinkHandling links) {
  return zor::platform::IdentifyPath(path, links);
}

std::optional<TPath> Filesystem::CanonicalPath(const TPath& path) {
  return zor::platform::CanonicalPath(path);
}

std::set<TPath> Filesystem::ListFiles(const TPath& directory,
                                      const std::vector<TString>& extensions, bool fullPaths) {
  using zor::platform::PathForm;
  zor::platform::ListingSkips skipped;
  const auto listed = zor::platform::ListFiles(directory, extensions,
                                               fullPaths ? PathForm::Full : PathForm::Relative,
                                               zor::platform::Symlinks::DoNotFollow, &skipped);
  WarnSkipped(directory, skipped);
  return ToPathSet(listed);
}

std::set<TPath> Filesystem::ListFilesRecursively(const TPath& directory,
                                                 const std::vector<TString>& extensions,
                                                 bool fullPaths, bool includeDirectories,
                                                 bool followSymlinks) {
  using zor::platform::ListedDirectories;
  using zor::platform::PathForm;
  using zor::platform::Symlinks;
  zor::platform::ListingSkips skipped;
  const auto listed = zor::platform::ListFilesRecursively(
      directory, extensions, fullPaths ? PathForm::Full : PathForm::Relative,
      includeDirectories ? ListedDirectories::Include : ListedDirectories::Exclude,
      followSymlinks ? Symlinks::Follow : Symlinks::DoNotFollow, &skipped);
  WarnSkipped(directory, skipped);
  return ToPathSet(listed);
}

int Filesystem::OpenFileBeneath(const zor::platform::DirectoryHandle& root, const TPath& relative,
                                int* fd) {
  return root.OpenBeneath(relative, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0, fd);
}

int Filesystem::OpenDirectoryBeneath(const zor::platform::DirectoryHandle& root,
                                     const TPath& relative,
                                     zor::platform::DirectoryHandle* directory) {
  return root.OpenDirectoryBeneath(relative, directory);
}

std::optional<zor::platform::FileIdentity> Filesystem::IdentifyEntryAt(
    const zor::platform::DirectoryHandle& parent, const TString& name) {
  return zor::platform::IdentifyEntryAt(parent.Descriptor(), name);
}

RemovalResult Filesystem::RemoveEntryAt(const zor::platform::DirectoryHandle& parent,
                                        const TString& name, const TPath& path) {
  TString cause;
  try {
    const std::optional<zor::platform::FileIdentity> entry = IdentifyEntryAt(parent, name);
    // Nothing there: nothing to change, no fault point.
    if (!entry) return RemovalResult::kAbsent;
    int error = BeforeDurableChange("remove", path.ToString());
    if (error == 0) {
      const int flags =
          entry->kind == zor::platform::FileIdentity::Kind::kDirectory ? AT_REMOVEDIR : 0;
      if (::unlinkat(parent.Descriptor(), name.toStdString().c_str(), flags) == 0) {
        return RemovalResult::kRemoved;
      }
      if (errno == ENOENT) return RemovalResult::kAbsent;  // gone meanwhile
      error = errno;
    }
    cause = error == ENOTEMPTY || error == EEXIST ? TString("the directory is not empty")
                                                  : zor::platform::ErrnoText(error);
  } catch (const std::exception& e) {
    cause = TString(e.what());
  }
  return FailedRemoval(path, cause);
}

RemovalResult Filesystem::RemovePath(const TPath& path) {
  return Remove(path, zor::platform::DirectoryRemoval::OnlyIfEmpty);
}

RemovalResult Filesystem::RemoveOwnTreeAt(const zor::platform::DirectoryHandle& parent,
                                          const TString& name, const TPath& path) {
  return RemoveTreeBelow(parent, name, path, 0);
}

RemovalResult Filesystem::RemoveTreeBelow(const zor::platform::DirectoryHandle& parent,
                                          const TString& name, const TPath& path, int depth) {
  constexpr int kMaxDepth = 32;
  const std::optional<zor::platform::FileIdentity> entry = IdentifyEntryAt(parent, name);
  if (!entry) return RemovalResult::kAbsent;
  zor::platform::DirectoryHandle folder;
  TString refusal;
  std::vector<std::string> names;
  int error = 0;
  if (entry->kind != zor::platform::FileIdentity::Kind::kDirectory) {
    // Another user's file in a folder open to others is that user's, not
    // the tree's.
    if (entry->owner == zor::platform::EffectiveUser()) return RemoveEntryAt(parent, name, path);
    refusal = "it belongs to another user";
  } else if ((error = OpenDirectoryBeneath(parent, TPath(name), &folder)) == 0) {
    // The owner of what was opened, not of what the name meant a moment before.
    const auto opened = zor::platform::IdentifyDescriptor(folder.Descriptor());
    if (!opened || opened->owner != zor::platform::EffectiveUser()) {
      refusal = "it belongs to another user";
    } else if (depth >= kMaxDepth) {
      refusal = TFormatString("it lies more than %1 levels down").arg(kMaxDepth);
    } else {
      error = folder.ListNames(&names);
    }
  }
  if (refusal.isEmpty() && error != 0) refusal = zor::platform::ErrnoText(error);
  if (!refusal.isEmpty()) {
    try {
      LogText(zor::platform::TLog::Warn, TFormatString("Filesystem: not removing '%1': %2")
                                             .arg(path.ToString())
                                             .arg(refusal));
    } catch (...) {
    }
    return RemovalResult::kRefused;
  }
  for (const std::string& inner : names) {
    const RemovalResult result =
        RemoveTreeBelow(folder, TString(inner), path / TPath(TString(inner)), depth + 1);
    if (!IsGone(result)) return result;
  }
  return RemoveEntryAt(parent, name, path);
}

RemovalResult Filesystem::Remove(const TPath& path, zor::platform::DirectoryRemoval removal) {
  // Deletion is clean-up: no failure, not even of the log, may end the run
  // that asked for it.
  TString cause;
  try {
    errno = 0;
    // Removing what is not there changes nothing, so it is no fault point.
    const bool present = zor::platform::PathExists(path);
    const int injected = present ? BeforeDurableChange("remove", path.ToString()) : 0;
    if (injected == 0 && zor::platform::RemovePath(path, removal)) {
      return present ? RemovalResult::kRemoved : RemovalResult::kAbsent;
    }
    const int error = injected != 0 ? injected : errno;
    cause = error != 0 ? zor::platform::ErrnoText(error) : TString("it is still there");
  } catch (const std::exception& e) {
    cause = TString(e.what());
  }
  return FailedRemoval(path, cause);
}

}  // namespace ZorErrorReporting
