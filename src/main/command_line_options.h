// CommandLineOptions: the parsed command line of one run.
//
// The command line selects one command (or help, or the version) and carries
// the values that command needs, the overrides of settings and crash metadata,
// and the directories for the program's own crash dumps. Two syntaxes are
// accepted: the current one, "--command <name>" followed by the command's own
// options, and an older one without --command (the legacy options).
//
// Ownership: the object owns every part it holds; the optional parts exist
// only when the command's parsing created them. Thread-safety: immutable after
// construction; may be read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>
#include <string>

#include "config/override_values.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

enum class Command : int32_t {
  None = 0,           // never left after a successful parse
  Help = 1,           // --help, or no argument at all
  SendCrashes = 2,    // "send-crashes", or the legacy syntax without -S
  SendLogs = 3,       // "send-logs"
  SimulateCrash = 4,  // "simulate-crash", or the legacy -S
  WriteDump = 5,      // "write-dump"
  Version = 6,        // --version without --help
  List = 7,           // "list"
  Retry = 8,          // "retry"
};

enum class Source : int32_t {
  None = 0,  // --source not given
  Server = 1,
  Desktop = 2,
};

enum class CrashType : int32_t {
  AccessViolation = 0,
  LogicAssertFailure = 1,
  OutOfMemory = 2,
  StackOverflow = 3,
  MultipleCrashes = 4,
};

struct SendCrashesOptions {
  bool includeFullDumps = true;
};

struct ListOptions {
  bool json = false;  // --output json; text otherwise
};

struct RetryOptions {
  std::vector<zor::platform::TString> packageNames;  // empty: every failed package
};

struct SendLogsOptions {
  zor::platform::TPath zippedLogsFile;
  zor::platform::TString email;              // empty, or a list that passed validation
  zor::platform::TString supportCaseNumber;  // at least one of email and this is set
};

struct DesktopOptions {
  zor::platform::TPath repositoryPath;  // empty unless given
  zor::platform::TString repositoryLanguage;
};

struct SimulateCrashOptions {
  // Kilobytes. The option is read as a signed 32-bit value and widened with
  // its sign, so a negative value becomes a huge size.
  uint64_t minCrashSize = 100;
  bool writeIncompressibleData = false;
  int32_t rotateLogNTimes = 0;
  CrashType crashType = CrashType::AccessViolation;
};

// Empty iff every address of `value` (separated by ';', ',' or ' ', empty
// parts skipped) looks like an e-mail address: no backslash, double quote or
// any of "():<>[]", no blank, exactly one '@' that is not the first character,
// a '.' at least two places after the '@', and the last '.' more than one
// place after the '@'. Else why the first address that does not is refused,
// naming it. An empty list is valid.
zor::platform::TString WhyNotEmailList(const zor::platform::TString& value);

class CommandLineOptions {
 public:
  // Parses `argv[0..argc)`; argv[0] is the program name as typed. Prints
  // nothing. Throws std::runtime_error on any error, whose text is the cause,
  // a newline, HelpText() and a newline.
  CommandLineOptions(int argc, const char* const* argv);

  CommandLineOptions(const CommandLineOptions&) = delete;
  CommandLineOptions& operator=(const CommandLineOptions&) = delete;

  Command GetCommand() const { return command_; }
  Source GetSource() const { return source_; }
  // Empty unless --config-file (or the legacy -D) was given.
  const zor::platform::TPath& GetConfigFile() const { return configFile_; }
  // Raw values; empty when not given.
  const zor::platform::TString& GetEnableFeatures() const { return enableFeatures_; }
  const zor::platform::TString& GetCrashDumpsDir() const { return crashDumpsDir_; }
  const zor::platform::TString& GetCrashDumpsTempDir() const { return crashDumpsTempDir_; }
  // Seconds; 0 when not given.
  int32_t GetRotateLogInterval() const { return rotateLogInterval_; }
  const std::string& GetProgramName() const { return programName_; }

  // Always present; a field is empty when its option was not given.
  const MetadataOverrideValues& GetMetadataOverrides() const { return metadataOverrides_; }
  const ConfigOverrideValues& GetConfigOverrides() const { return configOverrides_; }

  // The command's parts. Each throws std::runtime_error
  // "<Part> options were not specified by user." when the part is absent.
  const SendCrashesOptions& GetSendCrashesOptions() const;
  const SendLogsOptions& GetSendLogsOptions() const;
  const DesktopOptions& GetDesktopOptions() const;
  const SimulateCrashOptions& GetSimulateCrashOptions() const;
  const ListOptions& GetListOptions() const;
  const RetryOptions& GetRetryOptions() const;

  // The help text, with the examples naming GetProgramName().
  std::string HelpText() const;

 private:
  // Does the parsing; nested so that the option library stays out of this header.
  class Parser;

  std::string programName_;
  Command command_ = Command::None;
  zor::platform::TPath configFile_;
  Source source_ = Source::None;
  zor::platform::TString enableFeatures_;
  zor::platform::TString crashDumpsTempDir_;
  zor::platform::TString crashDumpsDir_;
  int32_t rotateLogInterval_ = 0;
  MetadataOverrideValues metadataOverrides_;
  ConfigOverrideValues configOverrides_;
  std::unique_ptr<SendCrashesOptions> sendCrashes_;
  std::unique_ptr<SendLogsOptions> sendLogs_;
  std::unique_ptr<DesktopOptions> desktop_;
  std::unique_ptr<SimulateCrashOptions> simulateCrash_;
  std::unique_ptr<ListOptions> list_;
  std::unique_ptr<RetryOptions> retry_;
};

}  // namespace ZorErrorReporting
