// AtomicFile: replaces a file's content so that a crash at any instant leaves
// either the old or the new content under the file's name, never an empty or
// partly written file.
//
// The bytes go to a temporary file beside the target, named
// ".<target file name>.tmp" (hidden, and ending in ".tmp" rather than in any
// extension that a state-file listing looks for). Commit makes the temporary
// file durable (fsync), renames it over the target and makes the rename
// durable (fsync of the directory). An object destroyed without a successful
// Commit removes its temporary file.
//
// Failure policy: every failure throws TPath::Exception with the message
// "AtomicFile: cannot <operation> '<path>': <OS error text>" and the errno in
// the error record; the target is then untouched.
//
// Thread-safety: one thread at a time per object. Two objects writing the
// same target at once share the temporary name and must not be used.
#pragma once

#include <string_view>

#include "platform/tpath.h"

namespace zor::platform {

class AtomicFile {
 public:
  // No I/O happens until Open.
  explicit AtomicFile(const TPath& target);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // The temporary file that Open creates for `target`.
  static TPath TemporaryPathFor(const TPath& target);

  const TPath& GetTargetPath() const { return target_; }
  const TPath& GetTemporaryPath() const { return temporary_; }

  // Creates (or truncates a left-over) temporary file, mode 0666 before the
  // umask. Throws TPath::Exception when it cannot be created.
  // REQUIRES: not open yet.
  void Open();
  // Appends `bytes` to the temporary file, retrying short writes and EINTR.
  // REQUIRES: Open succeeded, Commit not called.
  void Write(std::string_view bytes);
  // Syncs, closes and renames the temporary file over the target, then syncs
  // the directory. After a failure the temporary file is gone (also when the
  // rename succeeded and only the directory sync failed: the target then
  // already holds the new content).
  // REQUIRES: Open succeeded, Commit not called.
  void Commit();

 private:
  [[noreturn]] void Fail(const char* operation, const TPath& path, int error);
  void Discard();

  TPath target_;
  TPath temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

// Writes `bytes` as the whole new content of `path` through an AtomicFile.
// Throws as AtomicFile does.
void WriteFileAtomically(const TPath& path, std::string_view bytes);

}  // namespace zor::platform
