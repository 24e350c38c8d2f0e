#include "packages/rotated_logs_set.h"

#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/trust_boundary.h"
#include "platform/file_functions.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFile;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TextEncoding = zor::platform::TextEncoding;

namespace {

// The log writer's events, found as its own reader has always found them:
// ignoring case, the shortest text between the markers, across line ends. The
// text is a user's, so they are found with a few plain searches, in time
// linear in its length: a pattern with lazy captures, tried from every start,
// costs cubic time on a text made of markers.
class EventText {
 public:
  explicit EventText(const TString& text) : text_(text.toStdString()), folded_(text_) {
    // ASCII only, so that every offset stays the same in both.
    for (char& c : folded_) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }

  // The first event `marker` ... `key`"(value)": its value, empty when absent.
  TString FirstValue(std::string_view marker, std::string_view key) const {
    // The first marker has the earliest key after it: if no value follows
    // that one, none follows a later one either.
    const size_t at = Find(marker, 0);
    const size_t value = Find(key, After(at, marker));
    return Between(After(value, key), Find("\"", After(value, key)));
  }

  // The last event `marker` ... `first`"(value 1)`second`(value 2)": the one
  // that starts furthest right. Empty values when there is none.
  std::pair<TString, TString> LastPair(std::string_view marker, std::string_view first,
                                       std::string_view second) const {
    // From the right: the last `second` with a quote after it, the last
    // `first` before that, the last marker before that. Any marker before
    // that `first` has an event, so that marker's is the last one.
    const size_t quote = folded_.rfind('"');
    const size_t last2 = FindLastBefore(second, quote);
    const size_t last1 = FindLastBefore(first, last2);
    const size_t at = FindLastBefore(marker, last1);
    const size_t value1 = After(Find(first, After(at, marker)), first);
    const size_t value2 = After(Find(second, value1), second);
    return {Between(value1, Find(second, value1)), Between(value2, Find("\"", value2))};
  }

 private:
  static constexpr size_t npos = std::string::npos;

  size_t Find(std::string_view what, size_t from) const {
    return from == npos ? npos : folded_.find(what, from);
  }
  // The last `what` that ends at or before `end`.
  size_t FindLastBefore(std::string_view what, size_t end) const {
    return end == npos || end < what.size() ? npos : folded_.rfind(what, end - what.size());
  }
  static size_t After(size_t at, std::string_view what) {
    return at == npos ? npos : at + what.size();
  }
  TString Between(size_t from, size_t to) const {
    if (from == npos || to == npos) return {};
    return TString::fromUtf8(text_.data() + from, static_cast<int64_t>(to - from));
  }

  std::string text_;
  std::string folded_;
};

// Bytes as ReadFileBytes returns them: the bytes read and one zero byte.
using FileBytes = std::vector<char>;

size_t BytesRead(const FileBytes& buffer) { return buffer.empty() ? 0 : buffer.size() - 1; }

int ProbeEncoding(TFile& file) {
  FileBytes probe(RotatedLogsSet::kEncodingProbeBytes + 1, 0);
  probe.resize(static_cast<size_t>(
                   file.ReadAt(probe.data(), RotatedLogsSet::kEncodingProbeBytes, 0)) +
               1);
  probe.back() = 0;
  return zor::platform::DetectEncoding(probe.data(), BytesRead(probe));
}

template <class Unit>
std::basic_string<Unit> CodeUnits(const FileBytes& buffer) {
  // The unit count includes the trailing zero byte's share, so an odd byte at
  // the end still becomes a unit; copying also fixes the alignment.
  std::basic_string<Unit> units(buffer.size() / sizeof(Unit), Unit{});
  std::memcpy(units.data(), buffer.data(), units.size() * sizeof(Unit));
  return units;
}

TString Decode(const FileBytes& buffer, int encoding) {
  const auto count = static_cast<int64_t>(BytesRead(buffer));
  switch (encoding) {
    case TextEncoding::kUtf8:
      return TString::fromUtf8(buffer.data(), count);
    case TextEncoding::kUtf16: {
      const std::u16string units = CodeUnits<char16_t>(buffer);
      return TString::fromUtf16(units.data(), static_cast<int64_t>(units.size()));
    }
    case TextEncoding::kUtf32: {
      const std::u32string units = CodeUnits<char32_t>(buffer);
      return TString::fromUtf32(units.data(), static_cast<int64_t>(units.size()));
    }
    case TextEncoding::kLatin1:
      return TString::fromLatin1(buffer.data(), count);
    default:
      throw ZorvaneException("Unsupported encoding.");
  }
}

TString ReadPortion(TFile& file, uint64_t offset, uint64_t count, int encoding) {
  FileBytes bytes(count + 1, 0);
  const int64_t read =
      file.ReadAt(bytes.data(), static_cast<int64_t>(count), static_cast<int64_t>(offset));
  bytes.resize(static_cast<size_t>(read) + 1);
  bytes.back() = 0;
  return Decode(bytes, encoding).dosToUnix();
}

}  // namespace

