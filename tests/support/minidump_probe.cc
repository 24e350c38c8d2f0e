#include "support/minidump_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "support/subprocess.h"

namespace zor::test {

namespace fs = std::filesystem;

namespace {

template <typename T>
bool ReadAt(const std::string& data, uint64_t offset, T* out) {
  if (offset + sizeof(T) > data.size()) return false;
  memcpy(out, data.data() + offset, sizeof(T));
  return true;
}

// A minidump string (byte length, UTF-16LE) of ASCII text.
std::string ReadAsciiString(const std::string& data, uint32_t rva) {
  uint32_t bytes = 0;
  std::string text;
  if (!ReadAt(data, rva, &bytes)) return text;
  for (uint32_t i = 0; i + 1 < bytes && rva + 4 + i < data.size(); i += 2) text += data[rva + 4 + i];
  return text;
}

void ReadModules(const std::string& data, uint32_t rva, MinidumpSummary* summary) {
  uint32_t count = 0;
  ReadAt(data, rva, &count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = rva + 4 + 108ull * i;
    uint32_t nameRva = 0, cvSize = 0, cvRva = 0, signature = 0;
    if (!ReadAt(data, entry + 20, &nameRva) || !ReadAt(data, entry + 76, &cvSize) ||
        !ReadAt(data, entry + 80, &cvRva)) {
      return;
    }
    std::string hex;
    if (cvSize > 4 && ReadAt(data, cvRva, &signature) && signature == 0x4270454c &&
        cvRva + cvSize <= data.size()) {
      static const char kDigits[] = "0123456789abcdef";
      for (uint32_t b = 4; b < cvSize; ++b) {
        const auto byte = static_cast<unsigned char>(data[cvRva + b]);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
      }
    }
    summary->buildIds[ReadAsciiString(data, nameRva)] = hex;
  }
}

}  // namespace

MinidumpSummary ReadMinidump(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  MinidumpSummary summary;
  uint32_t signature = 0, count = 0, directory = 0;
  if (!ReadAt(data, 0, &signature) || signature != 0x504d444d || !ReadAt(data, 8, &count) ||
      !ReadAt(data, 12, &directory)) {
    return summary;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t type = 0, size = 0, rva = 0;
    const uint64_t entry = directory + 12ull * i;
    if (!ReadAt(data, entry, &type) || !ReadAt(data, entry + 4, &size) ||
        !ReadAt(data, entry + 8, &rva)) {
      return summary;
    }
    summary.streamTypes.insert(type);
    if (type == 3 && ReadAt(data, rva, &summary.threadCount)) {
      for (uint32_t t = 0; t < summary.threadCount; ++t) {
        uint32_t id = 0;
        if (ReadAt(data, rva + 4 + 48ull * t, &id)) summary.threadIds.push_back(id);
      }
    }
    if (type == 4) ReadModules(data, rva, &summary);
    if (type == 6) {
      if (ReadAt(data, rva, &summary.exceptionThread))
        ReadAt(data, rva + 8, &summary.exceptionCode);
    }
    if (type == 9) {
      uint64_t ranges = 0;
      ReadAt(data, rva, &ranges);
      for (uint64_t r = 0; r < ranges; ++r) {
        uint64_t bytes = 0;
        ReadAt(data, rva + 16 + 16 * r + 8, &bytes);
        summary.fullMemoryBytes += bytes;
      }
    }
  }
  return summary;
}

std::vector<std::string> RunLldbOnCores(const std::vector<std::string>& corePaths,
                                        const std::vector<std::string>& commands) {
  std::vector<std::string> outputs(corePaths.size());
  // Found on $PATH, as the crash server finds it.
  std::vector<std::string> args = {"lldb", "--batch", "--no-lldbinit"};
  for (const std::string& core : corePaths) {
    args.insert(args.end(), {"-o", "target create --core \"" + core + "\""});
    for (const std::string& command : commands) args.insert(args.end(), {"-o", command});
  }
  const ProcessResult lldb = RunProcess("/usr/bin/env", args);
  if (lldb.status == 127) {
    ADD_FAILURE() << "lldb is not installed (scripts/setup.sh installs it)";
    return outputs;
  }
  const std::string& out = lldb.out;
  // lldb echoes each command; a core's part begins with its target create.
  const std::string marker = "(lldb) target create --core";
  size_t at = out.find(marker);
  for (size_t i = 0; i < corePaths.size() && at != std::string::npos; ++i) {
    const size_t next = out.find(marker, at + marker.size());
    outputs[i] = out.substr(at, next == std::string::npos ? std::string::npos : next - at);
    at = next;
  }
  return outputs;
}

std::vector<std::string> FindCrashDirectories(const std::string& dumpDir) {
  static const std::regex kName("zorcrashreporter_[0-9a-f]{32}\\.crash");
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dumpDir, ec)) {
    if (std::regex_match(entry.path().filename().string(), kName)) {
      found.push_back(entry.path().string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<std::string> ListFileNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(directory, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace zor::test
