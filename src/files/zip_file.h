// ZipFile: writes one new zip archive, one entry per input file, as a stream.
//
// Lifecycle: (1) Open creates the archive, in a file or into the caller's
// sink, (2) Add appends one entry per call, (3) Close writes the central
// directory. The destructor closes an archive that is still open, so an input
// that cannot be read leaves a valid zip of the entries written so far. A
// failure to write the archive itself (a full disk, a file size limit) is
// never left behind as a broken zip: the archive's own file is removed, and
// the failure is thrown.
//
// The archive is written front to back and never sought back in: each
// entry's CRC and sizes follow its data in a data descriptor and are repeated
// in the central directory, so its bytes can go through a cipher on their way
// to the disk. Every entry is named by the file name alone (no directories,
// no UTF-8 flag), deflated at a fast level (method 8, see DeflateStream) on
// the given number of threads, with Zip64 records for every entry (so sizes
// and offsets over 4 GiB need nothing special), and dated with the file's
// last write time in local time (DOS resolution: even seconds; times before
// 1980 become 1980-01-01 00:00). The same files give the same archive
// whatever the thread count. Input files are read straight into the
// compressor's fixed blocks, so files of any size can be added with bounded
// memory.
//
// Not copyable; one caller thread per object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "files/byte_sink.h"
#include "platform/tfile.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class OutputFile;

class ZipFile {
 public:
  // `deflateThreads`: see DeflateStream (1 compresses on the caller's thread).
  explicit ZipFile(unsigned deflateThreads = 1);
  // Closes an archive that is still open. Never throws: when the archive
  // cannot be finished its file is removed and the failure is logged at Warn.
  ~ZipFile();
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;

  // Creates a new archive at `path` through the file-system facade
  // (Filesystem::CreateNewFile), overwriting an existing file; an archive
  // still open is closed first. Returns true iff the archive was created; on
  // false nothing is open, nothing is thrown and the cause is logged at Warn.
  bool Open(const zor::platform::TString& path);
  // Begins an archive whose bytes go to `sink` (weak; it must outlive the
  // archive), named `name` in messages. An archive still open is closed first.
  void Open(ByteSink& sink, const zor::platform::TString& name);

  // Adds the file at `path` as one entry. Throws:
  // - ZorvaneException "ZipFile: Add must be called on an opened zipfile!"
  //   when no archive is open (nothing is written);
  // - the platform's exception (TPath::Exception) when the file's last write
  //   time is unknown or it cannot be opened (nothing is written), or when it
  //   cannot be read: the entry is then finished with the bytes read before
  //   the failure and the archive stays open;
  // - ZorvaneException "ZipFile: cannot write entry '<name>' to '<archive>':
  //   <cause>", never a TPath::Exception, when the archive cannot be written,
  //   with the OS error in its record (EIO when the sink gave none): its own
  //   file is then removed and nothing is open. Any other failure after the
  //   entry began (e.g. std::bad_alloc) closes it likewise;
  // - RunInterrupted once SIGTERM or SIGINT is recorded (Interruption), at
  //   the next block read: as for a read failure, the entry is finished with
  //   what was read and the archive stays open.
  // The entry is named `entryName`, or the file name of `path` when that is
  // empty, made safe by ZipEntryName and unique in the archive (a repeated
  // name gets "-2", "-3", ... before its extension).
  void Add(const zor::platform::TString& path, const zor::platform::TString& entryName = {});
  // As Add(path, entryName), from the open `file` (read with ReadAt, never by
  // name; the caller keeps it), named by the last component of its path when
  // `entryName` is empty; of it at most its first `maxBytes` bytes.
  void Add(zor::platform::TFile& file, const zor::platform::TString& entryName = {},
           uint64_t maxBytes = UINT64_MAX);

  // Finishes the archive by writing its central directory; an archive in its
  // own file is synced and closed. Nothing is open afterwards. Does nothing
  // when nothing is open, so a second call is harmless. Throws ZorvaneException
  // "ZipFile: cannot finish '<archive>': <cause>" when the archive cannot be
  // written; its own file is then removed.
  void Close();

  // Called on the caller's thread while entries are added, with the bytes of
  // input read so far over all entries (a block behind the reading, and
  // exact once an entry is finished). Empty: nothing is called.
  using InputListener = std::function<void(uint64_t inputBytes)>;
  void SetInputListener(InputListener listener) { inputListener_ = std::move(listener); }

  bool IsOpen() const { return sink_ != nullptr; }
  // Bytes of the archive written so far (its size, after Close).
  uint64_t Size() const { return offset_; }
  // Bytes of input that the finished entries hold, over all of them.
  uint64_t InputSize() const { return inputBytes_; }

 private:
  struct Entry {
    std::string name;
    uint16_t time = 0;
    uint16_t date = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t offset = 0;  // of its local header
  };

  // `name`, or when an entry already has it, the first of "<stem>-2<ext>",
  // "<stem>-3<ext>", ... that none has: unpacked, two entries of one name
  // leave only the last (two folders' "app.log", say).
  std::string UniqueName(const std::string& name) const;
  // Writes `bytes` to the sink and counts them; throws the sink's exception.
  void Put(const void* data, size_t size);
  void PutCentralDirectory();
  // Drops the open archive: its own file (uncommitted) is removed.
  void Discard() noexcept;

  const unsigned deflateThreads_;
  ByteSink* sink_ = nullptr;          // weak; where the bytes go, null when closed
  std::unique_ptr<OutputFile> file_;  // the archive's own file, when it has one
  std::string name_;                  // the archive's name as opened
  uint64_t offset_ = 0;
  uint64_t inputBytes_ = 0;  // of the entries finished
  InputListener inputListener_;
  std::vector<Entry> entries_;
};

// `name` as an entry name that unpacks as one file where it is unpacked: each
// backslash (a separator elsewhere) and each leading '.' (a hidden file, or a step
// up with a separator) becomes '_'.
zor::platform::TString ZipEntryName(const zor::platform::TString& name);

}  // namespace ZorErrorReporting
