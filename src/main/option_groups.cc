#include "main/option_groups.h"

#include <boost/program_options/value_semantic.hpp>
#include <sstream>

namespace po = boost::program_options;

namespace ZorErrorReporting {

namespace {

po::typed_value<std::string>* Text() { return po::value<std::string>(); }
po::typed_value<int>* Int() { return po::value<int>(); }

}  // namespace

po::options_description MakeAllowedOptions() {
  po::options_description group("Allowed Options");
  group.add_options()            //
      ("help,H", "Help Screen")  //
      ("command", Text(),
       "Command to execute: [send-crashes, send-logs, retry, list, simulate-crash, write-dump]\n")  //
      ("source", Text(), "Source of crashes/logs: [server, desktop]")            //
      ("config-file", Text(), "Path to config file.")                            //
      ("rotate-log-interval,R", Int(),
       "Enables log file rotation at interval specified in seconds")  //
      ("version", "output the version number");
  return group;
}

po::options_description MakeHiddenOptions() {
  po::options_description group("Hidden Options");
  group.add_options()                                     //
      ("enable-features", Text(), "Features to enable.")  //
      ("crashdumps-dir", Text(),
       "Final crash dumps directory this executable should write its dump to if it crashes.")  //
      ("crashdumps-temp-dir", Text(),
       "Temporary crash dumps directory this executable should write its dump to if it "
       "crashes.");
  return group;
}

po::options_description MakeSendCrashOptions() {
  po::options_description group("Send Crash options");
  group.add_options()  //
      ("repository-path", Text(),
       "[Desktop Only] Used to overwrite the default repository path.")  //
      ("repository-language", Text(),
       "[Desktop Only] Used to overwrite the default repository language.")  //
      ("no-full-dumps", po::bool_switch(),
       "Used to ignore full dumps when uploading crash packages.");
  return group;
}

po::options_description MakeSendLogsOptions() {
  po::options_description group("Send zipped Logs options");
  group.add_options()                                                          //
      ("zipped-logs-file", Text(), "Path to the zipped log files to upload.")  //
      ("email", Text(), "Email address of user.")                              //
      ("support-case-number", Text(), "Support case number.");
  return group;
}

po::options_description MakeListOptions() {
  po::options_description group("List options");
  group.add_options()  //
      ("output", Text(), "Output format: [text, json]");
  return group;
}

po::options_description MakeRetryOptions() {
  po::options_description group("Retry options");
  group.add_options()  //
      ("package", po::value<std::vector<std::string>>()->multitoken(),
       "Failed packages to try again (all when none is named), by name, as `list` shows them");
  return group;
}

po::options_description MakeSimulateCrashOptions() {
  po::options_description group("Simulate crash options");
  group.add_options()  //
      ("type", Text(),
       "Crash type [AccessViolation, LogicAssertFailure, OutOfMemory, StackOverFlow, "
       "MultipleCrashes]")  //
      ("min-crash-size,M", Int(),
       "Use to specify the minimum size in bytes of the full crash dump.")  //
      ("write-incompressible-data", po::bool_switch(),
       "Use to write incompressible data in the heap.")  //
      // -R is taken by rotate-log-interval in the first pass, so this option
      // is reachable by its long name only; the letter stays for the help.
      ("rotate-log-n-times,R", Int(), "Use to specify number of times the log should be rotated.");
  return group;
}

po::options_description MakeMetadataOptions() {
  po::options_description group("Metadata options");
  group.add_options()                       //
      ("client-issue-id", Text(), "")       //
      ("client-product-build", Text(), "")  //
      ("client-product-type", Text(), "")   //
      ("client-channel", Text(), "")        //
      ("system-os", Text(), "")             //
      ("system-os-version", Text(), "")     //
      ("system-os-arch", Text(), "")        //
      ("client-product-beta", Text(), "(true/false)");
  return group;
}

po::options_description MakeConfigOverrideOptions() {
  po::options_description group("Configuration overrides");
  group.add_options()                         //
      ("delete-completed-dumps", Text(), "")  //
      ("crash-dump-directories", Text(), "");
  return group;
}

po::options_description MakeLegacyOptions() {
  po::options_description group("Legacy Options");
  group.add_options()                                                    //
      ("config-file,D", Text(), "Path to the YAML config file.")         //
      ("log-config-file,L", Text(), "Path to the logging config file.")  //
      ("simulate-crash,S", po::bool_switch(),
       "Use to simulate a crash, that will result in a new crash dump being written.")  //
      ("min-crash-size,M", Int(),
       "Use to specify the minimum size in bytes of the full crash dump.")  //
      ("crash-write-location,C", Text(),
       "Path to where ZorCrashReporter should write its crashes to.")                       //
      ("desktop", po::bool_switch(), "Used to indicate process is being run for desktop.")  //
      ("repository-path", Text(),
       "Desktop only - Used to overwrite the default repository path.")  //
      ("repository-language", Text(),
       "Desktop only - Used to overwrite the default repository language.");
  return group;
}

std::string FormatHelpText(const std::string& programName) {
  std::ostringstream out;
  out << MakeAllowedOptions() << "\n"
      << MakeSendCrashOptions() << "\n"
      << MakeSendLogsOptions() << "\n"
      << MakeSimulateCrashOptions() << "\n"
      << MakeListOptions() << "\n"
      << MakeRetryOptions() << "\n"
      << MakeMetadataOptions() << "\n"
      << MakeConfigOverrideOptions() << "\n";
  out << "=============\n"
      << "Examples:\n"
      << "=============\n";
  out << "Find and send crashes example:\n"
      << "\t" << programName << " --command send-crashes --config-file zorcrashreporter.yml \n\n";
  out << "Send Logs example:\n"
      << "\t" << programName
      << " --command send-logs --zipped-logs-file logs.zip --email user@example.com"
         " --support-case-number 123456789\n\n";
  out << "List packages example:\n"
      << "\t" << programName
      << " --command list --config-file zorcrashreporter.yml --output json\n\n";
  out << "Simulate Crash example:\n"
      << "\t" << programName << " --command simulate-crash\n\n";
  return out.str();
}

}  // namespace ZorErrorReporting
