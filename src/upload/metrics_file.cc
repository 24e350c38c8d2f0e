#include "upload/metrics_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <utility>
#include <vector>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "packages/package_upload_progress.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"
#include "upload/leftover_files.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
namespace TLog = zor::platform::TLog;

namespace {

constexpr char kPrefix[] = "zorcrashreporter_";
// A previous file larger than this is not ours to read back.
constexpr uint64_t kMaxPreviousSize = 64 * 1024;

void Sample(std::ostringstream& out, const char* name, const char* type, const char* help,
            const std::string& value) {
  out << "# HELP " << kPrefix << name << " " << help << "\n"
      << "# TYPE " << kPrefix << name << " " << type << "\n"
      << kPrefix << name << " " << value << "\n";
}

void Gauge(std::ostringstream& out, const char* name, const char* help, int64_t value) {
  Sample(out, name, "gauge", help, std::to_string(value));
}

void Counter(std::ostringstream& out, const std::map<std::string, uint64_t>& previous,
             const char* name, const char* help, uint64_t add) {
  const auto it = previous.find(kPrefix + std::string(name));
  const uint64_t base = it == previous.end() ? 0 : it->second;
  Sample(out, name, "counter", help, std::to_string(base + add));
}

}  // namespace

uint64_t UploadedBytes(Package& package) {
  if (!package.HasDataFile(DataFileKind::kPartsUploadedFile)) return 0;
  try {
    return package.GetUploadProgress()->GetUploadFileSize();
  } catch (const std::exception&) {
    // Only counted; the upload itself succeeded.
    return 0;
  }
}

MetricsFile::MetricsFile(TPath path) : path_(std::move(path)) {}

std::string MetricsFile::Format(const UploadRunStats& stats, const DateTime& start,
                                const DateTime& end, int exitStatus,
                                const std::map<std::string, uint64_t>& previousCounters) {
  std::ostringstream out;
  const auto n = [](uint64_t v) { return static_cast<int64_t>(v); };
  Gauge(out, "packages_found", "Packages due for upload in the last run.", n(stats.found));
  Gauge(out, "packages_uploaded", "Packages uploaded in the last run.", n(stats.uploaded));
  Gauge(out, "packages_failed", "Upload attempts that failed in the last run.", n(stats.failed));
  Gauge(out, "packages_waiting",
        "Packages that could not be tried in the last run (their files "
        "or the disk were not ready).",
        n(stats.waited));
  Gauge(out, "packages_pending", "Packages the upload rate limit kept for a later run.",
        n(stats.pending));
  Gauge(out, "packages_pruned", "Packages deleted by the retention limits in the last run.",
        n(stats.pruned));
  Gauge(out, "uploaded_bytes", "Bytes of the packages uploaded in the last run.",
        n(stats.uploadedBytes));
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f",
                static_cast<double>(end.GetAsUnixTimeMs() - start.GetAsUnixTimeMs()) / 1000.0);
  Sample(out, "run_duration_seconds", "gauge", "How long the last run took.", duration);
  Gauge(out, "run_end_time_seconds", "When the last run ended, in Unix time.", end.GetAsUnixTime());
  Gauge(out, "exit_status", "The exit status of the last run (0 is success).", exitStatus);
  Counter(out, previousCounters, "uploads_total", "Packages uploaded, over all runs.",
          stats.uploaded);
  Counter(out, previousCounters, "upload_failures_total", "Failed upload attempts, over all runs.",
          stats.failed);
  Counter(out, previousCounters, "uploaded_bytes_total", "Bytes uploaded, over all runs.",
          stats.uploadedBytes);
  return out.str();
}

std::map<std::string, uint64_t> MetricsFile::ReadCounters(const std::string& text) {
  std::map<std::string, uint64_t> counters;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string name = line.substr(0, space);
    const std::string value = line.substr(space + 1);
    if (name.size() < 6 || name.compare(name.size() - 6, 6, "_total") != 0) continue;
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) continue;
    try {
      counters[name] = std::stoull(value);
    } catch (const std::out_of_range&) {
      // A counter beyond 64 bits is not ours; it starts again.
    }
  }
  return counters;
}

namespace {

// Creates the missing levels of `folder`, each open to every reader: the
// exporter that reads the file must pass through them, while the program's
// own folders are its user's alone. Throws ZorvaneException naming the level
// that cannot be made, so that a first run on a fresh machine has metrics
// and the counters do not restart later.
void CreateFolderForReaders(const TPath& folder) {
  Filesystem& fs = Filesystem::GetInstance();
  std::vector<TPath> missing;
  for (TPath level = folder; !level.IsEmpty() && !fs.DirectoryExists(level);
       level = level.Parent()) {
    missing.push_back(level);
    if (level.Parent() == level) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (const TString why = zor::platform::WhyNotADirectory(*it); !why.isEmpty()) {
      throw zor::platform::ZorvaneException("its folder " + why +
                                            "; set servercrashupload.metrics.file");
    }
    errno = 0;
    std::error_code error;
    if (fs.CreateDirectory(*it)) {
      std::filesystem::permissions(it->NativeString(), std::filesystem::perms(0755), error);
      if (!error) continue;
    }
    const int cause = error ? error.value() : errno;
    throw zor::platform::ZorvaneException(
        TFormatString("its folder '%1' cannot be created for other readers: %2")
            .arg(*it)
            .arg(cause != 0 ? zor::platform::ErrnoText(cause) : TString("unknown cause")));
  }
}

}  // namespace

void MetricsFile::Write(const UploadRunStats& stats, const DateTime& start, const DateTime& end,
                        int exitStatus) const {
  try {
    std::map<std::string, uint64_t> previous;
    Filesystem& fs = Filesystem::GetInstance();
    if (const TString why = zor::platform::WhyFolderCannotBePrivate(path_.Parent());
        !why.isEmpty()) {
      throw zor::platform::ZorvaneException(why);
    }
    CreateFolderForReaders(path_.Parent());
    // Readable by all on purpose, but written by this user alone: else the
    // previous file read back could be anyone's link, and the new one too.
    if (const TString why = zor::platform::WhyFolderNotPrivate(path_.Parent()); !why.isEmpty()) {
      throw zor::platform::ZorvaneException(why);
    }
    if (fs.FileExists(path_) && fs.FileSize(path_) <= kMaxPreviousSize) {
      previous = ReadCounters(fs.ReadTextFile(path_).toStdString());
    }
    // The node exporter reads it as its own user.
    fs.WriteFileAtomically(path_, Format(stats, start, end, exitStatus, previous),
                           zor::platform::FileReaders::kEveryone);
    // What a run killed during its save left, which the exporter would
    // otherwise keep beside the file for good.
    RemoveLeftoverStateFiles(path_.Parent(), LeftoverCutoff(end), path_.Filename());
  } catch (const std::exception& e) {
    LogText(TLog::Warn, TFormatString("Could not write the metrics file '%1': %2")
                            .arg(path_)
                            .arg(TString(e.what())));
  }
}

}  // namespace ZorErrorReporting
