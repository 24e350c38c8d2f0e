#include "files/zip_file.h"

#include <algorithm>
#include <cerrno>
#include <exception>

#include "files/deflate_stream.h"
#include "files/filesystem.h"
#include "files/output_file.h"
#include "log/log_functions.h"
#include "platform/date_time.h"
#include "platform/file_functions.h"
#include "platform/path_error.h"
#include "platform/tfile.h"
#include "platform/interruption.h"
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

// Zip64 needs version 4.5 to extract; with it on every entry, every header
// says so.
constexpr uint16_t kVersion = 45;
// Bit 3: CRC and sizes follow the data; bits 1-2: the "super fast" deflate
// option, as for zip's level 1; bit 11: the name is UTF-8 (without it,
// readers take it as code page 437).
constexpr uint16_t kFlags = 0x0800 | 0x0008 | 0x0006;
constexpr uint16_t kDeflate = 8;
constexpr uint32_t kAll32 = 0xffffffff;

// Little-endian fields appended to a header being built.
class Header {
 public:
  Header& U16(uint16_t v) { return Bytes(v, 2); }
  Header& U32(uint32_t v) { return Bytes(v, 4); }
  Header& U64(uint64_t v) { return Bytes(v, 8); }
  Header& Text(const std::string& s) {
    data_ += s;
    return *this;
  }
  const std::string& data() const { return data_; }

 private:
  Header& Bytes(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) data_ += static_cast<char>((v >> (8 * i)) & 0xff);
    return *this;
  }
  std::string data_;
};

// The DOS time and date fields of a local time.
std::pair<uint16_t, uint16_t> DosTime(const DateTime& t) {
  if (t.GetYear() < 1980) return {0, (1 << 5) | 1};
  const int time = t.GetHour() << 11 | t.GetMinute() << 5 | t.GetSecond() / 2;
  const int date = (t.GetYear() - 1980) << 9 | t.GetMonth() << 5 | t.GetDay();
  return {static_cast<uint16_t>(time), static_cast<uint16_t>(date)};
}

int SystemErrorOf(const std::exception& e) {
  const auto* zorvane = dynamic_cast<const ZorvaneException*>(&e);
  return zorvane != nullptr && zorvane->GetError() ? zorvane->GetError()->systemError : 0;
}

// "<context>: <cause>" for a failure to write the archive, always with an OS
// error (EIO when there was none): the archive goes to the program's own
// directory, so this is that directory's trouble, never the entry's. Not a
// TPath::Exception, which would say an input could not be read.
ZorvaneException WriteFailure(const TString& context, const std::exception& cause) {
  const int error = SystemErrorOf(cause) != 0 ? SystemErrorOf(cause) : EIO;
  const TString message = TFormatString("%1: %2").arg(context).arg(TString(cause.what()));
  return ZorvaneException(message,
                          zor::platform::ZorvaneError::MakeError("file-system", message, error));
}

void LogWarn(const TString& text) noexcept {
  try {
    LogText(zor::platform::TLog::Warn, text);
  } catch (...) {
  }
}

}  // namespace

ZipFile::ZipFile(unsigned deflateThreads) : deflateThreads_(deflateThreads) {}

ZipFile::~ZipFile() {
  try {
    Close();
  } catch (const std::exception& e) {
    LogWarn(TString(e.what()));
  }
}

bool ZipFile::Open(const TString& path) {
  Close();
  try {
    file_ = Filesystem::GetInstance().CreateNewFile(TPath(path));
  } catch (const std::exception& e) {
    LogWarn(TString(e.what()));
    return false;
  }
  Open(*file_, path);
  return true;
}

void ZipFile::Open(ByteSink& sink, const TString& name) {
  if (&sink != file_.get()) Close();
  sink_ = &sink;
  name_ = name.toStdString();
  offset_ = 0;
  inputBytes_ = 0;
  entries_.clear();
}

void ZipFile::Put(const void* data, size_t size) {
  sink_->Write(static_cast<const char*>(data), size);
  offset_ += size;
}

void ZipFile::Discard() noexcept {
  sink_ = nullptr;
  file_.reset();  // uncommitted, it removes its file
}

TString ZipEntryName(const TString& name) {
  std::string text = name.toStdString();
  std::replace(text.begin(), text.end(), '\\', '_');
  for (char& c : text) {
    if (c != '.') break;
    c = '_';
  }
  return TString(text);
}

std::string ZipFile::UniqueName(const std::string& name) const {
  const auto taken = [this](const std::string& candidate) {
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& entry) { return entry.name == candidate; });
  };
  if (!taken(name)) return name;
  const size_t dot = name.rfind('.');
  const size_t cut = dot == std::string::npos || dot == 0 ? name.size() : dot;
  for (uint64_t n = 2;; ++n) {
    const std::string candidate = name.substr(0, cut) + "-" + std::to_string(n) + name.substr(cut);
    if (!taken(candidate)) return candidate;
  }
}

void ZipFile::Add(const TString& path, const TString& entryName) {
  if (sink_ == nullptr) {
    throw ZorvaneException("ZipFile: Add must be called on an opened zipfile!");
  }
  TFile file = Filesystem::GetInstance().OpenFileForReading(TPath(path));
  Add(file, entryName);
}

