// MetricsFile: the metrics of the last `send-crashes` run as a file in the
// Prometheus text exposition format, for a node exporter's textfile
// collector.
//
// Each run replaces the whole file atomically (Filesystem::WriteFileAtomically), so
// the collector never reads half a file. The file is mode 0644, the one file
// of the program that other users may read: the collector runs as its own user. Gauges describe the
// last run; counters ("_total") add each run to what the previous file said, and start again at 0
// when there is no readable previous file (Prometheus takes that as a counter reset).
//
// Metrics (prefix "zorcrashreporter_"):
//   packages_found, packages_uploaded, packages_failed, packages_waiting,
//   packages_pending, packages_pruned, uploaded_bytes, run_duration_seconds,
//   run_end_time_seconds (Unix time), exit_status                    gauges
//   uploads_total, upload_failures_total, uploaded_bytes_total       counters
//
// Thread-safety: one writer per file at a time (the caller holds the
// single-instance lock).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/date_time.h"
#include "platform/tpath.h"
#include "upload/upload_run_stats.h"

namespace ZorErrorReporting {

class Package;

// The size of the file that `package`'s finished upload sent, from its upload
// progress (kept in memory by the upload); 0 when there is none. Never throws.
uint64_t UploadedBytes(Package& package);

class MetricsFile {
 public:
  explicit MetricsFile(zor::platform::TPath path);

  // Writes the run that went from `start` to `end` with `exitStatus`,
  // creating the file's folder when it is missing. Never
  // throws: a failure is logged at Warn naming the file and the cause, and
  // leaves the previous file as it was.
  void Write(const UploadRunStats& stats, const zor::platform::DateTime& start,
             const zor::platform::DateTime& end, int exitStatus) const;

  // The file's text for that run, given the counters of the previous file
  // (metric name to value; missing ones count 0).
  static std::string Format(const UploadRunStats& stats, const zor::platform::DateTime& start,
                            const zor::platform::DateTime& end, int exitStatus,
                            const std::map<std::string, uint64_t>& previousCounters);

  // The counter samples of an exposition text: each line "<name> <integer>"
  // whose name ends in "_total". Other lines are skipped.
  static std::map<std::string, uint64_t> ReadCounters(const std::string& text);

 private:
  zor::platform::TPath path_;
};

}  // namespace ZorErrorReporting
