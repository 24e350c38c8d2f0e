// Config: the process-wide holder of the program's settings.
//
// Settings come from one configuration file of "servercrashupload.*: value"
// lines (see config_parser.h for the line rules). Each getter resolves its
// setting in a fixed order: a command-line override (ConfigOverrides, for the
// dump directories and the deletion of completed dumps), the file's value, an
// environment variable (the two endpoints, the channel and the certificate
// switch) and a built-in default; the first non-empty one wins. A file value
// may embed environment variables as "<%=ENV[NAME]%>".
//
// Lifecycle:
//   1. GetInstance() creates the instance on first use, with no file loaded:
//      every getter answers its default.
//   2. Load(path) reads a file once, on the main thread, before any worker
//      starts; loading the same path again changes nothing.
//   3. Afterwards the getters only read and may be called from any thread.
// Only the creation of the instance is locked (a process-wide recursive
// mutex). A test may install its own instance (SetTestInstance), which is then
// returned instead until removed with nullptr; the caller keeps ownership.
//
// Failures are ZorvaneException: a mandatory setting that is missing or empty
// (mode table of GetValue), an invalid or excessive environment reference
// (see SubstituteEnvironment), and whatever the file service throws for an
// unreadable file.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "config/config_parser.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "platform/turl.h"

namespace ZorErrorReporting {

// The proxy settings of the file, read together; empty texts and port 0 when unset.
struct ProxySettings {
  zor::platform::TString host;
  int32_t port = 0;
  zor::platform::TString username;
  zor::platform::TString password;
};

class Config {
 public:
  // How GetValue treats a key that is absent from a loaded file, or present
  // with an empty value. With no file loaded every mode gives empty.
  enum class Mode {
    kOptional = 0,          // absent or empty: empty result
    kPresent = 1,           // absent: throws "... is missing from config file ..."
    kPresentWithValue = 2,  // as kPresent; empty: throws "... is missing a value ..."
  };

  Config() = default;
  virtual ~Config() = default;
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // The process-wide instance (or the installed test instance).
  static Config& GetInstance();
  // Installs `instance` (weak) as the one GetInstance returns; nullptr removes it.
  static void SetTestInstance(Config* instance);

  // Loads the configuration file at `path`:
  //   - empty: loads "zorcrashreporter.yml" of the current directory when it
  //     exists, otherwise keeps the present state;
  //   - the path already loaded: nothing happens;
  //   - otherwise the file's settings replace the present ones, once they
  //     pass the check below. On a read failure (the file service's exception
  //     passes through) or a refused setting, the old path and settings stay.
  // Every time-out setting present in the file must be a finite number of
  // minutes of at least a millisecond: any other value, empty included,
  // throws ZorvaneException "Setting '<key>' is '<value>' in config file
  // '<file>': a time-out must be a number of minutes of at least a
  // millisecond (0.0000167)", so that no wait of the run is left without an
  // end. An indented line (see
  // config_parser.h) throws ZorvaneException "Line <n> of config file
  // '<file>' is indented ('<line>'): the file is a flat list of 'key: value'
  // lines, …".
  void Load(const zor::platform::TPath& path);

  // The warnings of the loaded file, one text per line it concerns: each
  // "servercrashupload.*" key the program does not know (with the nearest
  // known key when one is close; a key written as a list item, "- key",
  // is one of these), each "servercrashupload." line that is not a
  // "key: value" line, each key set again (the last line counts), a " #"
  // in a value and a quote in a path.
  // Such lines are ignored, not refused, so that a file written for a newer
  // version still works. Then a quote in the --crash-dump-directories
  // override, by the rule for a path's quotes.
  std::vector<zor::platform::TString> GetSettingWarnings() const;

  // Reads every setting that has rules, so that a bad value ends the run
  // before anything has changed. Throws the ZorvaneException of the first
  // refused value (see each getter); does nothing without a file. The
  // switches (cert validation, following links, deleting completed dumps,
  // keeping packages) must be "true" or "false" in any case: else "The
  // setting '<key>' has the value '<value>' in config file '<file>', which is
  // neither true nor false."; the file name exclusion must compile: else
  // "... which is not a regular expression: <why>."
  void Validate() const;

  // The path of the loaded file; empty until a file is loaded.
  const zor::platform::TPath& GetFilePath() const { return filePath_; }

  // The raw text of `key` from the loaded file, trimmed of single then double
  // quotes at both ends, with environment references substituted. Empty when
  // no file is loaded. Throws ZorvaneException as `mode` says, naming the key
  // and the file: "Mandatory config setting '<key>' is missing from config
  // file '<file>'" or "... is missing a value from config file '<file>'".
  zor::platform::TString GetValue(const zor::platform::TString& key, Mode mode) const;

