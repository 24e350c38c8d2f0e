// File channels: write each event as one line (Formatter::FormatLine) to a
// log file.
//
// Lifecycle of a FileChannel:
//   1. constructed: closed; Append drops events.
//   2. Open(): the file is opened for appending (created, with its directory,
//      when missing) and an "open-log" event {"path":"<file>"} is written.
//   3. Append()/Flush(): lines are buffered and handed to the kernel by Flush
//      (or when the buffer grows large).
//   4. Close() (also run by the destructor): a "close-log" event
//      {"path":"<file>"} is written, everything flushed and the file closed.
//
// Paths written in events are absolute (a relative path is resolved against
// the working directory at construction), so that a reader in another working
// directory finds the files.
//
// A log file is its owner's alone (mode 0600): it names presigned URLs and the
// user's e-mail address. A file found readable by others, e.g. left by an
// earlier version, is narrowed to 0600 when opened.
//
// Every file is opened O_CLOEXEC; writes retry EINTR and short writes. A write
// failure (disk full, I/O error) drops the lines concerned: logging never
// throws into its caller once the file is open. The first failure of a spell
// of them is one line on standard error naming the file and the cause. A
// file that ends in part of a line (a run killed mid-write, a write that
// failed) gets a line end before the next line, so every line stays whole.
//
// Thread-safety: every public operation takes the channel's own lock, so a
// channel may be used from several threads and also outside the logger.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "log/tlog.h"
#include "platform/tpath.h"

namespace zor::platform {
namespace TLog {

class FileChannel : public Channel {
 public:
  explicit FileChannel(const TPath& path);
  ~FileChannel() override;
  FileChannel(const FileChannel&) = delete;
  FileChannel& operator=(const FileChannel&) = delete;

  // Opens the file for appending, creating the file and its missing
  // directories, and writes the open-log event. No-op when already open.
  // Throws TPath::Exception naming the path and the OS error on failure; the
  // channel stays closed then.
  virtual void Open();
  // Writes the close-log event, flushes and closes. No-op when not open.
  virtual void Close();

  bool IsOpen() const;
  // The file the channel writes in (or will open).
  TPath GetPath() const;

  // Channel: formats the line and buffers it; dropped when not open.
  void Append(Severity severity, const Event& event) override;
  // Channel: hands every line appended so far to the kernel (write(2), no
  // fsync).
  void Flush() override;

 protected:
  // An owned file descriptor; closes it when destroyed. Move-only.
  class Descriptor {
   public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release();
    void Reset();

   private:
    int fd_ = -1;
  };

  enum class CreateMode {
    kAppend,     // open an existing file for appending, or create it
    kCreateNew,  // create the file; fails with EEXIST when it exists
  };

  // Opens `path` for writing at its end (O_CLOEXEC, never blocking). Returns
  // an invalid descriptor iff `mode` is kCreateNew and the file exists;
  // throws TPath::Exception (path and OS error) on any other failure, and
  // when what is there is not a regular file (a FIFO).
  static Descriptor OpenDescriptor(const TPath& path, CreateMode mode);
  // A relative `path` resolved against the working directory.
  static TPath Absolute(const TPath& path);

  // Makes `fd` the channel's file, named `path`; the logical size starts at
  // the file's current size. Writes nothing (but buffers a line end when the
  // file ends in part of a line).
  // REQUIRES: the channel is closed; `fd` is valid.
  void Attach(Descriptor fd, const TPath& path);
  // Flushes and closes the file without writing any event. No-op when closed.
  void CloseFile();
  // Formats the event and appends it as one line. REQUIRES: open.
  void WriteEvent(Severity severity, const Event& event);
  // Appends `line` and '\n' to the buffer. REQUIRES: open.
  void WriteLine(const std::string& line);
  // Writes an Info event `key` with value {"path":"<path>"}.
  void WritePathEvent(const char* key, const TPath& path);
  // Bytes in the current file, counting lines still buffered.
  uint64_t LogicalSize() const { return size_; }

  // The channel's lock; subclasses take it in their own public operations.
  std::recursive_mutex& mutex() const { return mutex_; }

 private:
  void FlushBuffer();

  mutable std::recursive_mutex mutex_;
  TPath path_;
  Descriptor fd_;
  std::string buffer_;
  uint64_t size_ = 0;
  bool failing_ = false;  // the last write failed, and it was said
};

// A file channel for a log that is appended to across runs and kept small:
// when, at Open, the file is larger than `maxSizeMiB` MiB, it is renamed to
// "<stem>.1<ext>" (an existing "<stem>.1<ext>" moves to "<stem>.2<ext>" and
// so on, up to `keepFiles` older files; the oldest is dropped) and a new file
// begins. keepFiles <= 0 deletes the large file instead; maxSizeMiB <= 0
// never renames.
class TruncateFileChannel : public FileChannel {
 public:
  TruncateFileChannel(const TPath& path, int maxSizeMiB, int keepFiles);

  // FileChannel: as FileChannel::Open, after the size check above. Throws
  // TPath::Exception when a rename fails.
  void Open() override;

  // "<stem>.<n><ext>" beside the log file.
  TPath OlderPath(int n) const;

 private:
  void MoveOlderFiles();

  const uint64_t maxBytes_;
  const int keepFiles_;
};

}  // namespace TLog
}  // namespace zor::platform
