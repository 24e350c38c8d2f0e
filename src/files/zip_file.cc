#include "files/zip_file.h"

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>

#include "files/deflate_stream.h"
#include "log/log_functions.h"
#include "platform/date_time.h"
#include "platform/file_functions.h"
#include "platform/path_error.h"
#include "platform/tfile.h"
#include "platform/tformat_string.h"
#include "platform/tpath.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFile;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;

namespace {

// The entry header: local time split into fields. A zero DOS date makes the
// library build the DOS date from these fields, at its two-second resolution.
zip_fileinfo EntryInfo(const DateTime& lastWrite) {
  zip_fileinfo info{};
  info.tmz_date.tm_sec = static_cast<uInt>(lastWrite.GetSecond());
  info.tmz_date.tm_min = static_cast<uInt>(lastWrite.GetMinute());
  info.tmz_date.tm_hour = static_cast<uInt>(lastWrite.GetHour());
  info.tmz_date.tm_mday = static_cast<uInt>(lastWrite.GetDay());
  info.tmz_date.tm_mon = static_cast<uInt>(lastWrite.GetMonth() - 1);
  info.tmz_date.tm_year = static_cast<uInt>(lastWrite.GetYear());
  info.dosDate = 0;
  info.internal_fa = 0;
  info.external_fa = 0;
  return info;
}

// The file's last write time on the local clock, as the entry header wants it.
DateTime LastWriteLocalTime(const TPath& path) {
  return DateTime::FromTimePoint(zor::platform::LastWriteTime(path));
}

// "<context>: <cause>", the cause taken from the library's error `err`:
// ZIP_ERRNO means a C library call failed, and `error` (errno saved right
// after the call) says why.
ZorvaneException WriteFailure(const TString& context, int err, int error) {
  const TString cause = err == ZIP_ERRNO && error != 0
                            ? zor::platform::ErrnoText(error)
                            : TString(TFormatString("zip library error %1").arg(err));
  // Always with an OS error (EIO when the library gave none): the archive is
  // written in the program's own directory, so this is that directory's
  // trouble, never the entry's.
  const TString message = TFormatString("%1: %2").arg(context).arg(cause);
  return ZorvaneException(message, zor::platform::ZorvaneError::MakeError(
                                       "file-system", message, error != 0 ? error : EIO));
}

void LogWarn(const TString& text) noexcept {
  try {
    LogText(zor::platform::TLog::Warn, text);
  } catch (...) {
  }
}

}  // namespace

ZipFile::~ZipFile() {
  try {
    Close();
  } catch (const std::exception& e) {
    LogWarn(TString(e.what()));
  }
}

bool ZipFile::Open(const TString& path) {
  Close();
  path_ = path.toStdString();
  // zipOpen64 picks the library's 64-bit file functions, which archives over
  // 4 GiB need.
  handle_ = zipOpen64(path_.c_str(), APPEND_STATUS_CREATE);
  return handle_ != nullptr;
}

void ZipFile::Discard() noexcept {
  // The library frees its handle even when closing fails; what it writes
  // now no longer matters, the file goes.
  if (handle_ != nullptr) zipClose(handle_, nullptr);
  handle_ = nullptr;
  if (std::remove(path_.c_str()) != 0) {
    const int error = errno;
    if (error != ENOENT) {
      LogWarn(TFormatString("ZipFile: cannot remove the broken archive '%1': %2")
                  .arg(TString(path_))
                  .arg(zor::platform::ErrnoText(error)));
    }
  }
}

void ZipFile::Add(const TString& path) {
  if (handle_ == nullptr) {
    throw ZorvaneException("ZipFile: Add must be called on an opened zipfile!");
  }
  const zip_fileinfo info = EntryInfo(LastWriteLocalTime(TPath(path)));
  const std::string entryName = zor::platform::GetFileName(path).toStdString();
  const TString failed = TFormatString("ZipFile: cannot write entry '%1' to '%2'")
                             .arg(TString(entryName))
                             .arg(TString(path_));
  // Both before the entry begins: running out of memory leaves the archive as it was.
  DeflateStream deflate;
  auto buffer = std::make_unique<char[]>(kReadBufferSize);

  // Raw: the entry takes deflate bytes compressed here, several times faster
  // than the library's own compression (the level given only sets the
  // header's "fast" flag bits). Zip64 on for every entry: with it off
  // the library writes a corrupt entry for a file over 4 GiB while reporting
  // success.
  errno = 0;
  int err = zipOpenNewFileInZip2_64(handle_, entryName.c_str(), &info, nullptr, 0, nullptr, 0,
                                    nullptr, Z_DEFLATED, /*level=*/1, /*raw=*/1, /*zip64=*/1);
  if (err != ZIP_OK) {
    const ZorvaneException failure = WriteFailure(failed, err, errno);
    Discard();
    throw failure;
  }
  const DeflateStream::Sink sink = [&](const uint8_t* data, size_t size) {
    errno = 0;
    const int e = zipWriteInFileInZip(handle_, data, static_cast<unsigned>(size));
    if (e != ZIP_OK) throw WriteFailure(failed, e, errno);
  };

  // A failure to read the input is the only one after which the archive stays
  // valid: the entry is finished with what was read, then the failure thrown.
  std::exception_ptr readFailure;
  try {
    TFile file{TPath(path)};
    const bool opened = file.Open(zor::platform::OpenMode::Read);
    if (!opened) readFailure = std::make_exception_ptr(TPath::Exception(file.ErrorString()));
    while (opened) {
      int64_t n = 0;
      try {
        n = file.Read(buffer.get(), kReadBufferSize);
      } catch (...) {
        readFailure = std::current_exception();
        break;
      }
      if (n == 0) break;
      deflate.Write(buffer.get(), static_cast<uint32_t>(n), sink);
    }
    deflate.Finish(sink);
    // Writes the sizes and the CRC into the entry's headers.
    errno = 0;
    err = zipCloseFileInZipRaw64(handle_, deflate.InputSize(), deflate.Crc32());
    if (err != ZIP_OK) throw WriteFailure(failed, err, errno);
  } catch (...) {
    // Writing or compressing failed: the archive is broken and must not stay.
    Discard();
    throw;
  }
  if (readFailure) std::rethrow_exception(readFailure);
}

void ZipFile::Close() {
  if (handle_ == nullptr) return;
  // The central directory is buffered until the file is closed, so a full
  // disk often shows only here.
  errno = 0;
  const int err = zipClose(handle_, nullptr);
  const int error = errno;
  handle_ = nullptr;  // freed by zipClose, whatever its result
  if (err != ZIP_OK) {
    const ZorvaneException failure =
        WriteFailure(TFormatString("ZipFile: cannot finish '%1'").arg(TString(path_)), err, error);
    Discard();
    throw failure;
  }
}

}  // namespace ZorErrorReporting
