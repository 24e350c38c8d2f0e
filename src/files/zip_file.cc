#include "files/zip_file.h"

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

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
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      zor::platform::LastWriteTime(path).time_since_epoch());
  return DateTime::FromUnixTimeMs(ms.count());
}

// Why the library failed: ZIP_ERRNO means a C library call failed, and
// `error` (errno saved right after the call) says why.
TString Cause(int err, int error) {
  if (err == ZIP_ERRNO && error != 0) return zor::platform::ErrnoText(error);
  return TFormatString("zip library error %1").arg(err);
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

void ZipFile::Abandon(const TString& what, int err, int error) {
  // The library frees its handle even when closing fails; what it writes
  // now no longer matters, the file goes.
  if (handle_ != nullptr) zipClose(handle_, nullptr);
  handle_ = nullptr;
  if (std::remove(path_.c_str()) != 0) {
    const int removeError = errno;
    if (removeError != ENOENT) {
      LogWarn(TFormatString("ZipFile: cannot remove the broken archive '%1': %2")
                  .arg(TString(path_))
                  .arg(zor::platform::ErrnoText(removeError)));
    }
  }
  throw ZorvaneException(TFormatString("%1: %2").arg(what).arg(Cause(err, error)));
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

  // Zip64 on for every entry: with it off the library writes a corrupt entry
  // for a file over 4 GiB while reporting success.
  errno = 0;
  int err = zipOpenNewFileInZip3_64(handle_, entryName.c_str(), &info, nullptr, 0, nullptr, 0,
                                    nullptr, Z_DEFLATED, /*level=*/1, /*raw=*/0, -MAX_WBITS,
                                    DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, /*zip64=*/1);
  if (err != ZIP_OK) Abandon(failed, err, errno);

  try {
    TFile file{TPath(path)};
    if (!file.Open(zor::platform::OpenMode::Read)) {
      throw TPath::Exception(file.ErrorString());
    }
    // One fixed buffer on the heap: the copy never holds more of the file.
    auto buffer = std::make_unique<char[]>(kCopyBufferSize);
    for (;;) {
      const int64_t n = file.Read(buffer.get(), kCopyBufferSize);
      if (n == 0) break;
      errno = 0;
      err = zipWriteInFileInZip(handle_, buffer.get(), static_cast<unsigned>(n));
      if (err != ZIP_OK) Abandon(failed, err, errno);
    }
  } catch (...) {
    // The entry must be closed before the exception leaves, so that the
    // archive's next entry or its Close starts from a consistent state.
    if (handle_ != nullptr) {
      errno = 0;
      err = zipCloseFileInZip(handle_);
      if (err != ZIP_OK) Abandon(failed, err, errno);
    }
    throw;
  }
  // Closing the entry flushes the last compressed bytes and writes the sizes;
  // a failure here would otherwise leave a corrupt archive behind a success.
  errno = 0;
  err = zipCloseFileInZip(handle_);
  if (err != ZIP_OK) Abandon(failed, err, errno);
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
    Abandon(TFormatString("ZipFile: cannot finish '%1'").arg(TString(path_)), err, error);
  }
}

}  // namespace ZorErrorReporting
