#include "files/zip_file.h"

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>

#include "files/deflate_stream.h"
#include "files/filesystem.h"
#include "files/output_file.h"
#include "log/log_functions.h"
#include "platform/date_time.h"
#include "platform/file_functions.h"
#include "platform/path_error.h"
#include "platform/tfile.h"
#include "platform/tformat_string.h"
#include "platform/tio.h"
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

int SystemErrorOf(const std::exception& e) {
  const auto* zorvane = dynamic_cast<const ZorvaneException*>(&e);
  return zorvane != nullptr && zorvane->GetError() ? zorvane->GetError()->systemError : 0;
}

// "<context>: <cause>", the cause taken from the library's error `err`:
// ZIP_ERRNO means a file call failed, and `error` (the errno the output
// kept) says why.
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

// The archive's bytes go to an OutputFile of the facade through the zip
// library's file-function table. The library is C: no exception may cross
// it, so a failure is kept here as an errno and reported by the return value.
struct ZipFile::Output {
  std::unique_ptr<OutputFile> file;
  int error = 0;

  template <class Step>
  bool Try(Step step) noexcept {
    try {
      step();
      return true;
    } catch (const std::exception& e) {
      error = SystemErrorOf(e) != 0 ? SystemErrorOf(e) : EIO;
    } catch (...) {
      error = EIO;
    }
    return false;
  }

  static Output& Of(voidpf stream) { return *static_cast<Output*>(stream); }
  static voidpf Open(voidpf opaque, const void*, int) { return opaque; }
  static uLong Read(voidpf, voidpf, void*, uLong) { return 0; }
  static uLong Write(voidpf, voidpf stream, const void* data, uLong size) {
    Output& out = Of(stream);
    return out.Try([&] { out.file->Write(static_cast<const char*>(data), size); }) ? size : 0;
  }
  static ZPOS64_T Tell(voidpf, voidpf stream) {
    Output& out = Of(stream);
    int64_t pos = -1;
    out.Try([&] { pos = out.file->Pos(); });
    return static_cast<ZPOS64_T>(pos);
  }
  static long Seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    Output& out = Of(stream);
    return out.Try([&] {
      int64_t base = 0;
      if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = out.file->Pos();
      if (origin == ZLIB_FILEFUNC_SEEK_END) base = out.file->Size();
      out.file->Seek(base + static_cast<int64_t>(offset));
    })
               ? 0
               : -1;
  }
  // The file stays open until Commit: closing is the facade's durable change.
  static int Close(voidpf, voidpf) { return 0; }
  static int Error(voidpf, voidpf stream) { return Of(stream).error != 0; }
};

ZipFile::ZipFile() = default;

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
  auto output = std::make_unique<Output>();
  try {
    output->file = Filesystem::GetInstance().CreateNewFile(TPath(path));
  } catch (const std::exception& e) {
    LogWarn(TString(e.what()));
    return false;
  }
  // The 64-bit table: archives over 4 GiB need it.
  zlib_filefunc64_def functions{&Output::Open, &Output::Read,  &Output::Write, &Output::Tell,
                                &Output::Seek, &Output::Close, &Output::Error, output.get()};
  handle_ = zipOpen2_64(path_.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
  if (handle_ == nullptr) return false;  // the output goes, and its file with it
  output_ = std::move(output);
  return true;
}

int ZipFile::IoError() const { return output_ ? output_->error : 0; }

void ZipFile::Discard() noexcept {
  // The library frees its handle even when closing fails; what it writes
  // now no longer matters. The uncommitted output removes its file.
  if (handle_ != nullptr) zipClose(handle_, nullptr);
  handle_ = nullptr;
  output_.reset();
}

void ZipFile::Add(const TString& path) {
  if (handle_ == nullptr) {
    throw ZorvaneException("ZipFile: Add must be called on an opened zipfile!");
  }
  Filesystem& fs = Filesystem::GetInstance();
  const zip_fileinfo info = EntryInfo(fs.LastWriteTime(TPath(path)));
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
  int err = zipOpenNewFileInZip2_64(handle_, entryName.c_str(), &info, nullptr, 0, nullptr, 0,
                                    nullptr, Z_DEFLATED, /*level=*/1, /*raw=*/1, /*zip64=*/1);
  if (err != ZIP_OK) {
    const ZorvaneException failure = WriteFailure(failed, err, IoError());
    Discard();
    throw failure;
  }
  const DeflateStream::Sink sink = [&](const uint8_t* data, size_t size) {
    const int e = zipWriteInFileInZip(handle_, data, static_cast<unsigned>(size));
    if (e != ZIP_OK) throw WriteFailure(failed, e, IoError());
  };

  // A failure to read the input is the only one after which the archive stays
  // valid: the entry is finished with what was read, then the failure thrown.
  std::exception_ptr readFailure;
  try {
    std::optional<TFile> file;
    try {
      file.emplace(fs.OpenFileForReading(TPath(path)));
    } catch (const TPath::Exception&) {
      readFailure = std::current_exception();
    }
    while (file) {
      int64_t n = 0;
      try {
        n = file->Read(buffer.get(), kReadBufferSize);
      } catch (...) {
        readFailure = std::current_exception();
        break;
      }
      if (n == 0) break;
      deflate.Write(buffer.get(), static_cast<uint32_t>(n), sink);
    }
    deflate.Finish(sink);
    // Writes the sizes and the CRC into the entry's headers.
    err = zipCloseFileInZipRaw64(handle_, deflate.InputSize(), deflate.Crc32());
    if (err != ZIP_OK) throw WriteFailure(failed, err, IoError());
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
  const int err = zipClose(handle_, nullptr);
  handle_ = nullptr;  // freed by zipClose, whatever its result
  const TString failed = TFormatString("ZipFile: cannot finish '%1'").arg(TString(path_));
  if (err != ZIP_OK) {
    const ZorvaneException failure = WriteFailure(failed, err, IoError());
    Discard();
    throw failure;
  }
  // Only a synced archive is a whole one: the caller records it next.
  try {
    output_->file->Commit();
  } catch (const std::exception& e) {
    const int error = SystemErrorOf(e);
    const ZorvaneException failure = WriteFailure(failed, ZIP_ERRNO, error != 0 ? error : EIO);
    Discard();
    throw failure;
  }
  output_.reset();
}

}  // namespace ZorErrorReporting
