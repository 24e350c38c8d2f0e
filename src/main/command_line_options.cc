#include "main/command_line_options.h"

#include <boost/program_options/errors.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/variables_map.hpp>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "main/option_groups.h"
#include "platform/display_text.h"

namespace po = boost::program_options;
using zor::platform::EscapeForDisplay;
using zor::platform::TPath;
using zor::platform::TString;

namespace ZorErrorReporting {

namespace {

struct CrashTypeName {
  const char* name;
  CrashType type;
};

constexpr CrashTypeName kCrashTypes[] = {
    {"AccessViolation", CrashType::AccessViolation},
    {"LogicAssertFailure", CrashType::LogicAssertFailure},
    {"OutOfMemory", CrashType::OutOfMemory},
    {"StackOverflow", CrashType::StackOverflow},
    {"MultipleCrashes", CrashType::MultipleCrashes},
};

struct MetadataField {
  const char* option;
  TString MetadataOverrideValues::*field;
};

// Copied as typed, when printable; client-product-beta is validated separately.
const MetadataField kMetadataFields[] = {
    {"client-issue-id", &MetadataOverrideValues::clientIssueId},
    {"client-product-build", &MetadataOverrideValues::clientProductBuild},
    {"client-product-type", &MetadataOverrideValues::clientProductType},
    {"client-channel", &MetadataOverrideValues::clientChannel},
    {"system-os", &MetadataOverrideValues::systemOs},
    {"system-os-version", &MetadataOverrideValues::systemOsVersion},
    {"system-os-arch", &MetadataOverrideValues::systemOsArch},
};

bool Has(const po::variables_map& vm, const char* name) { return vm.count(name) > 0; }

TString Text(const po::variables_map& vm, const char* name) {
  return TString(vm[name].as<std::string>());
}

// An option that becomes part of what the server records and support reads:
// its bytes as typed, refused when they are anything but printable text (a
// line break, an escape sequence, a byte that is not UTF-8).
TString PrintableText(const po::variables_map& vm, const char* name) {
  const std::string typed = vm[name].as<std::string>();
  if (EscapeForDisplay(typed) != typed) {
    throw std::runtime_error(std::string("Command option '") + name + "' is not valid, '" +
                             EscapeForDisplay(typed) + "': it holds characters that are no text");
  }
  return TString(typed);
}

// An option that names files: paths are held as text, so a name that is not
// UTF-8 would read or delete another one, whose name holds U+FFFD instead.
TString NameText(const po::variables_map& vm, const char* name) {
  const std::string typed = vm[name].as<std::string>();
  if (TString(typed).toStdString() != typed) {
    throw std::runtime_error(std::string("Command option '") + name + "' is not valid, '" +
                             EscapeForDisplay(typed) + "': the name is not UTF-8");
  }
  return TString(typed);
}

// The value of the int option `name`, which counts something: a negative one
// would wrap into a huge count. Throws std::runtime_error naming the option.
int CountOption(const po::variables_map& vm, const char* name) {
  const int value = vm[name].as<int>();
  if (value < 0) {
    throw std::runtime_error(std::string("Command option '") + name + "' has the value '" +
                             std::to_string(value) + "', which is not a whole number of 0 or more");
  }
  return value;
}

uint64_t KilobytesOption(const po::variables_map& vm) {
  return static_cast<uint64_t>(CountOption(vm, "min-crash-size"));
}

// A blank other than ASCII's (a no-break space, pasted from a mail) would
// otherwise pass as part of an address.
bool IsWideBlank(char16_t c) {
  return c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

TString WhyNotEmailAddress(const TString& address) {
  const TString quoted = "'" + address + "'";
  constexpr std::u16string_view kForbidden = u"\\\"():<>[]";
  for (char16_t c : kForbidden) {
    if (address.Find(c) >= 0)
      return quoted + " holds '" + TString(std::string(1, static_cast<char>(c))) + "'";
  }
  for (int64_t i = 0; i < address.size(); ++i) {
    if (IsWideBlank(address.at(i))) return quoted + " holds a blank";
  }
  const int64_t at = address.Find(u'@');
  if (at < 0) return quoted + " has no '@'";
  if (at == 0) return quoted + " has nothing before its '@'";
  if (address.ReverseFind("@") != at) return quoted + " has more than one '@'";
  if (at >= address.ReverseFind(".") - 1 || address.Find(u'.', at) - at < 2) {
    return "the domain of " + quoted + " is no name with a '.'";
  }
  return {};
}

}  // namespace

TString WhyNotEmailList(const TString& value) {
  int64_t position = 0;
  for (;;) {
    const TString address =
        value.tokenize(";, ", &position, TString::SplitBehavior::SkipEmptyParts);
    if (address.isEmpty()) return {};
    if (TString why = WhyNotEmailAddress(address); !why.isEmpty()) return why;
  }
}

class CommandLineOptions::Parser {
 public:
  explicit Parser(CommandLineOptions& options) : out_(options) {}