void ZipFile::Add(TFile& file, const TString& entryName, uint64_t maxBytes) {
  if (sink_ == nullptr) {
    throw ZorvaneException("ZipFile: Add must be called on an opened zipfile!");
  }
  Entry entry;
  std::tie(entry.time, entry.date) = DosTime(DateTime::FromTimePoint(file.LastWriteTime()));
  entry.name = UniqueName(ZipEntryName(entryName.isEmpty()
                                           ? zor::platform::GetFileName(file.GetPath().ToString())
                                           : entryName)
                              .toStdString());
  entry.offset = offset_;
  DeflateStream deflate(deflateThreads_);

  // A failure to read the input is the only one after which the archive stays
  // valid: the entry is finished with what was read before, then the failure
  // thrown.
  std::exception_ptr readFailure;
  try {
    Header local;
    local.U32(0x04034b50).U16(kVersion).U16(kFlags).U16(kDeflate).U16(entry.time).U16(entry.date);
    // CRC and sizes come after the data; the Zip64 field only marks the entry.
    local.U32(0).U32(kAll32).U32(kAll32);
    local.U16(static_cast<uint16_t>(entry.name.size())).U16(20).Text(entry.name);
    local.U16(1).U16(16).U64(0).U64(0);
    Put(local.data().data(), local.data().size());
    const uint64_t dataStart = offset_;
    const DeflateStream::Sink sink = [&](const uint8_t* data, size_t size) {
      Put(data, size);
      if (inputListener_) inputListener_(inputBytes_ + deflate.InputSize());
    };
    // Blocks are read where they are compressed, so that reading, too, is
    // spread over the deflate threads.
    readFailure = deflate.Compress(
        [&](uint8_t* into, size_t size, uint64_t offset) -> size_t {
          // A large file (a user's sparse one, say) must not hold a stopping
          // run past its time-out.
          zor::platform::Interruption::ThrowIfRequested();
          if (offset >= maxBytes) return 0;
          size = static_cast<size_t>(std::min<uint64_t>(size, maxBytes - offset));
          return static_cast<size_t>(file.ReadAt(reinterpret_cast<char*>(into),
                                                  static_cast<int64_t>(size),
                                                  static_cast<int64_t>(offset)));
        },
        sink);
    entry.crc = deflate.Crc32();
    entry.size = deflate.InputSize();
    entry.compressedSize = offset_ - dataStart;
    Header descriptor;
    descriptor.U32(0x08074b50).U32(entry.crc).U64(entry.compressedSize).U64(entry.size);
    Put(descriptor.data().data(), descriptor.data().size());
  } catch (const std::exception& e) {
    // Writing or compressing failed: the archive is broken and must not stay.
    Discard();
    throw WriteFailure(TFormatString("ZipFile: cannot write entry '%1' to '%2'")
                           .arg(TString(entry.name))
                           .arg(TString(name_)),
                       e);
  } catch (...) {
    Discard();
    throw;
  }
  entries_.push_back(entry);
  inputBytes_ += entry.size;
  if (inputListener_) inputListener_(inputBytes_);
  if (readFailure) std::rethrow_exception(readFailure);
}

void ZipFile::PutCentralDirectory() {
  const uint64_t start = offset_;
  for (const Entry& e : entries_) {
    Header central;
    central.U32(0x02014b50).U16(kVersion).U16(kVersion).U16(kFlags).U16(kDeflate);
    central.U16(e.time).U16(e.date).U32(e.crc).U32(kAll32).U32(kAll32);
    central.U16(static_cast<uint16_t>(e.name.size())).U16(28).U16(0).U16(0).U16(0).U32(0);
    central.U32(kAll32).Text(e.name);
    central.U16(1).U16(24).U64(e.size).U64(e.compressedSize).U64(e.offset);
    Put(central.data().data(), central.data().size());
  }
  const uint64_t size = offset_ - start;
  const uint64_t count = entries_.size();
  const uint64_t zip64End = offset_;
  Header end;
  end.U32(0x06064b50).U64(44).U16(kVersion).U16(kVersion).U32(0).U32(0);
  end.U64(count).U64(count).U64(size).U64(start);
  end.U32(0x07064b50).U32(0).U64(zip64End).U32(1);
  const auto fit16 = static_cast<uint16_t>(count < 0xffff ? count : 0xffff);
  end.U32(0x06054b50).U16(0).U16(0).U16(fit16).U16(fit16);
  end.U32(static_cast<uint32_t>(size < kAll32 ? size : kAll32));
  end.U32(static_cast<uint32_t>(start < kAll32 ? start : kAll32)).U16(0);
  Put(end.data().data(), end.data().size());
}

void ZipFile::Close() {
  if (sink_ == nullptr) return;
  try {
    PutCentralDirectory();
    // Only a synced archive is a whole one: the caller records it next.
    if (file_) file_->Commit();
  } catch (const std::exception& e) {
    Discard();
    throw WriteFailure(TFormatString("ZipFile: cannot finish '%1'").arg(TString(name_)), e);
  }
  sink_ = nullptr;
  file_.reset();
}

}  // namespace ZorErrorReporting