RotatedLogsSet::LogEvents::LogEvents(const TString& eventText) : text(eventText) {
  const EventText events(text);
  openPath = TPath(events.FirstValue(R"("open-log")", R"("path":")"));
  closePath = TPath(events.FirstValue(R"("close-log")", R"("path":")"));
  // Several rotations may show in one text; the last one written counts.
  const auto [newPath, oldPath] =
      events.LastPair(R"("rotate-log")", R"("new-path":")", R"(","old-path":")");
  rotationNewPath = TPath(newPath);
  rotationOldPath = TPath(oldPath);
}

RotatedLogsSet::RotatedLogsSet(const TPath& logPath, const TrustBoundary* boundary)
    : logPath_(logPath), boundary_(boundary) {}

std::optional<TFile> RotatedLogsSet::OpenLog(const TPath& path, const TPath& namedBy) const {
  if (boundary_ == nullptr) return TFile(path, zor::platform::OpenMode::Read);
  // Opened once, by the boundary's rules, and only read through that
  // descriptor: a name checked and then opened again could by then be a
  // FIFO, which blocks the run past any signal, or another user's file. The
  // log itself comes from the listing: it is taken on the word of the
  // package's own record, which will name it.
  TString refusal;
  std::optional<TFile> file =
      boundary_->OpenForReading(path, path == logPath_ ? TPath() : namedBy, &refusal);
  if (file) return file;
  LogText(zor::platform::TLog::Warn,
          TFormatString("The rotated log chain of '%1' ends before '%2', which '%3' names: %4")
              .arg(logPath_.ToString())
              .arg(path.ToString())
              .arg(namedBy.ToString())
              .arg(refusal));
  return std::nullopt;
}

TString RotatedLogsSet::ReadTextPortion(const TPath& path, uint64_t offset, uint64_t count) {
  TFile file(path, zor::platform::OpenMode::Read);
  return ReadPortion(file, offset, count, ProbeEncoding(file));
}

RotatedLogsSet::HeadAndTail RotatedLogsSet::ReadHeadAndTail(const TPath& path) {
  TFile file(path, zor::platform::OpenMode::Read);
  return ReadHeadAndTail(file);
}

RotatedLogsSet::HeadAndTail RotatedLogsSet::ReadHeadAndTail(TFile& file) {
  // The size of what was opened: the name may mean another file by now.
  const uint64_t size = static_cast<uint64_t>(file.Size());
  const int encoding = ProbeEncoding(file);
  if (size <= kWholeFileBytes) {
    const TString whole = ReadPortion(file, 0, size, encoding);
    return {whole, whole};
  }
  return {ReadPortion(file, 0, kHeadTailBytes, encoding),
          ReadPortion(file, size - kHeadTailBytes, kHeadTailBytes, encoding)};
}

TPath RotatedLogsSet::GetPreviousLogPath(const TPath& path, const TString& tail) {
  const LogEvents events(tail);
  const TPath& old = events.rotationOldPath;
  // Only the last directory component is compared, so a log folder that was
  // moved or reached by another route still matches its own events.
  const bool continuesEarlierFile = old.Filename() == path.Filename() &&
                                    old.Parent().Filename() == path.Parent().Filename() &&
                                    events.closePath.IsEmpty();
  return continuesEarlierFile ? events.rotationNewPath : TPath();
}

void RotatedLogsSet::ReadLogSet() {
  read_ = true;
  paths_.clear();
  std::optional<TFile> log = OpenLog(logPath_, logPath_);
  if (!log) return;
  // The log path's text serves twice when the chain starts with that file.
  const HeadAndTail first = ReadHeadAndTail(*log);
  TPath current = LogEvents(first.head).openPath;
  TPath namedBy = logPath_;
  std::set<TPath> visited;
  // A log copied or moved here (a crash's copy of the current log) names
  // where it was opened: that is this file, not an older one, and the chain
  // goes on with the files that the original continues.
  if (current != logPath_ && current.Filename() == logPath_.Filename()) {
    visited.insert(logPath_);
    paths_.push_back(logPath_);
    current = GetPreviousLogPath(current, first.tail);
  }
  while (!current.IsEmpty()) {
    // A long run's own rotations, or a user's files that name each other,
    // cost the chain its oldest files only, never the newer ones.
    const char* end = nullptr;
    if (!visited.insert(current).second) end = "names a file of the chain a second time";
    if (paths_.size() == kMaxLogSetFiles) end = "has more files than it keeps";
    if (end != nullptr) {
      LogText(zor::platform::TLog::Warn,
              TFormatString("The rotated log chain of '%1' %2; it ends before '%3', which '%4' "
                            "names (it keeps at most %5 files)")
                  .arg(logPath_.ToString())
                  .arg(end)
                  .arg(current.ToString())
                  .arg(namedBy.ToString())
                  .arg(kMaxLogSetFiles));
      break;
    }
    TString tail = first.tail;
    if (current != logPath_) {
      std::optional<TFile> file = OpenLog(current, namedBy);
      if (!file) break;
      tail = ReadHeadAndTail(*file).tail;
    }
    paths_.push_back(current);
    namedBy = current;
    current = GetPreviousLogPath(current, tail);
  }
}

const std::vector<TPath>& RotatedLogsSet::GetPaths() const {
  if (!read_) throw ZorvaneException("RotatedLogsSet: ReadLogSet must be called before GetPaths!");
  return paths_;
}

}  // namespace ZorErrorReporting
