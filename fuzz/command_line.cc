// The command line: the input, split at NUL bytes, is the argument vector
// after the program name. A refused command line is a std::runtime_error
// with the cause and the help text; an accepted one has a command and the
// parts that command needs.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "main/command_line_options.h"

using ZorErrorReporting::Command;
using ZorErrorReporting::CommandLineOptions;

namespace {

// The help text for the program name every input uses.
const std::string& HelpText() {
  static const std::string text = [] {
    const char* argv[] = {"zorcrashreporter", "--help", nullptr};
    return CommandLineOptions(2, argv).HelpText();
  }();
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zor::fuzz::Init(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kMaxArguments = 64;
  std::vector<std::string> arguments = {"zorcrashreporter"};
  std::string current;
  for (size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && arguments.size() < kMaxArguments) arguments.push_back(current);
  std::vector<const char*> argv;
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  std::unique_ptr<CommandLineOptions> options;
  try {
    options = std::make_unique<CommandLineOptions>(static_cast<int>(arguments.size()), argv.data());
  } catch (const std::runtime_error& e) {
    const std::string text = e.what();
    if (text.size() <= HelpText().size() + 2 || !text.ends_with("\n" + HelpText() + "\n")) {
      zor::fuzz::Fail("refusal without its cause and the help text", text);
    }
    return 0;
  } catch (const std::exception& e) {
    zor::fuzz::Fail("foreign exception", e.what());
  } catch (...) {
    zor::fuzz::Fail("exception of no std type", "");
  }

  // An accepted command line has a command and the part it needs.
  zor::fuzz::ExpectOnlyOurErrors(
      [&] {
        switch (options->GetCommand()) {
          case Command::None:
            zor::fuzz::Fail("accepted without a command", "");
          case Command::SendCrashes:
            options->GetSendCrashesOptions();
            break;
          case Command::SendLogs: {
            const auto& logs = options->GetSendLogsOptions();
            if (logs.email.isEmpty() && logs.supportCaseNumber.isEmpty()) {
              zor::fuzz::Fail("send-logs accepted without e-mail or case number", "");
            }
            break;
          }
          case Command::SimulateCrash:
            options->GetSimulateCrashOptions();
            break;
          case Command::List:
            options->GetListOptions();
            break;
          case Command::Retry:
            options->GetRetryOptions();
            break;
          case Command::Help:
          case Command::Version:
          case Command::WriteDump:
            break;
        }
      },
      {});
  return 0;
}
