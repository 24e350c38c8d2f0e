// Reading back what the crash handler wrote: the few facts of a minidump that
// tests check, and a debugger's view of it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zor::test {

struct MinidumpSummary {
  std::set<uint32_t> streamTypes;
  uint32_t exceptionCode = 0;  // the signal number
  uint32_t exceptionThread = 0;
  uint32_t threadCount = 0;
  std::vector<uint32_t> threadIds;  // in the thread list's order
  // Module path (ASCII names only) to its ELF build id in lower-case hex,
  // empty when the module has no "LEpB" record.
  std::map<std::string, std::string> buildIds;
  uint64_t fullMemoryBytes = 0;  // bytes described by the 64-bit memory list
};

// Reads the file at `path`; what cannot be read stays at its default.
MinidumpSummary ReadMinidump(const std::string& path);

// Runs lldb once in batch mode, opening each of `corePaths` in turn and
// running `commands` on it; returns what it printed for each core, in order
// (one lldb start-up, which is most of its time, for all of them). Fails the
// test when lldb is not installed.
std::vector<std::string> RunLldbOnCores(const std::vector<std::string>& corePaths,
                                        const std::vector<std::string>& commands);

// The crash directories ("zorcrashreporter_<32 hex digits>.crash") directly
// in `dumpDir`, sorted.
std::vector<std::string> FindCrashDirectories(const std::string& dumpDir);

// The names of the files in `directory`, sorted.
std::vector<std::string> ListFileNames(const std::string& directory);

}  // namespace zor::test
