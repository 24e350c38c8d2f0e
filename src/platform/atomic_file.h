// AtomicFile: replaces a file's content so that a crash at any instant leaves
// either the old or the new content under the file's name, never an empty or
// partly written file.
//
// The bytes go to a temporary file beside the target, named
// ".<target file name>.<writer's pid>.<8 random hex digits>.tmp": hidden,
// ending in ".tmp" rather than in any extension that a state-file listing
// looks for, and unique to the writer, so that two processes saving the same
// target never write into one temporary file. It is created O_EXCL and
// O_NOFOLLOW with mode 0600 (or 0644 for a file that others read, set with
// fchmod so that the umask does not narrow it): a name planted in advance (a
// link, a file) is never written through. Sync makes the temporary file durable (fsync) and
// closes it; Commit renames it over the target and makes the rename durable
// (fsync of the directory). An object destroyed without a successful Commit
// removes its temporary file.
//
// Failure policy: every failure throws TPath::Exception with the message
// "AtomicFile: cannot <operation> '<path>': <OS error text>" and the errno in
// the error record; the target is then untouched and the temporary file gone.
//
// Thread-safety: one thread at a time per object; any number of objects may
// write the same target at once (the last Commit wins).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

#include "platform/tpath.h"

namespace zor::platform {

// Who may read the file an AtomicFile writes.
enum class FileReaders {
  kOwner,     // mode 0600: every state file
  kEveryone,  // mode 0644: a file that another user's service reads
};

class AtomicFile {
 public:
  // No I/O happens until Open.
  explicit AtomicFile(const TPath& target, FileReaders readers = FileReaders::kOwner);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // The process id that a temporary file name of this class carries, or
  // nullopt when `fileName` (a bare name, no directory) is not one.
  static std::optional<pid_t> WriterOf(const TString& fileName);

  const TPath& GetTargetPath() const { return target_; }
  // The temporary file; empty until Open succeeded.
  const TPath& GetTemporaryPath() const { return temporary_; }

  // Creates a new temporary file (see above). Throws TPath::Exception when it
  // cannot be created. REQUIRES: not open yet.
  void Open();
  // Appends `bytes` to the temporary file, retrying short writes and EINTR.
  // REQUIRES: Open succeeded, Sync not called.
  void Write(std::string_view bytes);
  // Syncs and closes the temporary file; the target is still untouched.
  // REQUIRES: Open succeeded, Sync not called.
  void Sync();
  // Syncs (unless Sync was called) and renames the temporary file over the
  // target, then syncs the directory. After a failure the temporary file is
  // gone (also when the rename succeeded and only the directory sync failed:
  // the target then already holds the new content).
  // REQUIRES: Open succeeded, Commit not called.
  void Commit();

 private:
  [[noreturn]] void Fail(const char* operation, const TPath& path, int error);
  void Discard();

  TPath target_;
  FileReaders readers_;
  TPath temporary_;
  int fd_ = -1;
  bool synced_ = false;
  bool committed_ = false;
};

// Writes `bytes` as the whole new content of `path` through an AtomicFile.
// Throws as AtomicFile does.
void WriteFileAtomically(const TPath& path, std::string_view bytes,
                         FileReaders readers = FileReaders::kOwner);

}  // namespace zor::platform
