// RotatedLogsSet: the chain of files that one rotated log is spread over,
// found from the newest file back to the first.
//
// The logs are JSON-lines logs whose writer records its own events: "open-log"
// (with the file's "path") when it opens a file, "close-log" when it closes
// one, and "rotate-log" (with "new-path", the file it came from, and
// "old-path", the file it writes in) in every file that continues another.
// The set never parses JSON: it searches the first and last few kilobytes of
// each file with three patterns and follows the rotate-log events back while
// each one names the file it was found in and no close-log ends the chain.
//
// Lifecycle: construct on a log file, ReadLogSet once, then GetPaths.
// Thread-safety: none; an object is used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/tfile.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class TrustBoundary;

class RotatedLogsSet {
 public:
  // The most files a chain keeps: the newest ones.
  static constexpr size_t kMaxLogSetFiles = 20;
  // Bytes read from each end of a large file.
  static constexpr uint64_t kHeadTailBytes = 4000;
  // A file of at most this many bytes is read whole.
  static constexpr uint64_t kWholeFileBytes = 2 * kHeadTailBytes;
  // Bytes read from a file's start to tell its encoding.
  static constexpr uint64_t kEncodingProbeBytes = 512;

  // The log events found in one piece of log text; a path is empty when its
  // event is absent. Searches ignore case, use minimal matching and let "."
  // cross line ends. The open-log and close-log paths come from the first
  // match, the rotation from the match that starts furthest right (the last
  // event written).
  struct LogEvents {
    explicit LogEvents(const zor::platform::TString& text);

    zor::platform::TString text;
    zor::platform::TPath openPath;
    zor::platform::TPath closePath;
    zor::platform::TPath rotationNewPath;  // the file rotated away from
    zor::platform::TPath rotationOldPath;  // the file the event was written in
  };

  // The first and last part of a file's text: both the whole file when it
  // has at most kWholeFileBytes bytes, else the first and the last
  // kHeadTailBytes bytes.
  struct HeadAndTail {
    zor::platform::TString head;
    zor::platform::TString tail;
  };

  // With a `boundary` (weak; it must outlive the set), every file is opened
  // by TrustBoundary::OpenForReading and read through that descriptor only:
  // `logPath` as the package's own record names it, every older file on the
  // word of the newer file that names it. The chain ends, with a Warn line,
  // before the first file refused, which is never read.
  explicit RotatedLogsSet(const zor::platform::TPath& logPath,
                          const TrustBoundary* boundary = nullptr);

  // Builds the chain: the file named by the open-log event at the head of the
  // log path (the log path itself when that file has its file name: a copy,
  // which goes on as its original would), then each file it continues,
  // newest first. A log path without an
  // open-log event gives an empty chain. The chain ends, with a Warn line,
  // after kMaxLogSetFiles files and before a file it already holds (files
  // that name each other). Throws ZorvaneException
  // "Unsupported encoding." for a file in no known encoding, and
  // TPath::Exception when a file cannot be read. Reads at most kWholeFileBytes plus
  // kEncodingProbeBytes bytes of each file.
  void ReadLogSet();

  // The chain as ReadLogSet left it. Throws ZorvaneException "RotatedLogsSet:
  // ReadLogSet must be called before GetPaths!" when ReadLogSet was never
  // called.
  const std::vector<zor::platform::TPath>& GetPaths() const;

  // `count` bytes of `path` from `offset` on, decoded by the encoding detected
  // from the file's first kEncodingProbeBytes bytes (a byte-order mark is kept
  // as a character), with line ends turned into '\n'. Throws as ReadLogSet.
  static zor::platform::TString ReadTextPortion(const zor::platform::TPath& path, uint64_t offset,
                                                uint64_t count);
  // Throws as ReadLogSet.
  static HeadAndTail ReadHeadAndTail(const zor::platform::TPath& path);
  // As above, from the open `file`, whatever its name means by now.
  static HeadAndTail ReadHeadAndTail(zor::platform::TFile& file);
  // The file that `path` continues: the new path of the last rotate-log event
  // in `tail` (the text at the end of `path`) when that event's old path has
  // the file name of `path` in a directory of the same last component as
  // `path`'s, and `tail` holds no close-log event; else the empty path.
  static zor::platform::TPath GetPreviousLogPath(const zor::platform::TPath& path,
                                                 const zor::platform::TString& tail);

 private:
  // `path`, which `namedBy` names, opened for reading; nullopt (with a Warn
  // line) when the boundary refuses it. See the constructor.
  std::optional<zor::platform::TFile> OpenLog(const zor::platform::TPath& path,
                                              const zor::platform::TPath& namedBy) const;

  zor::platform::TPath logPath_;
  const TrustBoundary* boundary_;  // weak; may be null
  std::vector<zor::platform::TPath> paths_;
  bool read_ = false;
};

}  // namespace ZorErrorReporting