  void Run(int argc, const char* const* argv);

 private:
  // One command of --command: its name (matched ignoring case), the option
  // groups its second pass accepts, the option that takes its positional
  // arguments (null: none) and how its options fill the result.
  struct CommandEntry {
    const char* name;
    Command command;
    void (*addGroups)(po::options_description* groups);
    const char* positional;
    void (Parser::*fill)(const po::variables_map& vm);
  };
  static const CommandEntry kCommandTable[];

  void RunCommandPass(const CommandEntry& command, const std::vector<std::string>& tokens);
  void RunLegacyPass(int argc, const char* const* argv);

  void FillSendCrashesCommand(const po::variables_map& vm);
  void FillSendLogsCommand(const po::variables_map& vm);
  void FillSimulateCommand(const po::variables_map& vm);
  void FillRetry(const po::variables_map& vm);
  void FillDesktop(const po::variables_map& vm);
  void FillSendLogs(const po::variables_map& vm);
  void FillSimulateCrash(const po::variables_map& vm);
  void FillOverrides(const po::variables_map& vm);
  void FillList(const po::variables_map& vm);

  CommandLineOptions& out_;
};

namespace {

// The options every command shares, stored into `vm`; the rest is left
// unrecognised in the result.
po::parsed_options ParseSharedOptions(int argc, const char* const* argv,
                                      const po::options_description& firstPass,
                                      po::variables_map* vm) {
  try {
    po::parsed_options parsed =
        po::command_line_parser(argc, argv).options(firstPass).allow_unregistered().run();
    po::store(parsed, *vm);
    po::notify(*vm);
    return parsed;
  } catch (const po::error_with_option_name& e) {
    // The library's message puts the argument in for its "%value%" until no
    // such placeholder is left, so an argument holding one never ends; only
    // then is its text given up for a plainer one.
    for (int i = 1; i < argc; ++i) {
      if (argv[i] && std::strchr(argv[i], '%')) {
        throw std::runtime_error("Invalid argument for option '" + e.get_option_name() + "'");
      }
    }
    throw;
  }
}

void AddSendCrashesGroups(po::options_description* groups) {
  groups->add(MakeSendCrashOptions()).add(MakeMetadataOptions()).add(MakeConfigOverrideOptions());
}

void AddSendLogsGroups(po::options_description* groups) {
  groups->add(MakeSendLogsOptions()).add(MakeMetadataOptions()).add(MakeConfigOverrideOptions());
}

void AddSimulateGroups(po::options_description* groups) { groups->add(MakeSimulateCrashOptions()); }

void AddListGroups(po::options_description* groups) { groups->add(MakeListOptions()); }

void AddRetryGroups(po::options_description* groups) { groups->add(MakeRetryOptions()); }

}  // namespace

const CommandLineOptions::Parser::CommandEntry CommandLineOptions::Parser::kCommandTable[] = {
    {"send-crashes", Command::SendCrashes, AddSendCrashesGroups, nullptr,
     &Parser::FillSendCrashesCommand},
    {"send-logs", Command::SendLogs, AddSendLogsGroups, nullptr, &Parser::FillSendLogsCommand},
    {"simulate-crash", Command::SimulateCrash, AddSimulateGroups, nullptr,
     &Parser::FillSimulateCommand},
    {"write-dump", Command::WriteDump, AddSimulateGroups, nullptr, &Parser::FillSimulateCommand},
    {"list", Command::List, AddListGroups, nullptr, &Parser::FillList},
    {"retry", Command::Retry, AddRetryGroups, "package", &Parser::FillRetry},
};

void CommandLineOptions::Parser::Run(int argc, const char* const* argv) {
  if (argc < 2) {
    out_.command_ = Command::Help;
    return;
  }

  // The first pass picks out what every command shares; the command's own
  // options are left unrecognised for its second pass.
  po::options_description firstPass;
  firstPass.add(MakeAllowedOptions()).add(MakeHiddenOptions());
  po::variables_map vm;
  const po::parsed_options parsed = ParseSharedOptions(argc, argv, firstPass, &vm);

  if (Has(vm, "help")) {
    out_.command_ = Command::Help;
    return;
  }
  if (Has(vm, "version")) {
    out_.command_ = Command::Version;
    return;
  }
  if (Has(vm, "enable-features")) out_.enableFeatures_ = Text(vm, "enable-features");
  if (Has(vm, "crashdumps-dir")) out_.crashDumpsDir_ = Text(vm, "crashdumps-dir");
  if (Has(vm, "crashdumps-temp-dir")) out_.crashDumpsTempDir_ = Text(vm, "crashdumps-temp-dir");
  if (Has(vm, "rotate-log-interval")) {
    out_.rotateLogInterval_ = CountOption(vm, "rotate-log-interval");
  }

  const std::vector<std::string> rest =
      po::collect_unrecognized(parsed.options, po::include_positional);

  if (!Has(vm, "command")) {
    RunLegacyPass(argc, argv);
    return;
  }

  const TString commandText = Text(vm, "command");
  const CommandEntry* command = nullptr;
  for (const CommandEntry& candidate : kCommandTable) {
    if (commandText.EqualsNoCase(candidate.name)) {
      command = &candidate;
      break;
    }
  }
  if (command == nullptr) {
    throw std::runtime_error("Unsupported command '" + commandText.toStdString() + "' received.");
  }
  out_.command_ = command->command;
  RunCommandPass(*command, rest);

  if (Has(vm, "source")) {
    const TString source = Text(vm, "source");
    if (source.EqualsNoCase("server")) {
      out_.source_ = Source::Server;
    } else if (source.EqualsNoCase("desktop")) {
      out_.source_ = Source::Desktop;
    } else {
      throw std::runtime_error("Could not parse source value");
    }
  }
  if (Has(vm, "config-file")) out_.configFile_ = TPath(Text(vm, "config-file"));
}

void CommandLineOptions::Parser::RunCommandPass(const CommandEntry& command,
                                                const std::vector<std::string>& tokens) {
  po::options_description groups;
  command.addGroups(&groups);
  po::positional_options_description positional;
  if (command.positional != nullptr) positional.add(command.positional, -1);

  po::variables_map vm;
  try {
    po::store(po::command_line_parser(tokens).options(groups).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const po::error&) {
    // The library's message names one option; the groups show what the
    // command does accept.
    std::ostringstream text;
    text << "Error in options for command: " << command.name << "\n" << groups << "\n";
    throw std::runtime_error(text.str());
  }
  (this->*command.fill)(vm);
}

void CommandLineOptions::Parser::FillSendCrashesCommand(const po::variables_map& vm) {
  out_.sendCrashes_ = std::make_unique<SendCrashesOptions>();
  if (Has(vm, "no-full-dumps")) {
    out_.sendCrashes_->includeFullDumps = !vm["no-full-dumps"].as<bool>();
  }
  FillDesktop(vm);
  FillOverrides(vm);
}

void CommandLineOptions::Parser::FillSendLogsCommand(const po::variables_map& vm) {
  FillSendLogs(vm);
  FillOverrides(vm);
}

void CommandLineOptions::Parser::FillSimulateCommand(const po::variables_map& vm) {
  FillSimulateCrash(vm);
  FillDesktop(vm);
}

void CommandLineOptions::Parser::FillRetry(const po::variables_map& vm) {
  out_.retry_ = std::make_unique<RetryOptions>();
  if (Has(vm, "package")) {
    for (const std::string& name : vm["package"].as<std::vector<std::string>>()) {
      out_.retry_->packageNames.push_back(TString::fromUtf8(name.c_str()));
    }
  }
}

void CommandLineOptions::Parser::RunLegacyPass(int argc, const char* const* argv) {
  po::variables_map vm;
  try {
    po::store(po::parse_command_line(argc, argv, MakeLegacyOptions()), vm);
    po::notify(vm);
  } catch (const po::error&) {
    throw std::runtime_error("Error in Legacy options \n");
  }

  if (vm["simulate-crash"].as<bool>()) {
    out_.command_ = Command::SimulateCrash;
    out_.simulateCrash_ = std::make_unique<SimulateCrashOptions>();
    if (Has(vm, "min-crash-size")) {
      out_.simulateCrash_->minCrashSize = KilobytesOption(vm);
      if (out_.simulateCrash_->minCrashSize < 100) {
        throw po::error("'min-crash-size' must be larger than 100 Kilobytes\n");
      }
    }
    return;
  }

  out_.command_ = Command::SendCrashes;
  out_.sendCrashes_ = std::make_unique<SendCrashesOptions>();
  if (vm["desktop"].as<bool>()) {
    out_.source_ = Source::Desktop;
    FillDesktop(vm);
  } else {
    out_.source_ = Source::Server;
    if (Has(vm, "config-file")) out_.configFile_ = TPath(Text(vm, "config-file"));
  }
}

void CommandLineOptions::Parser::FillDesktop(const po::variables_map& vm) {
  out_.desktop_ = std::make_unique<DesktopOptions>();
  if (Has(vm, "repository-path"))
    out_.desktop_->repositoryPath = TPath(Text(vm, "repository-path"));
  if (Has(vm, "repository-language")) {
    out_.desktop_->repositoryLanguage = Text(vm, "repository-language");
  }
}

void CommandLineOptions::Parser::FillSendLogs(const po::variables_map& vm) {
  if (!Has(vm, "zipped-logs-file")) {
    throw std::runtime_error(
        "Command 'send-logs' is missing required argument, 'zipped-logs-file'");
  }
  auto sendLogs = std::make_unique<SendLogsOptions>();
  sendLogs->zippedLogsFile = TPath(NameText(vm, "zipped-logs-file"));
  // Each becomes part of the server's record and of support's screens: the
  // bytes typed, shown escaped when refused.
  if (Has(vm, "email")) {
    sendLogs->email = PrintableText(vm, "email").trim();
    if (const TString why = WhyNotEmailList(sendLogs->email); !why.isEmpty()) {
      throw std::runtime_error("Command option 'email' is not valid, '" +
                               vm["email"].as<std::string>() + "': " + why.toStdString());
    }
  }
  if (Has(vm, "support-case-number")) {
    sendLogs->supportCaseNumber = PrintableText(vm, "support-case-number").trim();
  }
  // Given but blank, or a list of no address, counts as missing: the server
  // needs someone to answer.
  int64_t position = 0;
  const bool anyAddress =
      !sendLogs->email.tokenize(";, ", &position, TString::SplitBehavior::SkipEmptyParts).isEmpty();
  if (!anyAddress) sendLogs->email = TString();
  if (sendLogs->email.isEmpty() && sendLogs->supportCaseNumber.isEmpty()) {
    throw std::runtime_error(
        "Command 'send-logs' is missing required argument. Please include "
        "'support-case-number' or 'email'");
  }
  out_.sendLogs_ = std::move(sendLogs);
}

void CommandLineOptions::Parser::FillSimulateCrash(const po::variables_map& vm) {
  auto simulate = std::make_unique<SimulateCrashOptions>();
  if (Has(vm, "min-crash-size")) simulate->minCrashSize = KilobytesOption(vm);
  if (Has(vm, "write-incompressible-data")) {
    simulate->writeIncompressibleData = vm["write-incompressible-data"].as<bool>();
  }
  if (Has(vm, "rotate-log-n-times")) {
    simulate->rotateLogNTimes = CountOption(vm, "rotate-log-n-times");
  }
  if (Has(vm, "type")) {
    const TString type = Text(vm, "type");
    const CrashTypeName* match = nullptr;
    for (const CrashTypeName& candidate : kCrashTypes) {
      if (type.EqualsNoCase(candidate.name)) {
        match = &candidate;
        break;
      }
    }
    if (match == nullptr) {
      throw std::runtime_error("Unsupported crash type: " + type.toStdString() + "\n");
    }
    simulate->crashType = match->type;
  }
  out_.simulateCrash_ = std::move(simulate);
}

void CommandLineOptions::Parser::FillList(const po::variables_map& vm) {
  out_.list_ = std::make_unique<ListOptions>();
  if (!Has(vm, "output")) return;
  const TString output = Text(vm, "output");
  if (output.EqualsNoCase("json")) {
    out_.list_->json = true;
  } else if (!output.EqualsNoCase("text")) {
    throw std::runtime_error("Unsupported output format '" + output.toStdString() +
                             "': expected 'text' or 'json'");
  }
}

void CommandLineOptions::Parser::FillOverrides(const po::variables_map& vm) {
  for (const MetadataField& field : kMetadataFields) {
    if (Has(vm, field.option)) {
      out_.metadataOverrides_.*field.field = PrintableText(vm, field.option);
    }
  }
  if (Has(vm, "client-product-beta")) {
    const TString beta = Text(vm, "client-product-beta").toLower();
    if (beta == "t" || beta == "true") {
      out_.metadataOverrides_.clientProductBeta = "true";
    } else if (beta == "f" || beta == "false") {
      out_.metadataOverrides_.clientProductBeta = "false";
    } else {
      throw std::runtime_error(
          "Could not parse client-product-beta type: expected 'true' or 'false'\n");
    }
  }

  if (Has(vm, "delete-completed-dumps")) {
    // Unlike the metadata flag, this setting takes no short forms.
    const TString value = Text(vm, "delete-completed-dumps").toLower();
    if (value != "true" && value != "false") {
      throw std::runtime_error(
          "Could not parse delete-completed-dumps type: expected 'true' or 'false'\n");
    }
    out_.configOverrides_.deleteCompletedDumps = value;
  }
  if (Has(vm, "crash-dump-directories")) {
    out_.configOverrides_.crashDumpDirectories = NameText(vm, "crash-dump-directories");
  }
}

CommandLineOptions::CommandLineOptions(int argc, const char* const* argv) {
  if (argc > 0 && argv[0] != nullptr) programName_ = argv[0];
  try {
    Parser(*this).Run(argc, argv);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(e.what()) + "\n" + HelpText() + "\n");
  }
}

const SendCrashesOptions& CommandLineOptions::GetSendCrashesOptions() const {
  if (!sendCrashes_) throw std::runtime_error("SendCrashes options were not specified by user.");
  return *sendCrashes_;
}

const SendLogsOptions& CommandLineOptions::GetSendLogsOptions() const {
  if (!sendLogs_) throw std::runtime_error("SendLogs options were not specified by user.");
  return *sendLogs_;
}

const DesktopOptions& CommandLineOptions::GetDesktopOptions() const {
  if (!desktop_) throw std::runtime_error("Desktop options were not specified by user.");
  return *desktop_;
}

const SimulateCrashOptions& CommandLineOptions::GetSimulateCrashOptions() const {
  if (!simulateCrash_) {
    throw std::runtime_error("SimulateCrash options were not specified by user.");
  }
  return *simulateCrash_;
}

const RetryOptions& CommandLineOptions::GetRetryOptions() const {
  if (!retry_) throw std::runtime_error("Retry options were not specified by user.");
  return *retry_;
}

const ListOptions& CommandLineOptions::GetListOptions() const {
  if (!list_) throw std::runtime_error("List options were not specified by user.");
  return *list_;
}

std::string CommandLineOptions::HelpText() const { return FormatHelpText(programName_); }

}  // namespace ZorErrorReporting
