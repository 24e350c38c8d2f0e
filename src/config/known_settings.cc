#include "config/known_settings.h"

#include <algorithm>
#include <string>
#include <vector>

namespace ZorErrorReporting {

using zor::platform::TString;

namespace {

constexpr KnownSetting kSettings[] = {
    {"servercrashupload.upload_endpoint", "URL", "the built-in crash server"},
    {"servercrashupload.rsa_endpoint", "URL", "the upload endpoint + /crash/key"},
    {"servercrashupload.channel", "text", "External"},
    {"servercrashupload.disable_cert_validation", "boolean", "false"},
    {"servercrashupload.data.dir", "path", "none: mandatory in a file"},
    {"servercrashupload.dump.dirs", "path list", "the desktop log directory"},
    {"servercrashupload.dump.dirs.follow_symlinks", "boolean", "false"},
    {"servercrashupload.log.dir", "path", "./logs"},
    {"servercrashupload.delete_completed_dumps", "boolean", "true"},
    {"servercrashupload.preserve_upload_packages", "boolean", "false"},
    {"servercrashupload.filename_exclusion_regex", "regular expression", ".*\\.temp.*"},
    {"servercrashupload.http_get_timeout_in_minutes", "minutes", "1"},
    {"servercrashupload.http_post_timeout_in_minutes", "minutes", "1"},
    {"servercrashupload.http_put_timeout_in_minutes", "minutes", "10"},
    {"servercrashupload.upload_part_size_in_bytes", "bytes", "52428800"},
    {"servercrashupload.upload_bandwidth_limit_in_bytes", "bytes per second", "0 (none)"},
    {"servercrashupload.proxy_server_host", "text", "none"},
    {"servercrashupload.proxy_server_port", "number", "none"},
    {"servercrashupload.proxy_server_username", "text", "none"},
    {"servercrashupload.proxy_server_password", "text", "none"},
    {"servercrashupload.retention.max_age_days", "days", "none"},
    {"servercrashupload.retention.max_total_mb", "MiB", "none"},
    {"servercrashupload.max_uploads_per_hour", "count", "none"},
    {"servercrashupload.retry_delay_minutes", "minutes", "15"},
    {"servercrashupload.deflate_threads", "count", "2"},
    {"servercrashupload.max_artifact_size_mb", "MiB", "65536"},
    {"servercrashupload.metrics.file", "path", "none"},
    {"servercrashupload.test_controller_name", "text", "none"},
};

// Levenshtein distance over UTF-8 bytes; keys are ASCII.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::span<const KnownSetting> KnownSettings() { return kSettings; }

bool IsKnownSetting(const TString& key) {
  const std::string text = key.toStdString();
  return std::any_of(std::begin(kSettings), std::end(kSettings),
                     [&](const KnownSetting& s) { return text == s.key; });
}

TString NearestKnownSetting(const TString& key) {
  if (IsKnownSetting(key)) return {};
  const std::string text = key.toLower().toStdString();
  const KnownSetting* nearest = nullptr;
  size_t best = text.size() / 4 + 1;
  for (const KnownSetting& setting : kSettings) {
    const size_t distance = EditDistance(text, setting.key);
    if (distance < best) {
      best = distance;
      nearest = &setting;
    }
  }
  return nearest ? TString(nearest->key) : TString();
}

}  // namespace ZorErrorReporting