  // The crash upload service: file, then $zorcrashreporter_upload_endpoint,
  // then the crash server's base URL, without trailing "/". Throws
  // ZorvaneException naming the setting (or variable) and the value when
  // that is not an http(s) URL with a host, or has a query or a fragment.
  zor::platform::TUrl GetUploadEndpoint() const;
  // The public-key service: file, then $zorcrashreporter_rsa_endpoint, then
  // the upload endpoint + "/crash/key". Throws as GetUploadEndpoint.
  zor::platform::TUrl GetRsaEndpoint() const;
  // File, then $zorcrashreporter_channel, then "External".
  zor::platform::TString GetChannel() const;
  // File, then $zorcrashreporter_disable_cert_validation, then false.
  bool GetDisableCertValidation() const;
  // The directories scanned for crash dumps: the override, else the file's
  // list (see ConfigTextToPathList), else AppConfig::LogGetDefaultDir() alone;
  // of a list, a directory is left out when another one, spelt as it
  // resolves (no link, no "." or ".."), is the same directory (resolved where
  // it exists; of two such, the later goes).
  // The override is taken as written, without environment substitution.
  // The program's own crash dump directory (ownCrashDumpsDirectory of the
  // overrides, when set) comes last, unless it is or lies below one of them
  // (compared resolved where the paths exist).
  std::vector<zor::platform::TPath> GetDumpDirectories() const;
  // Default false.
  bool GetFollowSymlinks() const;
  // The program's data directory. The setting is mandatory with a value once
  // a file is loaded (throws as GetValue mode kPresentWithValue); with no file
  // it is LocalDataFolder() / "zorcrashreporter". Quotes are removed as
  // ConfigTextToPath says.
  zor::platform::TPath GetDataDirectory() const;
  // The override ("true"/"false"), else the file, else true.
  bool GetDeleteCompletedDumps() const;
  // Default false.
  bool GetPreserveUploadPackages() const;
  // Regular expression text of file names that discovery skips; default
  // ".*\.temp.*".
  zor::platform::TString GetFilenameExclusionRegex() const;
  // Time-outs in milliseconds, set in the file as decimal minutes (Load
  // refuses values that are not positive); defaults 60000, 60000 and 600000.
  int64_t GetHttpGetTimeout() const;
  int64_t GetHttpPostTimeout() const;
  int64_t GetHttpPutTimeout() const;
  // The next three read whole numbers: a present value outside the range
  // given, or not a decimal whole number ("50MB"), throws ZorvaneException
  // "The setting '<key>' has the value '<value>' in config file '<file>',
  // which is not a whole number from <min> to <max>.", rather than being
  // read as 0.
  // Bytes per uploaded part, 1 to 4294967295; default 52428800 (50 MiB).
  uint32_t GetUploadPartSize() const;
  // Bytes per second, 0 to 2^63-1; 0 (the default) means no limit.
  uint64_t GetUploadBandwidthLimit() const;
  // Each field from the file, empty when unset; the port 0 to 65535, 0 (the
  // proxy's default) when unset.
  ProxySettings GetProxySettings() const;
  // Name of the local test controller to report to; empty when none.
  zor::platform::TString GetTestControllerName() const;
  // The log directory as written in the file (no quote removal), or empty.
  zor::platform::TPath GetLogDirectory() const;

  // Settings for running on many servers; each is off (nullopt or empty) when
  // absent. A present value must be a whole number from 1 to the type's
  // maximum; anything else throws ZorvaneException "The setting '<key>' has
  // the value '<value>' in config file '<file>', which is not a whole number
  // from 1 to <max>."
  // Packages older than this many days are deleted at the start of a run.
  std::optional<uint32_t> GetRetentionMaxAgeDays() const;
  // The most the dump directories and the data directory may hold together,
  // in MiB, before packages are deleted.
  std::optional<uint32_t> GetRetentionMaxTotalMb() const;
  // The most upload attempts in any hour, counted across runs.
  std::optional<uint32_t> GetMaxUploadsPerHour() const;
  // Threads that compress a package's zip ("servercrashupload.deflate_threads",
  // default 2; the zip is the same whatever the number). Throws as above.
  uint32_t GetDeflateThreads() const;
  // The largest crash file that is zipped, in bytes
  // ("servercrashupload.max_artifact_size_mb", default 65536 MiB). Throws as
  // above.
  uint64_t GetMaxArtifactBytes() const;
  // The wait after a package's first transient failure, in milliseconds
  // (decimal minutes in the file; default 15 minutes; 0 for none); it
  // doubles with each further one. Throws ZorvaneException naming the key
  // and the value for a negative or unparsable value.
  int64_t GetRetryDelay() const;
  // The file that each `send-crashes` run replaces with its metrics; empty
  // when absent. Quotes are removed as ConfigTextToPath says.
  zor::platform::TPath GetMetricsFile() const;

  // The build version of the program.
  zor::platform::TString GetVersion() const;

 private:
  // The URL of `key`, else of the environment `variable`, else `defaultUrl`;
  // with `base`, one that paths are put after, so none with a query or a
  // fragment. Throws ZorvaneException naming the setting for a URL that is
  // not http or https with a host, or does not fit `base`.
  zor::platform::TUrl GetUrl(const char* key, const char* variable, const char* defaultUrl,
                             bool base = false) const;
  // Replaces the settings and lines by those of `text`; throws as Load
  // describes for an indented line.
  void ReadLines(const zor::platform::TString& text);
  // GetSettingWarnings' part for one "key: value" line of the program's
  // (`where` names it): the key set again (`firstLines` holds each key's
  // first line), a " #" in the value, a quote in a path, an unknown key.
  void AddSettingWarnings(const ConfigLine& line, const zor::platform::TString& where,
                          std::unordered_map<zor::platform::TString, int>* firstLines,
                          std::vector<zor::platform::TString>* warnings) const;
  // Throws as Load describes for the first time-out setting it refuses.
  void CheckTimeouts() const;
  // Throws as Validate describes for a switch that is neither "true" nor
  // "false" (any case) and a file name exclusion that does not compile.
  void CheckSwitchesAndPattern() const;
  // The whole number of `key` from `min` to `max`, or nullopt when absent;
  // throws as GetUploadPartSize describes.
  std::optional<uint64_t> GetWholeNumber(const char* key, uint64_t min, uint64_t max) const;
  // GetWholeNumber from 1 to UINT32_MAX.
  std::optional<uint32_t> GetPositiveCount(const char* key) const;

  zor::platform::TPath filePath_;
  std::optional<ConfigSettings> settings_;  // absent until a file is loaded
  std::vector<ConfigLine> lines_;           // the loaded file's lines, for warnings
};

}  // namespace ZorErrorReporting
