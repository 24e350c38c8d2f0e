// discovery_bench: times CrashPackageProcessor::FindPackagesToUpload over
// generated dump trees of several sizes, so that the growth with the number of
// files is seen.
//
// Usage: discovery_bench WORK_DIR FILES...
// For each FILES count it builds, under WORK_DIR, a dump tree of that many
// files in 1,000 directories: 1,000 new crashes (a dump and a log each),
// 1,000 crashes of known packages (dump, log, manifest, with a "Complete"
// status file each in the data directory) and unrelated files for the rest,
// half with a crash-artifact extension (".txt"), half without (".bin").
// It then times a first run (which packages the new crashes: manifests and
// status files are written and synced) and a second run over the same tree
// (everything known, as after the uploads). Prints "key: value" lines; times are wall seconds, with
// the process's CPU seconds beside them because the wall time suffers on a
// busy machine. The trees are removed afterwards.
#include <sys/resource.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "config/overrides.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "upload/crash_package_processor.h"

namespace {

namespace fs = std::filesystem;
using zor::platform::TPath;
using ZorErrorReporting::Config;
using ZorErrorReporting::ConfigOverrides;
using ZorErrorReporting::ConfigOverrideValues;
using ZorErrorReporting::CrashPackageProcessor;

constexpr int kDirectories = 1000;
constexpr int kNewCrashes = 1000;
constexpr int kKnownPackages = 1000;

void Write(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Dir(const fs::path& dumps, int index) {
  char name[16];
  std::snprintf(name, sizeof name, "d%04d", index % kDirectories);
  return (dumps / name).string();
}

void BuildTree(const fs::path& dumps, const fs::path& data, long files) {
  for (int d = 0; d < kDirectories; ++d) fs::create_directories(Dir(dumps, d));
  fs::create_directories(data);
  long written = 0;
  for (int i = 0; i < kNewCrashes; ++i) {
    const std::string base = Dir(dumps, i) + "/app." + std::to_string(10000 + i);
    Write(base + ".dmp", "MDMP new crash");
    Write(base + ".log", "log of the crash\n");
    written += 2;
  }
  for (int i = 0; i < kKnownPackages; ++i) {
    const std::string name = "known." + std::to_string(20000 + i);
    const std::string base = Dir(dumps, i + 7) + "/" + name;
    Write(base + ".dmp", "MDMP known crash");
    Write(base + ".log", "log of the crash\n");
    Write(base + ".manifest", "{}");
    written += 3;
    Write(data / (name + ".crash-package.complete"),
          "{\"package-name\":\"" + name +
              "\",\"package-type\":\"crash-package\",\"package-data-files\":{\"manifest-file\":\"" +
              base + ".manifest\"},\"upload-status\":\"Complete\",\"upload-results\":[]}");
  }
  for (long k = 0; written < files; ++k, ++written) {
    Write(Dir(dumps, static_cast<int>(k)) + "/trace." + std::to_string(k) +
              (k % 2 == 0 ? ".txt" : ".bin"),
          "unrelated");
  }
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Timing {
  double wall;
  double cpu;
  std::vector<std::shared_ptr<ZorErrorReporting::Package>> packages;
};

Timing TimeRun(const fs::path& dumps, const fs::path& data) {
  const double cpuStart = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  CrashPackageProcessor processor({TPath(dumps.string())}, TPath(data.string()));
  processor.SetIncludeFullDumps(true);
  auto packages = processor.FindPackagesToUpload();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return {elapsed.count(), CpuSeconds() - cpuStart, std::move(packages)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s WORK_DIR FILES...\n", argv[0]);
    return 2;
  }
  QCoreApplication app(argc, argv);
  const fs::path work = argv[1];
  try {
    fs::create_directories(work);
    // The program logs every Debug line to its file; so does the bench.
    ZorErrorReporting::SetupLogging(TPath((work / "discovery-bench.log").string()), 0);
    ::setenv("XDG_CONFIG_HOME", (work / "settings").c_str(), 1);
    double previous = 0;
    double previousSecond = 0;
    long previousFiles = 0;
    for (int a = 2; a < argc; ++a) {
      const long files = std::stol(argv[a]);
      const fs::path root = work / ("tree-" + std::to_string(files));
      const fs::path dumps = root / "dumps";
      const fs::path data = root / "data";
      fs::remove_all(root);
      BuildTree(dumps, data, files);
      Write(root / "config.yml", "servercrashupload.data.dir: " + data.string() +
                                     "\nservercrashupload.delete_completed_dumps: false\n");
      Config config;
      config.Load(TPath((root / "config.yml").string()));
      Config::SetTestInstance(&config);
      ConfigOverrideValues overrides;
      overrides.crashDumpDirectories = zor::platform::TString(dumps.string());
      ConfigOverrides::GetInstance().Set(overrides);

      const Timing first = TimeRun(dumps, data);
      // As after an upload: the second run finds everything known.
      for (const auto& package : first.packages) {
        package->SetUploadStatus(ZorErrorReporting::UploadStatus::kComplete);
      }
      const Timing second = TimeRun(dumps, data);
      Config::SetTestInstance(nullptr);
      fs::remove_all(root);

      std::printf("files: %ld\n", files);
      std::printf("  first-run-seconds: %.3f (cpu %.3f, %zu packages)\n", first.wall, first.cpu,
                  first.packages.size());
      std::printf("  second-run-seconds: %.3f (cpu %.3f, %zu packages)\n", second.wall, second.cpu,
                  second.packages.size());
      if (previousFiles != 0) {
        std::printf("  growth for %.1fx the files: first run %.2fx, second run %.2fx the time\n",
                    static_cast<double>(files) / previousFiles, first.wall / previous,
                    second.wall / previousSecond);
      }
      std::fflush(stdout);
      previous = first.wall;
      previousSecond = second.wall;
      previousFiles = files;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "discovery_bench: %s\n", e.what());
    return 1;
  }
  ZorErrorReporting::CloseLogging();
  return 0;
}
