// ZipFile: writes one new zip archive, one entry per input file.
//
// Lifecycle: (1) Open creates the archive, (2) Add appends one entry per call,
// (3) Close writes the central directory. The destructor closes an archive
// that is still open, so an input that cannot be read leaves a valid zip of
// the entries written so far. A failure to write the archive itself (a full
// disk, a file size limit) is never left behind as a broken zip: the archive
// file is removed and the failure is thrown.
//
// Every entry is named by the file name alone (no directories, no UTF-8 flag),
// deflated at a fast level (method 8, see DeflateStream) with Zip64
// records enabled, and dated with the file's last write time in local time
// (DOS resolution: even seconds). Input files are streamed through fixed
// buffers (about 2.5 MiB in all), so files of any size can be added with
// bounded memory.
//
// Not copyable; not thread-safe (one thread per object).
#pragma once

#include <memory>
#include <string>

#include "platform/tstring.h"

namespace ZorErrorReporting {

class ZipFile {
 public:
  // Size of the buffer through which each input file is read.
  static constexpr unsigned kReadBufferSize = 1u << 20;

  ZipFile();
  // Closes an archive that is still open. Never throws: when the archive
  // cannot be finished it is removed and the failure is logged at Warn.
  ~ZipFile();
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;

  // Creates a new archive at `path` through the file-system facade
  // (Filesystem::CreateNewFile), overwriting an existing file; an archive
  // still open is closed first. Returns true iff the archive was created; on
  // false nothing is open, nothing is thrown and the cause is logged at Warn.
  bool Open(const zor::platform::TString& path);

  // Adds the file at `path` as one entry. Throws:
  // - ZorvaneException "ZipFile: Add must be called on an opened zipfile!"
  //   when no archive is open (nothing is written);
  // - the platform's exception when the file's last write time is unknown
  //   (nothing is written), or when it cannot be opened or read: the entry is
  //   then finished with the bytes read before the failure and the archive
  //   stays open;
  // - ZorvaneException "ZipFile: cannot write entry '<name>' to '<archive>':
  //   <cause>" when the archive cannot be written: the archive file is then
  //   removed and nothing is open. Any other failure after the entry began
  //   (e.g. std::bad_alloc) removes the archive likewise.
  void Add(const zor::platform::TString& path);

  // Finishes the archive by writing its central directory and syncing the
  // file; nothing is open afterwards. Does nothing when nothing is open, so a second call is
  // harmless. Throws ZorvaneException "ZipFile: cannot finish '<archive>':
  // <cause>" when the archive cannot be written; the half-written archive
  // file is then removed.
  void Close();

  bool IsOpen() const { return handle_ != nullptr; }

 private:
  struct Output;

  // Closes the broken archive (if `handle_` is still set) and removes its
  // file; a failure to remove is logged at Warn.
  void Discard() noexcept;
  // The errno of the output's last failed call, 0 when none failed.
  int IoError() const;

  void* handle_ = nullptr;          // the zip library's write handle, owned
  std::unique_ptr<Output> output_;  // where the library's bytes go, while open
  std::string path_;                // the archive's path as opened
};

}  // namespace ZorErrorReporting
