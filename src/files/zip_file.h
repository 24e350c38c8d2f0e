// ZipFile: writes one new zip archive, one entry per input file.
//
// Lifecycle: (1) Open creates the archive, (2) Add appends one entry per call,
// (3) Close writes the central directory. The destructor closes an archive
// that is still open, so an exception between the stages leaves a valid zip of
// the entries written so far.
//
// Every entry is named by the file name alone (no directories, no UTF-8 flag),
// deflated at level 1 with Zip64 records enabled, and dated with the file's
// last write time in local time (DOS resolution: even seconds). Input files are
// streamed through one fixed buffer, so files of any size can be added with
// bounded memory.
//
// Not copyable; not thread-safe (one thread per object).
#pragma once

#include "platform/tstring.h"

namespace ZorErrorReporting {

class ZipFile {
 public:
  // Size of the buffer through which each input file is copied.
  static constexpr unsigned kCopyBufferSize = 0x40000;

  ZipFile() = default;
  ~ZipFile();
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;

  // Creates a new archive at `path`, overwriting an existing file; an archive
  // still open is closed first. Returns true iff the archive was created; on
  // false nothing is open and nothing is thrown.
  bool Open(const zor::platform::TString& path);

  // Adds the file at `path` as one entry. Throws ZorvaneException:
  // - "ZipFile: Add must be called on an opened zipfile!" when no archive is
  //   open (nothing is written);
  // - "ZipFile: zipOpenNewFileInZip failed with error '<n>'" when the entry
  //   cannot be started;
  // - "ZipFile: zipWriteInFileInZip failed with error '<n>'" when writing fails,
  //   "ZipFile: zipCloseFileInZip failed with error '<n>'" when finishing the
  //   entry fails;
  // - the platform's exception when the file cannot be opened or read, or its
  //   last write time is unknown.
  // After a failure the partial entry is closed and the archive stays open.
  void Add(const zor::platform::TString& path);

  // Finishes the archive. Safe to call when nothing is open, and twice. Never
  // throws: a failure to write the archive's directory is logged at Warn.
  void Close();

  bool IsOpen() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;  // the zip library's write handle, owned
};

}  // namespace ZorErrorReporting
