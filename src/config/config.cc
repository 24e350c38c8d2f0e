#include "config/config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "config/data_directory.h"
#include "config/known_settings.h"
#include "config/overrides.h"
#include "files/filesystem.h"
#include "platform/app_config.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"
#include "platform/process_singleton.h"
#include "platform/tformat_string.h"
#include "platform/tregex.h"
#include "platform/tsystem.h"
#include "platform/zorvane_exception.h"

#ifndef ZOR_CRASH_SERVER_URL
#error "ZOR_CRASH_SERVER_URL (the crash server's base URL) must be defined by the build"
#endif

namespace ZorErrorReporting {

using zor::platform::AppConfig;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUrl;
using zor::platform::ZorvaneException;
using zor::platform::TSystem::EnvironmentString;

namespace {

constexpr const char kDefaultFileName[] = "zorcrashreporter.yml";
constexpr const char kDataDirectoryName[] = "zorcrashreporter";
constexpr int64_t kMsPerMinute = 60 * 1000;
constexpr const char* kTimeoutKeys[] = {"servercrashupload.http_get_timeout_in_minutes",
                                        "servercrashupload.http_post_timeout_in_minutes",
                                        "servercrashupload.http_put_timeout_in_minutes"};

// The first non-empty of `values`, or empty.
TString FirstNonEmpty(std::initializer_list<TString> values) {
  for (const TString& value : values) {
    if (!value.isEmpty()) return value;
  }
  return {};
}

// Blanks around the text (a quoted ' true') count for nothing, as Validate
// judges them: else "' true'" would pass the check and read as false.
bool ToBool(const TString& text, bool defaultValue) {
  const TString trimmed = text.trim();
  return trimmed.isEmpty() ? defaultValue : ConfigTextToBool(trimmed);
}

int64_t ToMs(const TString& text, int64_t defaultMs) {
  return text.isEmpty() ? defaultMs : ConfigMinutesToMs(text);
}

// What a config line that is no setting may show of itself, with "…" when
// more follows: the rest may be a password. That is a known key it starts
// with (a password glued to its key, "key=value"), else the leading run of
// what a key is made of before a colon, else nothing (an indented line
// without one is the body of a block, whose key is on the line above).
TString KeyPartOf(const TString& text) {
  const std::string bytes = text.toStdString();
  size_t start = bytes.find_first_not_of(" \t-");
  if (start == std::string::npos) start = bytes.size();
  size_t end = start;
  for (const KnownSetting& setting : KnownSettings()) {
    const size_t length = std::strlen(setting.key);
    if (length > end - start && TString(bytes.substr(start, length)).EqualsNoCase(setting.key)) {
      end = start + length;
    }
  }
  if (end == start && bytes.find(':') != std::string::npos) {
    while (end < bytes.size() && (std::isalnum(static_cast<unsigned char>(bytes[end])) ||
                                  bytes[end] == '.' || bytes[end] == '_' || bytes[end] == '-')) {
      ++end;
    }
  }
  return TString(bytes.substr(0, end)) + (end < bytes.size() ? "\u2026" : "");
}

// A single quote is removed from a path wherever it stands, not only around
// it: a folder whose name holds one would have another folder used, unsaid.
// The text after "Line N of ...", or empty when the value is no such path.
// `value` is the setting's text with its environment references resolved.
TString QuoteInPathWarning(const ConfigLine& line, const TString& value) {
  const auto settings = KnownSettings();
  const auto known = std::find_if(settings.begin(), settings.end(), [&](const KnownSetting& s) {
    return line.key == TString(s.key);
  });
  if (known == settings.end() || !TString(known->type).startsWith("path")) return {};
  const bool list = TString(known->type) == "path list";
  bool inside = false;
  for (const TString& part : list ? value.split(",") : std::vector<TString>{value}) {
    TString text = part.trim();
    if (list) text = text.trim("[").trim("]").trim();
    if (text.size() >= 2 && text.startsWith("'") && text.endsWith("'")) {
      text = text.mid(1, text.size() - 2);
    }
    inside = inside || text.contains("'");
  }
  if (!inside) return {};
  TString used;
  for (const TPath& path :
       list ? ConfigTextToPathList(value) : std::vector<TPath>{ConfigTextToPath(value)}) {
    used += (used.isEmpty() ? "'" : ", '") + path.ToString() + "'";
  }
  return TFormatString(
             " sets '%1' to '%2': a single quote is removed from a path wherever it "
             "stands, so the program uses %3.")
      .arg(line.key)
      .arg(value)
      .arg(used);
}

}  // namespace

Config& Config::GetInstance() { return zor::platform::ProcessSingleton<Config>::Get(); }

void Config::SetTestInstance(Config* instance) {
  zor::platform::ProcessSingleton<Config>::SetTestInstance(instance);
}

void Config::Load(const TPath& path) {
  Filesystem& filesystem = Filesystem::GetInstance();
  if (path.IsEmpty()) {
    if (zor::platform::PathExists(TPath(kDefaultFileName))) Load(TPath(kDefaultFileName));
    return;
  }
  if (path == filePath_) return;
  TPath previousPath = filePath_;
  std::optional<ConfigSettings> previous = std::move(settings_);
  std::vector<ConfigLine> previousLines = std::move(lines_);
  filePath_ = path;
  try {
    // Said first, as a missing file is: a mistyped name is no question of
    // who may write there.
    if (!filesystem.FileExists(path) &&
        (!zor::platform::PathExists(path) || filesystem.DirectoryExists(path))) {
      const TPath folder = path.Parent();
      const bool folderMissing = !folder.IsEmpty() && !filesystem.DirectoryExists(folder);
      zor::platform::ThrowPathError(
          TFormatString("Config file '%1' cannot be read%2")
              .arg(path.ToString())
              .arg(folderMissing ? ", nor can its folder '" + folder.ToString() + "'" : TString()),
          filesystem.DirectoryExists(path) ? EISDIR : ENOENT);
    }
    // A FIFO or a device would hold the run in its first read.
    if (!filesystem.FileExists(path)) {
      zor::platform::ThrowPathRefusal(
          TFormatString("Config file '%1' is not used: it is not a regular file").arg(path.ToString()),
          EINVAL);
    }
    // The file says where this run reads, writes and sends, often as root.
    if (const TString why = zor::platform::WhyFileNotPrivate(path); !why.isEmpty()) {
      throw ZorvaneException(TFormatString("Config file '%1' is not used: %2, so another user "
                                           "could choose where this run reads, writes and "
                                           "sends. Give it and its folder to this user or root, "
                                           "writable by no one else.")
                                 .arg(path.ToString())
                                 .arg(why));
    }
    ReadLines(filesystem.ReadTextFile(path));
    CheckTimeouts();
  } catch (...) {
    // A refused file leaves no trace: the old settings answer, and loading
    // the same path again reads and refuses it again.
    settings_ = std::move(previous);
    filePath_ = std::move(previousPath);
    lines_ = std::move(previousLines);
    throw;
  }
}

void Config::ReadLines(const TString& text) {
  lines_ = ReadConfigLines(text);
  ConfigSettings settings;
  for (const ConfigLine& line : lines_) {
    if (line.kind == ConfigLine::Kind::kIndented) {
      throw ZorvaneException(
          TFormatString("Line %1 of config file '%2' is indented ('%3'): the file is a flat list "
                        "of 'key: value' lines, such as 'servercrashupload.data.dir: "
                        "/var/lib/zorcrashreporter', without sections or indentation.")
              .arg(static_cast<uint64_t>(line.number))
              .arg(TString(filePath_.NativeString()))
              .arg(KeyPartOf(line.text)));
    }
    // The system's calls would read a path or a name cut at it, while every
    // message names the whole.
    if (line.text.toStdString().find('\0') != std::string::npos) {
      throw ZorvaneException(TFormatString("Line %1 of config file '%2' holds a NUL byte: a "
                                           "setting's value is text")
                                 .arg(static_cast<uint64_t>(line.number))
                                 .arg(TString(filePath_.NativeString())));
    }
    if (line.kind == ConfigLine::Kind::kSetting) settings[line.key] = line.value;
  }
  settings_ = std::move(settings);
}

std::vector<TString> Config::GetSettingWarnings() const {
  std::vector<TString> warnings;
  std::unordered_map<TString, int> firstLines;
  for (const ConfigLine& line : lines_) {
    const TString where = TFormatString("Line %1 of config file '%2'")
                              .arg(static_cast<uint64_t>(line.number))
                              .arg(filePath_.NativeString());
    // Keys are matched exactly, but a key in capitals, or written as an item
    // of a list, is still meant as one.
    const TString meant =
        (line.kind == ConfigLine::Kind::kSetting ? line.key : line.text).trim(" \t-");
    if (!meant.startsWith("servercrashupload.", false)) continue;
    if (line.kind == ConfigLine::Kind::kMalformed) {
      warnings.push_back(TFormatString("%1 ('%2') is ignored: a setting is written "
                                       "'key: value', with one blank after the colon.")
                             .arg(where)
                             .arg(KeyPartOf(line.text)));
    } else if (line.kind == ConfigLine::Kind::kSetting) {
      AddSettingWarnings(line, where, &firstLines, &warnings);
    }
  }
  // The command line's dump directories lose their quotes by the same rule.
  ConfigLine option;
  option.key = "servercrashupload.dump.dirs";
  option.value = ConfigOverrides::GetInstance().Get().crashDumpDirectories;
  if (const TString quote = QuoteInPathWarning(option, option.value); !quote.isEmpty()) {
    warnings.push_back("The option '--crash-dump-directories'" + quote);
  }
  return warnings;
}

void Config::AddSettingWarnings(const ConfigLine& line, const TString& where,
                                std::unordered_map<TString, int>* firstLines,
                                std::vector<TString>* warnings) const {
  const auto [first, isFirst] = firstLines->emplace(line.key, line.number);
  // An operator who appends a corrected line may not know the old one is there.
  if (!isFirst) {
    warnings->push_back(TFormatString("%1 sets '%2' again (line %3 set it first): the last "
                                      "line counts.")
                            .arg(where)
                            .arg(line.key)
                            .arg(static_cast<uint64_t>(first->second)));
  }
  if (line.value.contains(" #")) {
    // Never the value itself: it may be the proxy's password.
    warnings->push_back(TFormatString("%1 sets '%2' to a value holding ' #': a '#' after the "
                                      "value starts no comment, it is part of the value.")
                            .arg(where)
                            .arg(line.key));
  }
  // A reference that cannot be resolved is Validate's to refuse.
  TString value = line.value;
  try {
    value = SubstituteEnvironment(line.key, line.value, filePath_);
  } catch (const ZorvaneException&) {
  }
  if (const TString quote = QuoteInPathWarning(line, value); !quote.isEmpty()) {
    warnings->push_back(where + quote);
  }
  if (IsKnownSetting(line.key)) return;
  // A key with a colon or a blank in it is a key and its value run together
  // ("password:se cret: x"): shown only up to what a key is made of.
  const std::string key = line.key.toStdString();
  const bool runTogether = key.find_first_of(": \t") != std::string::npos;
  TString warning = TFormatString("%1 names the unknown setting '%2', which is ignored.")
                        .arg(where)
                        .arg(runTogether ? KeyPartOf(line.key) : line.key);
  const TString nearest = NearestKnownSetting(line.key);
  if (!nearest.isEmpty()) warning += TFormatString(" Did you mean '%1'?").arg(nearest);
  warnings->push_back(warning);
}

void Config::Validate() const {
  if (!settings_) return;
  // Every value is read once, so that an environment reference that cannot
  // be resolved fails here, not half-way through a run.
  for (const auto& [key, value] : *settings_) (void)GetValue(key, Mode::kOptional);
  (void)GetUploadEndpoint();
  (void)GetRsaEndpoint();
  // The program keeps its records' names cleaned by their letters.
  for (const char* key : {"servercrashupload.data.dir", "servercrashupload.log.dir"}) {
    const TString value = GetValue(key, Mode::kOptional);
    if (value.isEmpty()) continue;
    if (const TString why = zor::platform::WhyDotDotMisleads(ConfigTextToPath(value));
        !why.isEmpty()) {
      throw ZorvaneException(TFormatString("The setting '%1' has the value '%2' in config file "
                                           "'%3', which cannot be used: %4")
                                 .arg(key)
                                 .arg(value)
                                 .arg(filePath_.NativeString())
                                 .arg(why));
    }
  }
  (void)GetDataDirectory();
  (void)GetRetentionMaxAgeDays();
  (void)GetRetentionMaxTotalMb();
  (void)GetMaxUploadsPerHour();
  (void)GetRetryDelay();
  (void)GetDeflateThreads();
  (void)GetMaxArtifactBytes();
  (void)GetUploadPartSize();
  (void)GetUploadBandwidthLimit();
  (void)GetProxySettings();
  CheckSwitchesAndPattern();
  // An empty entry ("[]", a stray comma) would be scanned as the folder '',
  // from the file and from the option that stands in for it alike.
  const auto holdsEmptyEntry = [](const TString& dirs) {
    for (const TPath& directory :
         dirs.isEmpty() ? std::vector<TPath>{} : ConfigTextToPathList(dirs)) {
      if (directory.IsEmpty()) return true;
    }
    return false;
  };
  const TString option = ConfigOverrides::GetInstance().Get().crashDumpDirectories;
  if (holdsEmptyEntry(option)) {
    throw ZorvaneException(TFormatString("Command option 'crash-dump-directories' has the value "
                                         "'%1', which holds an empty entry: list the folders as "
                                         "[dir1,dir2].")
                               .arg(option));
  }
  const TString dirs = GetValue("servercrashupload.dump.dirs", Mode::kOptional);
  if (holdsEmptyEntry(dirs)) {
    throw ZorvaneException(TFormatString("The setting 'servercrashupload.dump.dirs' has the value "
                                         "'%1' in config file '%2', which holds an empty entry: "
                                         "list the folders as [dir1,dir2].")
                               .arg(dirs)
                               .arg(filePath_.NativeString()));
  }
}

void Config::CheckSwitchesAndPattern() const {
  const TString file = filePath_.NativeString();
  // "yes" read as false would keep every dump, or follow no link, in silence.
  for (const char* key :
       {"servercrashupload.disable_cert_validation", "servercrashupload.dump.dirs.follow_symlinks",
        "servercrashupload.delete_completed_dumps", "servercrashupload.preserve_upload_packages"}) {
    const TString text = GetValue(key, Mode::kOptional).trim();
    if (text.isEmpty() || text.EqualsNoCase("true") || text.EqualsNoCase("false")) continue;
    throw ZorvaneException(TFormatString("The setting '%1' has the value '%2' in config file "
                                         "'%3', which is neither true nor false.")
                               .arg(key)
                               .arg(text)
                               .arg(file));
  }
  // A pattern that does not compile would exclude no file at all.
  constexpr char kPatternKey[] = "servercrashupload.filename_exclusion_regex";
  const TString pattern = GetValue(kPatternKey, Mode::kOptional);
  if (pattern.isEmpty()) return;
  const zor::platform::TRegex regex(pattern, zor::platform::TRegex::Case::Insensitive);
  if (regex.IsValid()) return;
  throw ZorvaneException(TFormatString("The setting '%1' has the value '%2' in config file '%3', "
                                       "which is not a regular expression: %4.")
                             .arg(kPatternKey)
                             .arg(pattern)
                             .arg(file)
                             .arg(regex.ErrorString()));
}

void Config::CheckTimeouts() const {
  for (const char* key : kTimeoutKeys) {
    if (settings_->find(key) == settings_->end()) continue;
    const TString text = GetValue(key, Mode::kOptional);
    bool parsed = false;
    const double minutes = text.trim().toDouble(&parsed);
    // Below a millisecond the transport would read the time-out as none.
    if (parsed && std::isfinite(minutes) && ConfigMinutesToMs(text.trim()) >= 1) continue;
    throw ZorvaneException(TFormatString("Setting '%1' is '%2' in config file '%3': a time-out "
                                         "must be a number of minutes of at least a millisecond "
                                         "(0.0000167)")
                               .arg(key)
                               .arg(text)
                               .arg(TString(filePath_.NativeString())));
  }
}

TString Config::GetValue(const TString& key, Mode mode) const {
  if (!settings_) return {};
  const auto it = settings_->find(key);
  if (it == settings_->end()) {
    if (mode == Mode::kOptional) return {};
    throw ZorvaneException(
        TFormatString("Mandatory config setting '%1' is missing from config file '%2'")
            .arg(key)
            .arg(TString(filePath_.NativeString())));
  }
  if (it->second.isEmpty()) {
    if (mode != Mode::kPresentWithValue) return {};
    throw ZorvaneException(
        TFormatString("Mandatory config setting '%1' is missing a value from config file '%2'")
            .arg(key)
            .arg(TString(filePath_.NativeString())));
  }
  const TString value = TrimConfigQuotes(it->second);
  if (!value.contains("<%=ENV[")) return value;
  return SubstituteEnvironment(key, value, filePath_);
}

TUrl Config::GetUrl(const char* key, const char* variable, const char* defaultUrl,
                    bool base) const {
  TString source = key;
  TString text = GetValue(key, Mode::kOptional);
  if (text.isEmpty()) {
    source = TString("environment variable ") + variable;
    text = EnvironmentString(variable);
  }
  if (text.isEmpty()) return TUrl(TString(defaultUrl));
  const TUrl url(text);
  const TString scheme = url.Scheme();
  if (!url.IsValid() || (scheme != "http" && scheme != "https") || url.Host().isEmpty()) {
    throw ZorvaneException(TFormatString("The URL setting '%1' has the value '%2', which is not "
                                         "an http or https URL with a host.")
                               .arg(source)
                               .arg(zor::platform::UrlTextForLog(text)));
  }
  // A query or fragment would end up holding the paths put after it.
  if (base && (text.contains("?") || text.contains("#"))) {
    throw ZorvaneException(TFormatString("The URL setting '%1' has the value '%2', which has a "
                                         "query or a fragment (after a '?' or '#', not shown): "
                                         "the request paths are put after it.")
                               .arg(source)
                               .arg(zor::platform::UrlTextForLog(text)));
  }
  return url;
}

TUrl Config::GetUploadEndpoint() const {
  const TUrl url = GetUrl("servercrashupload.upload_endpoint", "zorcrashreporter_upload_endpoint",
                          ZOR_CRASH_SERVER_URL, true);
  // Paths are appended to the endpoint, so "https://host/" would give "//crash".
  TString text = url.ToString();
  if (!text.endsWith("/")) return url;
  while (text.endsWith("/")) text = text.left(text.size() - 1);
  return TUrl(text);
}

TUrl Config::GetRsaEndpoint() const {
  // The key of the server the crashes go to: one of another server would
  // make them unreadable where they arrive.
  constexpr char kKey[] = "servercrashupload.rsa_endpoint";
  constexpr char kVariable[] = "zorcrashreporter_rsa_endpoint";
  if (GetValue(kKey, Mode::kOptional).isEmpty() && EnvironmentString(kVariable).isEmpty()) {
    return TUrl(GetUploadEndpoint().ToString() + "/crash/key");
  }
  return GetUrl(kKey, kVariable, ZOR_CRASH_SERVER_URL "/crash/key");
}

TString Config::GetChannel() const {
  return FirstNonEmpty({GetValue("servercrashupload.channel", Mode::kOptional),
                        EnvironmentString("zorcrashreporter_channel"), "External"});
}

bool Config::GetDisableCertValidation() const {
  return ToBool(
      FirstNonEmpty({GetValue("servercrashupload.disable_cert_validation", Mode::kOptional),
                     EnvironmentString("zorcrashreporter_disable_cert_validation")}),
      false);
}

std::vector<TPath> Config::GetDumpDirectories() const {
  const ConfigOverrideValues overrides = ConfigOverrides::GetInstance().Get();
  TString list = overrides.crashDumpDirectories;
  if (list.isEmpty()) list = GetValue("servercrashupload.dump.dirs", Mode::kOptional);
  const auto resolved = [](const TPath& path) {
    return Filesystem::GetInstance().CanonicalPath(path).value_or(path);
  };
  std::vector<TPath> listed = list.isEmpty() ? std::vector<TPath>{AppConfig::LogGetDefaultDir()}
                                             : ConfigTextToPathList(list);
  // A record names a crash's files as found: a relative name would be read
  // back beside the data directory, where nothing is, and the crash sent again.
  for (TPath& directory : listed) directory = zor::platform::FromWorkingFolder(directory);
  // One folder under two spellings (a link, "d/.", "d/a/..") would be scanned
  // twice, each file under two names, and one crash would become several. A
  // directory gives way only to the same one spelt as it resolves: a user's
  // link that the trust boundary leaves out must not take another one's
  // place, nor a folder above whose scan may not reach into it (a folder
  // below another is listed under the same names by both scans anyway).
  std::vector<TPath> directories;
  std::vector<TPath> real;
  for (const TPath& directory : listed) real.push_back(resolved(directory));
  const auto asSpelt = [&](size_t k) { return real[k] == listed[k]; };
  for (size_t i = 0; i < listed.size(); ++i) {
    bool covered = false;
    for (size_t j = 0; j < listed.size() && !covered; ++j) {
      covered = j != i && asSpelt(j) && real[i] == real[j] && (j < i || !asSpelt(i));
    }
    if (!covered) directories.push_back(listed[i]);
  }
  // The program's own crashes are collected whatever the setting says; a
  // directory below a listed one is scanned with it already.
  if (overrides.ownCrashDumpsDirectory.isEmpty()) return directories;
  const TPath own = resolved(TPath(overrides.ownCrashDumpsDirectory));
  for (const TPath& directory : directories) {
    if (IsSameOrBelow(own, resolved(directory))) return directories;
  }
  directories.push_back(TPath(overrides.ownCrashDumpsDirectory));
  return directories;
}

bool Config::GetFollowSymlinks() const {
  return ToBool(GetValue("servercrashupload.dump.dirs.follow_symlinks", Mode::kOptional), false);
}

TPath Config::GetDataDirectory() const {
  TString directory = GetValue("servercrashupload.data.dir", Mode::kPresentWithValue);
  if (directory.isEmpty()) directory = (LocalDataFolder() / kDataDirectoryName).ToString();
  return ConfigTextToPath(directory);
}

bool Config::GetDeleteCompletedDumps() const {
  TString value = ConfigOverrides::GetInstance().Get().deleteCompletedDumps;
  if (value.isEmpty())
    value = GetValue("servercrashupload.delete_completed_dumps", Mode::kOptional);
  return ToBool(value, true);
}

bool Config::GetPreserveUploadPackages() const {
  return ToBool(GetValue("servercrashupload.preserve_upload_packages", Mode::kOptional), false);
}

TString Config::GetFilenameExclusionRegex() const {
  return FirstNonEmpty(
      {GetValue("servercrashupload.filename_exclusion_regex", Mode::kOptional), ".*\\.temp.*"});
}

int64_t Config::GetHttpGetTimeout() const {
  return ToMs(GetValue("servercrashupload.http_get_timeout_in_minutes", Mode::kOptional),
              1 * kMsPerMinute);
}

int64_t Config::GetHttpPostTimeout() const {
  return ToMs(GetValue("servercrashupload.http_post_timeout_in_minutes", Mode::kOptional),
              1 * kMsPerMinute);
}

int64_t Config::GetHttpPutTimeout() const {
  return ToMs(GetValue("servercrashupload.http_put_timeout_in_minutes", Mode::kOptional),
              10 * kMsPerMinute);
}

uint32_t Config::GetUploadPartSize() const {
  // A part size read as 0 would make every package fail as if it were at fault.
  return static_cast<uint32_t>(
      GetWholeNumber("servercrashupload.upload_part_size_in_bytes", 1, UINT32_MAX)
          .value_or(50u * 1024 * 1024));
}

uint64_t Config::GetUploadBandwidthLimit() const {
  // "1MB" read as 0 would be no limit at all; the transport takes a signed count.
  return GetWholeNumber("servercrashupload.upload_bandwidth_limit_in_bytes", 0, INT64_MAX)
      .value_or(0);
}

ProxySettings Config::GetProxySettings() const {
  ProxySettings proxy;
  proxy.host = GetValue("servercrashupload.proxy_server_host", Mode::kOptional);
  // A port read as 0 or cut to 16 bits would send the requests to a port
  // nobody chose.
  proxy.port = static_cast<int32_t>(
      GetWholeNumber("servercrashupload.proxy_server_port", 0, 65535).value_or(0));
  proxy.username = GetValue("servercrashupload.proxy_server_username", Mode::kOptional);
  proxy.password = GetValue("servercrashupload.proxy_server_password", Mode::kOptional);
  return proxy;
}

TString Config::GetTestControllerName() const {
  return GetValue("servercrashupload.test_controller_name", Mode::kOptional);
}

TPath Config::GetLogDirectory() const {
  return TPath(GetValue("servercrashupload.log.dir", Mode::kOptional));
}

std::optional<uint64_t> Config::GetWholeNumber(const char* key, uint64_t min, uint64_t max) const {
  const TString text = GetValue(key, Mode::kOptional);
  if (text.isEmpty()) return std::nullopt;
  bool parsed = false;
  const uint64_t value = text.trim().toULongLong(&parsed, 10);
  if (!parsed || value < min || value > max) {
    throw ZorvaneException(TFormatString("The setting '%1' has the value '%2' in config file "
                                         "'%3', which is not a whole number from %4 to %5.")
                               .arg(key)
                               .arg(text)
                               .arg(TString(filePath_.NativeString()))
                               .arg(min)
                               .arg(max));
  }
  return value;
}

std::optional<uint32_t> Config::GetPositiveCount(const char* key) const {
  const std::optional<uint64_t> value = GetWholeNumber(key, 1, UINT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

std::optional<uint32_t> Config::GetRetentionMaxAgeDays() const {
  return GetPositiveCount("servercrashupload.retention.max_age_days");
}

std::optional<uint32_t> Config::GetRetentionMaxTotalMb() const {
  return GetPositiveCount("servercrashupload.retention.max_total_mb");
}

std::optional<uint32_t> Config::GetMaxUploadsPerHour() const {
  return GetPositiveCount("servercrashupload.max_uploads_per_hour");
}

uint32_t Config::GetDeflateThreads() const {
  return GetPositiveCount("servercrashupload.deflate_threads").value_or(2);
}

uint64_t Config::GetMaxArtifactBytes() const {
  constexpr uint64_t kBytesPerMb = 1024 * 1024;
  return GetPositiveCount("servercrashupload.max_artifact_size_mb").value_or(65536) * kBytesPerMb;
}

int64_t Config::GetRetryDelay() const {
  constexpr char kKey[] = "servercrashupload.retry_delay_minutes";
  const TString text = GetValue(kKey, Mode::kOptional).trim();
  if (text.isEmpty()) return 15 * kMsPerMinute;
  bool ok = false;
  const double minutes = text.toDouble(&ok);
  // No wait lasts longer than a day (a longer one is taken for a clock put
  // back): a longer delay would be cut to it in silence.
  if (!ok || !(minutes >= 0) || minutes > 24 * 60) {
    throw ZorvaneException(TFormatString("The setting '%1' has the value '%2' in config file "
                                         "'%3', which is not a number of minutes from 0 to "
                                         "1440 (a day, the longest wait).")
                               .arg(kKey)
                               .arg(text)
                               .arg(TString(filePath_.NativeString())));
  }
  return static_cast<int64_t>(minutes * kMsPerMinute);
}

TPath Config::GetMetricsFile() const {
  return ConfigTextToPath(GetValue("servercrashupload.metrics.file", Mode::kOptional));
}

TString Config::GetVersion() const { return AppConfig::GetInstance().GetBuildVersion(); }

}  // namespace ZorErrorReporting
