// zip_bench: zips one file with ZipFile and reports the time taken, the sizes
// and the peak resident memory of the process.
//
// Usage: zip_bench INPUT OUTPUT.zip [DEFLATE_THREADS]   (default 1)
// Prints "key: value" lines; bench/run_zip_bench.sh times it from outside, as
// it does the tools it compares with. The CPU time (user + system) is printed
// beside the wall time because the wall time suffers on a busy machine.
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "files/zip_file.h"

static double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT.zip [DEFLATE_THREADS]\n", argv[0]);
    return 2;
  }
  const char* input = argv[1];
  const char* output = argv[2];
  const auto start = std::chrono::steady_clock::now();
  try {
    ZorErrorReporting::ZipFile zip(argc == 4 ? static_cast<unsigned>(std::atoi(argv[3])) : 1);
    if (!zip.Open(zor::platform::TString(output))) {
      std::fprintf(stderr, "zip_bench: cannot create %s\n", output);
      return 1;
    }
    zip.Add(zor::platform::TString(input));
    zip.Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zip_bench: %s\n", e.what());
    return 1;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto inSize = std::filesystem::file_size(input);
  const auto outSize = std::filesystem::file_size(output);
  std::printf("seconds: %.3f\n", elapsed.count());
  std::printf("input-bytes: %ju\n", static_cast<uintmax_t>(inSize));
  std::printf("output-bytes: %ju\n", static_cast<uintmax_t>(outSize));
  std::printf("mib-per-second: %.1f\n", inSize / 1048576.0 / elapsed.count());
  std::printf("cpu-seconds: %.3f\n", Seconds(usage.ru_utime) + Seconds(usage.ru_stime));
  std::printf("peak-rss-kib: %ld\n", usage.ru_maxrss);
  return 0;
}
