// Filesystem: the one door through which the program touches files and
// directories.
//
// Every durable change the program makes in its data and dump directories
// (a state file saved, a rename, a new file created and synced, a deletion, a
// directory or lock file created) goes through here, and so do the reads of
// package files and the ownership checks of the trust rules. Every operation
// is a thin, stateless wrapper over the platform's file functions
// (platform/file_functions.h, tfile.h, atomic_file.h, tlock_file.h,
// file_identity.h) or over ZipFile. Failures of the platform pass through
// unchanged (TPath::Exception or ZorvaneException), with one exception: the
// removals never throw, they log the failure at Warn and return false, so
// that a clean-up cannot end a run.
//
// A test build may stop or fail any durable change (files/fault_point.h); a
// failed change then fails exactly as the OS's errno for it would make the
// operation fail, before anything has changed.
//
// Process-wide: GetInstance() creates the instance on first use under a
// recursive mutex; concurrent first calls create one object. A test may install
// its own instance (typically a subclass that overrides one operation to inject
// a fault) with SetTestInstance; it is returned instead until removed with
// nullptr. The caller keeps ownership of a test instance.
//
// Thread-safety: the operations hold no state and no lock; they may be called
// from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "files/output_file.h"
#include "files/removal_result.h"
#include "platform/atomic_file.h"
#include "platform/date_time.h"
#include "platform/directory_handle.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/tfile.h"
#include "platform/tlock_file.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class Filesystem {
 public:
  virtual ~Filesystem() = default;

  // The process-wide instance (or the installed test instance).
  static Filesystem& GetInstance();
  // Installs `instance` (weak) as the one GetInstance returns; nullptr removes it.
  static void SetTestInstance(Filesystem* instance);

  // True iff `path` names an existing regular file.
  virtual bool FileExists(const zor::platform::TPath& path);
  // The size of the file in bytes. Throws TPath::Exception when it cannot be read.
  virtual uint64_t FileSize(const zor::platform::TPath& path);
  // The file's last write time as local time. Throws TPath::Exception when the
  // file does not exist.
  virtual zor::platform::DateTime LastWriteTime(const zor::platform::TPath& path);
  // The whole file as text, decoded by byte-order mark, else as UTF-8. Throws
  // TPath::Exception when the file cannot be opened or read.
  virtual zor::platform::TString ReadTextFile(const zor::platform::TPath& path);
  // Reads up to `count` bytes from `offset` on. The result is the bytes read
  // followed by one extra zero byte, so that it can be used as a C string: a
  // read at or past the end gives a vector of one zero byte. Throws
  // TPath::Exception when the file cannot be opened, sought or read.
  virtual std::vector<char> ReadFileBytes(const zor::platform::TPath& path, uint64_t count,
                                          uint64_t offset);
  // `path` opened for reading, positioned at its start. Throws
  // TPath::Exception "TFile: cannot open '<path>': <cause>".
  virtual zor::platform::TFile OpenFileForReading(const zor::platform::TPath& path);
  // A file that a user handed the program (send-logs' zip), opened for
  // reading iff no component of `path` is a symbolic link, it is a regular
  // file of one name, and it belongs to the owner of its folder, which no one
  // else may write: a user cannot aim the program, root perhaps, at a file
  // they may not read by a link, a hard link or a FIFO, neither before nor
  // during the run, as the descriptors checked are the ones read. A relative
  // path starts at the working folder. Throws TPath::Exception "TFile: cannot
  // open '<path>': <cause>".
  zor::platform::TFile OpenUsersFileForReading(const zor::platform::TPath& path);

  // Replaces the whole content of `path` with `bytes` so that a crash at any
  // instant leaves the old content or the new one (platform/atomic_file.h:
  // a temporary file unique to this writer, synced, renamed over `path`).
  // Throws TPath::Exception "AtomicFile: cannot <operation> '<path>': <cause>"
  // (the temporary file's path for all but the directory sync); on failure
  // `path` is unchanged and the temporary file gone. A kill leaves the
  // temporary file, which RemoveLeftoverStateFiles clears later. The file is
  // 0600 unless `readers` says others read it (0644).
  virtual void WriteFileAtomically(
      const zor::platform::TPath& path, std::string_view bytes,
      zor::platform::FileReaders readers = zor::platform::FileReaders::kOwner);
  // Creates `path` (truncating a file of that name) for streamed output; see
  // OutputFile for the rest of its life and for `sync`. Never null. Throws
  // TPath::Exception "TFile: cannot open '<path>': <cause>" when it cannot be
  // created.
  virtual std::unique_ptr<OutputFile> CreateNewFile(
      const zor::platform::TPath& path, OutputFile::Sync sync = OutputFile::Sync::kOnCommit);
  // Makes the existing file `path` durable (fsync on a descriptor opened for
  // reading). A write-back of it that failed since it was written, and that
  // no one has been told of yet, fails this too: the file may then hold
  // other bytes on disk than were written. Throws TPath::Exception
  // "TFile: cannot sync '<path>': <cause>".
  virtual void SyncFile(const zor::platform::TPath& path);
  // Renames `oldPath` to `newPath`, replacing a file of that name, and makes
  // the rename durable (directory sync). Throws TPath::Exception
  // ("TFilesystem: ...") naming both paths and the cause when the rename
  // fails; a failed sync after it is logged at Warn, not thrown.
  virtual void RenamePath(const zor::platform::TPath& oldPath, const zor::platform::TPath& newPath);
  // True iff `path` names an existing directory.
  virtual bool DirectoryExists(const zor::platform::TPath& path);
  // Creates the directory with its missing parents. True iff `path` is a
  // directory afterwards (also when it was one before, e.g. made by a
  // concurrent process); false when it or a parent cannot be made, and then
  // errno says why.
  virtual bool CreateDirectory(const zor::platform::TPath& path);
  // Takes the exclusive lock on `path`, creating the file when missing (see
  // TLockFile for the lock's lifetime). Throws as TLockFile does.
  virtual zor::platform::TLockFile LockFile(const zor::platform::TPath& path);

  // The kind and owner of `path` (platform/file_identity.h); nullopt when it
  // cannot be examined. Never throws.
  virtual std::optional<zor::platform::FileIdentity> IdentifyPath(
      const zor::platform::TPath& path, zor::platform::LinkHandling links);
  // `path` with every link, "." and ".." resolved; nullopt when some
  // component is missing or cannot be searched. Never throws.
  virtual std::optional<zor::platform::TPath> CanonicalPath(const zor::platform::TPath& path);

  // Descriptor-relative access beneath a directory the program works in (see
  // platform/directory_handle.h: no link at any component, never above
  // `root`). Each returns 0 or the errno value and never throws.
  //
  // `relative` opened for reading O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, so that
  // neither a link nor a FIFO or device can make the open follow or block;
  // *fd is the caller's to check (fstat) and close.
  virtual int OpenFileBeneath(const zor::platform::DirectoryHandle& root,
                              const zor::platform::TPath& relative, int* fd);
  // The directory `relative` beneath `root` (empty: `root` itself).
  virtual int OpenDirectoryBeneath(const zor::platform::DirectoryHandle& root,
                                   const zor::platform::TPath& relative,
                                   zor::platform::DirectoryHandle* directory);
  // The kind and owner of the entry `name` of `parent` (a link itself, not
  // its target); nullopt when it cannot be examined. Never throws.
  virtual std::optional<zor::platform::FileIdentity> IdentifyEntryAt(
      const zor::platform::DirectoryHandle& parent, const zor::platform::TString& name);

  // The files of `directory` (not descending) whose names end in a dot and one
  // of `extensions`, compared without regard to case; an extension may itself
  // contain dots ("zipped-logs-package.pending"). An empty list matches every
  // file. The flag goes to the platform listing unchanged (see
  // platform/file_functions.h). Ordered by TPath's less-than, no duplicates.
  // A name whose bytes are not valid UTF-8 is left out and logged at Warn with
  // those bytes escaped ("\xff"); the rest is listed.
  virtual std::set<zor::platform::TPath> ListFiles(
      const zor::platform::TPath& directory, const std::vector<zor::platform::TString>& extensions,
      bool fullPaths);
  // As ListFiles, descending into subdirectories. The three flags go to the
  // platform listing unchanged (see platform/file_functions.h).
  virtual std::set<zor::platform::TPath> ListFilesRecursively(
      const zor::platform::TPath& directory, const std::vector<zor::platform::TString>& extensions,
      bool fullPaths, bool includeDirectories, bool followSymlinks);

  // Takes the lock of the lock file at `path`, creating the file when missing
  // (see platform/tlock_file.h). Returns nullopt iff another holder has it.
  // Throws TPath::Exception ("TLockFile: ...") naming the path and the cause
  // when the file cannot be opened or locked.
  virtual std::optional<zor::platform::TLockFile> TryLockFile(const zor::platform::TPath& path);
  // True iff another holder has the lock of the lock file at `path`; creates
  // nothing. Throws as TryLockFile.
  virtual bool IsLockHeldElsewhere(const zor::platform::TPath& path);

  // Removes a file, a symbolic link (not its target) or an empty directory.
  // kRemoved when something was there and is gone, kAbsent when nothing was
  // there (so a clean-up that runs twice succeeds), kFailed when something is
  // left. A directory that still holds anything is left alone and gives
  // kFailed: a path read from a state file must never take a user's folder
  // with it. Never kRefused. Never throws: a failure is logged at Warn with
  // the path and the cause.
  virtual RemovalResult RemovePath(const zor::platform::TPath& path);
  // As RemovePath for the entry `name` of the open directory `parent`
  // (unlinkat on its descriptor, so a folder swapped on the way cannot make
  // it remove anything elsewhere); `path` names it in messages only.
  virtual RemovalResult RemoveEntryAt(const zor::platform::DirectoryHandle& parent,
                                      const zor::platform::TString& name,
                                      const zor::platform::TPath& path);
  // As RemoveEntryAt, but a directory goes with everything below it, each
  // entry removed with unlinkat on its folder's descriptor, each folder opened
  // beneath the one above without following a link. Only for a tree that is
  // the program's user's own: a folder of another owner (or one more than 32
  // levels down) is not entered and gives kRefused, with what is left logged
  // at Warn; on a failure part of the tree may be gone. Never throws.
  RemovalResult RemoveOwnTreeAt(const zor::platform::DirectoryHandle& parent,
                                const zor::platform::TString& name,
                                const zor::platform::TPath& path);

 private:
  RemovalResult Remove(const zor::platform::TPath& path, zor::platform::DirectoryRemoval removal);
  RemovalResult RemoveTreeBelow(const zor::platform::DirectoryHandle& parent,
                                const zor::platform::TString& name,
                                const zor::platform::TPath& path, int depth);
};

}  // namespace ZorErrorReporting
