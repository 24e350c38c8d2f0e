#include "log/log_file_channel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <cerrno>

#include "platform/descriptor_io.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"

namespace zor::platform {
namespace TLog {

namespace {

// Lines are handed to the kernel at the latest when this much is buffered.
constexpr size_t kMaxBuffered = 64 * 1024;

// True iff the file `fd` is empty or ends in a line end (or cannot be read:
// then nothing is known to be torn).
bool EndsLine(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size == 0) return true;
  char last = '\n';
  ssize_t read;
  do {
    read = ::pread(fd, &last, 1, st.st_size - 1);
  } while (read < 0 && errno == EINTR);
  return read != 1 || last == '\n';
}

}  // namespace

FileChannel::Descriptor& FileChannel::Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int FileChannel::Descriptor::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileChannel::Descriptor::Reset() {
  // close(2) must not be retried on EINTR on Linux: the descriptor is gone.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

FileChannel::FileChannel(const TPath& path) : path_(Absolute(path)) {}

FileChannel::~FileChannel() { FileChannel::Close(); }

TPath FileChannel::Absolute(const TPath& path) {
  if (path.IsEmpty() || path.IsAbsolute()) return path;
  return TPath(QDir::cleanPath(QDir::current().absoluteFilePath(path.ToString())));
}

FileChannel::Descriptor FileChannel::OpenDescriptor(const TPath& path, CreateMode mode) {
  // Never through a link: root appending to whatever a user aimed the name at
  // would write into any file of the system.
  // Readable too, so that a torn last line can be seen (EndsLine).
  // Nor waiting on a FIFO at its name: every log line would block the run.
  int flags = O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  if (mode == CreateMode::kCreateNew) flags |= O_EXCL;
  auto openFile = [&] {
    int fd;
    do {
      fd = ::open(path.NativeString().c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
  };
  // A folder that another user may write lets that user swap the log for a
  // link or a file of theirs between two runs: refused before anything is
  // written, or made. On a fresh account nobody has made the log directory
  // yet; a rotation writes beside a file it opened, so it never needs to.
  TString why = WhyFolderCannotBePrivate(path.Parent());
  if (why.isEmpty() && mode == CreateMode::kAppend && !DirectoryExists(path.Parent())) {
    (void)CreateDirectory(path.Parent());
    if (DirectoryExists(path.Parent())) why = WhyFolderNotPrivate(path.Parent());
  }
  if (!why.isEmpty()) {
    ThrowPathRefusal(TFormatString("TLog::FileChannel: cannot open log file %1: %2; set "
                                   "servercrashupload.log.dir to a folder that only this user "
                                   "can write")
                         .arg(path.ToString())
                         .arg(why),
                     EACCES);
  }
  int fd = openFile();
  if (fd >= 0) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      const int error = errno;
      ::close(fd);
      throw TPath::Exception(TFormatString("TLog::FileChannel: cannot open log file %1: %2")
                                 .arg(path.ToString())
                                 .arg(S_ISFIFO(info.st_mode) ? TString("it is a FIFO")
                                      : info.st_mode != 0    ? TString("it is not a regular file")
                                                             : ErrnoText(error)));
    }
    // Not ours to narrow (another owner) fails with EPERM: logging goes on.
    if ((info.st_mode & 077) != 0) (void)::fchmod(fd, 0600);
    return Descriptor(fd);
  }
  const int error = errno;
  if (mode == CreateMode::kCreateNew && error == EEXIST) return Descriptor();
  throw TPath::Exception(TFormatString("TLog::FileChannel: cannot open log file %1: %2")
                             .arg(path.ToString())
                             .arg(error == ELOOP ? TString("it is a symbolic link")
                                                 : ErrnoText(error)));
}

void FileChannel::Open() {
  std::lock_guard lock(mutex_);
  if (IsOpen()) return;
  Attach(OpenDescriptor(path_, CreateMode::kAppend), path_);
  WritePathEvent("open-log", path_);
}

void FileChannel::Close() {
  std::lock_guard lock(mutex_);
  if (!IsOpen()) return;
  WritePathEvent("close-log", path_);
  CloseFile();
}

bool FileChannel::IsOpen() const {
  std::lock_guard lock(mutex_);
  return fd_.valid();
}

TPath FileChannel::GetPath() const {
  std::lock_guard lock(mutex_);
  return path_;
}

void FileChannel::Append(Severity severity, const Event& event) {
  std::lock_guard lock(mutex_);
  if (!IsOpen()) return;
  WriteEvent(severity, event);
}

void FileChannel::Flush() {
  std::lock_guard lock(mutex_);
  FlushBuffer();
}

void FileChannel::Attach(Descriptor fd, const TPath& path) {
  struct stat st {};
  size_ = ::fstat(fd.get(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  fd_ = std::move(fd);
  path_ = path;
  buffer_.clear();
  failing_ = false;
  // A run that died, or a disk that filled, mid-line: the first line of this
  // one must not be joined onto that.
  if (!EndsLine(fd_.get())) {
    buffer_.push_back('\n');
    ++size_;
  }
}

void FileChannel::CloseFile() {
  if (!IsOpen()) return;
  FlushBuffer();
  fd_.Reset();
}

void FileChannel::WriteEvent(Severity severity, const Event& event) {
  WriteLine(Formatter::FormatLine(severity, event));
}

void FileChannel::WriteLine(const std::string& line) {
  buffer_ += line;
  buffer_ += '\n';
  size_ += line.size() + 1;
  if (buffer_.size() >= kMaxBuffered) FlushBuffer();
}

void FileChannel::WritePathEvent(const char* key, const TPath& path) {
  WriteEvent(Info, Event{key, Object::Make({{"path", path.ToString()}}), std::nullopt});
}

void FileChannel::FlushBuffer() {
  if (!fd_.valid() || buffer_.empty()) return;
  // After a failed write the file may end in part of a line.
  if (failing_ && !EndsLine(fd_.get())) buffer_.insert(buffer_.begin(), '\n');
  const int error = WriteAll(fd_.get(), buffer_.data(), buffer_.size());
  buffer_.clear();
  if (error == 0 || failing_) {
    failing_ = error != 0;
    return;
  }
  // These lines are lost, and so are the next ones while the trouble lasts:
  // said once on standard error, the one place left to say it.
  failing_ = true;
  const std::string message = "zorcrashreporter: cannot write the log file '" +
                              path_.ToString().toStdString() +
                              "': " + ErrnoText(error).toStdString() + "; its lines are lost\n";
  (void)WriteAll(STDERR_FILENO, message.data(), message.size());
}

TruncateFileChannel::TruncateFileChannel(const TPath& path, int maxSizeMiB, int keepFiles)
    : FileChannel(path),
      maxBytes_(maxSizeMiB > 0 ? static_cast<uint64_t>(maxSizeMiB) << 20 : 0),
      keepFiles_(keepFiles) {}

TPath TruncateFileChannel::OlderPath(int n) const {
  const TPath path = GetPath();
  return path.Parent() / TPath(path.Stem() + "." + TString::Number(n) + path.Extension());
}

void TruncateFileChannel::Open() {
  std::lock_guard lock(mutex());
  if (IsOpen()) return;
  if (maxBytes_ > 0) {
    struct stat st {};
    if (::stat(GetPath().NativeString().c_str(), &st) == 0 &&
        static_cast<uint64_t>(st.st_size) > maxBytes_) {
      MoveOlderFiles();
    }
  }
  FileChannel::Open();
}

void TruncateFileChannel::MoveOlderFiles() {
  const TPath path = GetPath();
  // Names both ends: a folder at the older name is what refuses the move.
  auto fail = [](const TPath& from, const TPath& to, int error) {
    throw TPath::Exception(
        TFormatString("TLog::TruncateFileChannel: cannot move aside log file %1%2: %3")
            .arg(from.ToString())
            .arg(to.IsEmpty() ? TString() : " to " + to.ToString())
            .arg(ErrnoText(error)));
  };
  if (keepFiles_ <= 0) {
    if (::unlink(path.NativeString().c_str()) != 0 && errno != ENOENT) fail(path, {}, errno);
    return;
  }
  for (int n = keepFiles_ - 1; n >= 1; --n) {
    const TPath from = OlderPath(n);
    const TPath to = OlderPath(n + 1);
    if (::rename(from.NativeString().c_str(), to.NativeString().c_str()) != 0 && errno != ENOENT) {
      fail(from, to, errno);
    }
  }
  if (::rename(path.NativeString().c_str(), OlderPath(1).NativeString().c_str()) != 0) {
    fail(path, OlderPath(1), errno);
  }
}

}  // namespace TLog
}  // namespace zor::platform
