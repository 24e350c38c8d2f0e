// The rotated-log head/tail scanner. The input, split at "--8<--\n", becomes
// up to four files logs/0.log .. logs/3.log in the scratch directory, which
// is the working directory, so events may name each other by relative path.
// The chain is read from logs/0.log; the three event patterns also see the
// whole input as one text.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "packages/rotated_logs_set.h"

using ZorErrorReporting::RotatedLogsSet;
using zor::platform::TPath;
using zor::platform::TString;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zor::fuzz::Init(argc, argv);
  std::filesystem::create_directory(zor::fuzz::ScratchDir() + "/logs");
  if (chdir(zor::fuzz::ScratchDir().c_str()) != 0) {
    zor::fuzz::Fail("cannot enter the scratch directory", zor::fuzz::ScratchDir());
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr std::string_view kSeparator = "--8<--\n";
  constexpr int kFiles = 4;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t begin = 0;
  for (int i = 0; i < kFiles; ++i) {
    size_t end = input.find(kSeparator, begin);
    if (i == kFiles - 1 || end == std::string_view::npos) end = input.size();
    const std::string_view part = begin <= input.size() ? input.substr(begin, end - begin) : "";
    zor::fuzz::WriteScratchFile("logs/" + std::to_string(i) + ".log",
                                reinterpret_cast<const uint8_t*>(part.data()), part.size());
    begin = end + kSeparator.size();
  }

  const RotatedLogsSet::LogEvents events(TString::fromUtf8(input.data(), input.size()));
  (void)events;

  const std::string head = zor::fuzz::ScratchDir() + "/logs/0.log";
  zor::fuzz::ExpectOnlyOurErrors(
      [&] {
        RotatedLogsSet set{TPath(head)};
        // The chain that reaches the limit throws, holding the files met.
        try {
          set.ReadLogSet();
        } catch (...) {
          if (set.GetPaths().size() > RotatedLogsSet::kMaxLogSetFiles) {
            zor::fuzz::Fail("chain longer than its limit", "");
          }
          throw;
        }
        if (set.GetPaths().size() >= RotatedLogsSet::kMaxLogSetFiles) {
          zor::fuzz::Fail("chain longer than its limit", "");
        }
      },
      // A file the chain names may be missing; the file-system error names
      // that path, which came from the input.
      {zor::fuzz::ScratchDir(), "TFilesystem: ", "TFile: "});
  return 0;
}
