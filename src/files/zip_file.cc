#include "files/zip_file.h"

#include <zip.h>
#include <zlib.h>

#include <chrono>
#include <memory>

#include "log/log_functions.h"
#include "platform/date_time.h"
#include "platform/file_functions.h"
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

}  // namespace

ZipFile::~ZipFile() { Close(); }

bool ZipFile::Open(const TString& path) {
  Close();
  // zipOpen64 picks the library's 64-bit file functions, which archives over
  // 4 GiB need.
  handle_ = zipOpen64(path.toStdString().c_str(), APPEND_STATUS_CREATE);
  return handle_ != nullptr;
}

void ZipFile::Add(const TString& path) {
  if (handle_ == nullptr) {
    throw ZorvaneException("ZipFile: Add must be called on an opened zipfile!");
  }
  const zip_fileinfo info = EntryInfo(LastWriteLocalTime(TPath(path)));
  const std::string entryName = zor::platform::GetFileName(path).toStdString();

  // Zip64 on for every entry: with it off the library writes a corrupt entry
  // for a file over 4 GiB while reporting success.
  int err = zipOpenNewFileInZip3_64(handle_, entryName.c_str(), &info, nullptr, 0, nullptr, 0,
                                    nullptr, Z_DEFLATED, /*level=*/1, /*raw=*/0, -MAX_WBITS,
                                    DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, /*zip64=*/1);
  if (err != ZIP_OK) {
    throw ZorvaneException(
        TFormatString("ZipFile: zipOpenNewFileInZip failed with error '%1'").arg(err));
  }

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
      err = zipWriteInFileInZip(handle_, buffer.get(), static_cast<unsigned>(n));
      if (err != ZIP_OK) {
        throw ZorvaneException(
            TFormatString("ZipFile: zipWriteInFileInZip failed with error '%1'").arg(err));
      }
    }
  } catch (...) {
    // The entry must be closed before the exception leaves, so that the
    // archive's next entry or its Close starts from a consistent state.
    zipCloseFileInZip(handle_);
    throw;
  }
  // Closing the entry flushes the last compressed bytes and writes the sizes;
  // a failure here would otherwise leave a corrupt archive behind a success.
  err = zipCloseFileInZip(handle_);
  if (err != ZIP_OK) {
    throw ZorvaneException(
        TFormatString("ZipFile: zipCloseFileInZip failed with error '%1'").arg(err));
  }
}

void ZipFile::Close() {
  if (handle_ == nullptr) return;
  const int err = zipClose(handle_, nullptr);
  handle_ = nullptr;
  if (err != ZIP_OK) {
    // Close runs in destructors, so it reports and does not throw.
    LogText(zor::platform::TLog::Warn,
            TFormatString("ZipFile: zipClose failed with error '%1'").arg(err));
  }
}

}  // namespace ZorErrorReporting
