// Runs a program as a child process for tests: arguments, working directory
// and extra environment in; exit status and both output streams out.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zor::test {

struct ProcessResult {
  // The exit status as the program returned it, sign restored (a return of
  // -2 from main reads -2); 128 + n when the child died of signal n.
  int status = 0;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string workingDirectory;                    // empty: the test's own
  std::map<std::string, std::string> environment;  // added to (or replacing) the test's own
  std::vector<std::string> unsetEnvironment;
  // When the test runs as root: the user the child runs as (root ignores
  // file permissions, which some tests rely on). -1 keeps the test's user.
  int runAsUid = -1;
  // Called in the test's process with the child's pid right after it is
  // started (from the thread that runs RunProcess), e.g. to kill it later.
  std::function<void(int pid)> started;
  // When not 0, the child's address space limit (RLIMIT_AS) in bytes, so
  // that it runs out of memory long before the machine does.
  unsigned long long addressSpaceLimit = 0;
  // The child leaves no core file when it dies of a signal (crash tests).
  bool noCoreDump = false;
};

// Runs `program` with `args` (argv[0] is `program`) and waits for it.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// Runs `body` in a forked child whose standard output and error are
// captured; the child exits with body's return value. For code that changes
// process-wide state (logging set-up, exit actions) so that tests stay
// independent. `body` must not return into gtest: it ends with _exit.
ProcessResult RunInChild(const std::function<int()>& body);

// The path of the built program.
std::string ProgramPath();

}  // namespace zor::test
