#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace zor::fuzz {
namespace {

std::string& ScratchDirStorage() {
  static std::string dir;
  return dir;
}

void RemoveScratchDir() {
  std::error_code ignored;
  if (!ScratchDirStorage().empty()) std::filesystem::remove_all(ScratchDirStorage(), ignored);
}

}  // namespace

void Init(int* argc, char*** argv) {
  // Text conversions and paths go through Qt, which wants its application
  // object; it lives until the process ends.
  static auto* app = new QCoreApplication(*argc, *argv);
  (void)app;
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zor-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) Fail("cannot create the scratch directory", pattern);
  ScratchDirStorage() = pattern;
  atexit(RemoveScratchDir);
}

const std::string& ScratchDir() { return ScratchDirStorage(); }

std::string WriteScratchFile(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = ScratchDir() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.flush()) Fail("cannot write the input file", path);
  return path;
}

void Fail(const std::string& what, const std::string& message) {
  fprintf(stderr, "FUZZ RULE BROKEN: %s: %s\n", what.c_str(), message.c_str());
  fflush(stderr);
  abort();
}

}  // namespace zor::fuzz
