#include "platform/tfile.h"
#include "platform/file_identity.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/descriptor_io.h"
#include "platform/file_functions.h"
#include "platform/path_error.h"

namespace zor::platform {

namespace {

int OpenFlags(OpenMode mode) {
  switch (mode) {
    case OpenMode::Read:
      return O_RDONLY;
    case OpenMode::Write:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case OpenMode::ReadWrite:
      return O_RDWR | O_CREAT;
    case OpenMode::Append:
      return O_WRONLY | O_CREAT | O_APPEND;
  }
  return -1;
}

// Code units of `width` bytes in the given byte order, turned into host order.
template <typename Unit>
std::vector<Unit> ToHostUnits(const char* bytes, size_t size, bool bigEndian) {
  std::vector<Unit> units(size / sizeof(Unit));
  for (size_t i = 0; i < units.size(); ++i) {
    Unit value = 0;
    for (size_t b = 0; b < sizeof(Unit); ++b) {
      const auto byte = static_cast<unsigned char>(bytes[i * sizeof(Unit) + b]);
      const size_t shift = bigEndian ? (sizeof(Unit) - 1 - b) * 8 : b * 8;
      value = static_cast<Unit>(value | static_cast<Unit>(byte) << shift);
    }
    units[i] = value;
  }
  return units;
}

}  // namespace

TFile::TFile(const TPath& path) : path_(path) {}

TFile::TFile(const TPath& path, OpenMode mode) : path_(path) {
  const int error = OpenDescriptor(mode);
  if (error != 0) {
    throw TPath::Exception(ErrorString(),
                           ZorvaneError::MakeError("file-system", ErrorString(), error));
  }
}

TFile::TFile(TFile&& other) noexcept : path_(other.path_), fd_(other.fd_) { other.fd_ = -1; }

TFile::~TFile() { Close(); }

bool TFile::Open(OpenMode mode) { return OpenDescriptor(mode) == 0; }

int TFile::OpenDescriptor(OpenMode mode) {
  if (IsOpen()) {
    SetErrorString("TFile: cannot open '" + path_.ToString() + "': it is already open");
    return EBUSY;
  }
  const int flags = OpenFlags(mode);
  if (flags < 0) {
    SetErrorString("TFile: cannot open '" + path_.ToString() + "': unknown open mode");
    return EINVAL;
  }
  const std::string native = path_.NativeString();
  int fd;
  do {
    // Owner only: the files written are zips of dumps and their encryptions.
    fd = ::open(native.c_str(), flags | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    SetErrorString(PathErrorMessage("TFile: cannot open '" + path_.ToString() + "'", error));
    return error;
  }
  fd_ = fd;
  return 0;
}

void TFile::Close() {
  if (fd_ < 0) return;
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway,
  // and a retry could close one that another thread just opened.
  ::close(fd_);
  fd_ = -1;
}

int64_t TFile::ReadLoop(char* data, int64_t maxSize, int64_t at) {
  int64_t total = 0;
  while (total < maxSize) {
    const size_t want = static_cast<size_t>(maxSize - total);
    const ssize_t got = at < 0 ? ::read(fd_, data + total, want)
                               : ::pread(fd_, data + total, want, static_cast<off_t>(at + total));
    if (got < 0) {
      if (errno == EINTR) continue;
      Fail("read", errno);
    }
    if (got == 0) break;
    total += got;
  }
  return total;
}

int64_t TFile::Read(char* data, int64_t maxSize) { return ReadLoop(data, maxSize, -1); }

int64_t TFile::Write(const char* data, int64_t size) {
  if (size <= 0) return 0;
  if (const int error = WriteAll(fd_, data, static_cast<size_t>(size)); error != 0) {
    Fail("write", error);
  }
  return size;
}

void TFile::Seek(int64_t pos) {
  if (::lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) Fail("seek in", errno);
}

int64_t TFile::Pos() const {
  const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) Fail("get position in", errno);
  return pos;
}

int64_t TFile::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) Fail("get size of", errno);
  return st.st_size;
}

std::chrono::system_clock::time_point TFile::LastWriteTime() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) Fail("examine", errno);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(NsSinceEpoch(st.st_mtim))));
}

int64_t TFile::Peek(char* data, int64_t maxSize) {
  // The file's own offset, not a subclass's view of it (a chunk's Pos is
  // relative to the chunk).
  return ReadLoop(data, maxSize, TFile::Pos());
}

std::optional<bool> TFile::IsOpenForWriting() const {
  if (fd_ < 0) return std::nullopt;
  // A writer that opens the file while the lease is held breaks it, and the
  // kernel tells the holder with SIGIO, which ends a process by default: any
  // user who may open the file could end the run so. SIGURG is ignored unless
  // handled.
  if (::fcntl(fd_, F_SETSIG, SIGURG) != 0) return std::nullopt;
  if (::fcntl(fd_, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd_, F_SETLEASE, F_UNLCK);
    return false;
  }
  if (errno == EAGAIN) return true;
  return std::nullopt;
}

void TFile::Sync() {
  int rc;
  do {
    rc = ::fsync(fd_);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) Fail("sync", errno);
}

void TFile::StartWriteBack(int64_t offset, int64_t length) noexcept {
  // Only a hint: where the file system cannot take it, Sync does it all.
  (void)::sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE);
}

void TFile::Fail(const char* operation, int error) const {
  const TString context = TString("TFile: cannot ") + operation + " '" + path_.ToString() + "'";
  SetErrorString(PathErrorMessage(context, error));
  ThrowPathError(context, error);
}

TString TFile::LoadTextFile(const TPath& path) {
  TFile file(path, OpenMode::Read);
  return file.ReadText();
}

TString TFile::ReadText() {
  const std::string bytes = ReadAll();
  const std::optional<ByteOrderMark> bom = FindByteOrderMark(bytes.data(), bytes.size());
  if (!bom) return TString::fromUtf8(bytes);

  const char* body = bytes.data() + bom->length;
  const size_t bodySize = bytes.size() - bom->length;
  switch (bom->encoding) {
    case TextEncoding::kUtf16: {
      const auto units = ToHostUnits<char16_t>(body, bodySize, bom->bigEndian);
      return TString::fromUtf16(units.data(), static_cast<int64_t>(units.size()));
    }
    case TextEncoding::kUtf32: {
      const auto units = ToHostUnits<char32_t>(body, bodySize, bom->bigEndian);
      return TString::fromUtf32(units.data(), static_cast<int64_t>(units.size()));
    }
    default:
      return TString::fromUtf8(std::string_view(body, bodySize));
  }
}

}  // namespace zor::platform
