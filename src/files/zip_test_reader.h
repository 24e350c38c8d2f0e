// Test helper: reads a zip archive with an independent reader (Python's
// zipfile module in a child process), so that tests check what other tools
// see rather than what our writer believes it wrote.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace zor::test {

constexpr unsigned long long kZipContentLimit = 8ULL << 20;

struct ZipEntryInfo {
  std::string name;
  unsigned long long size = 0;
  int compressType = -1;
  // "Version needed to extract" of the entry's local header: 45 when the
  // entry was written with Zip64 records.
  int localExtractVersion = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  // CRC-32 of the content as the reader unpacked it (zlib's, not ours).
  unsigned long crc = 0;
  // The content, for entries of up to kZipContentLimit bytes; empty otherwise.
  std::string content;
};

struct ZipListing {
  // False when the reader rejected the archive (bad structure or a CRC
  // mismatch); `error` then holds its message.
  bool ok = false;
  std::string error;
  std::vector<ZipEntryInfo> entries;
};

// Reads every entry to its end, which makes the reader verify each CRC.
inline ZipListing ReadZipIndependently(const std::string& zipPath) {
  static const char kScript[] = R"PY(
import sys, zipfile, zlib
try:
    raw = open(sys.argv[1], "rb")
    with zipfile.ZipFile(sys.argv[1]) as z:
        out = []
        for i in z.infolist():
            raw.seek(i.header_offset + 4)
            local_version = int.from_bytes(raw.read(2), "little")
            data = bytearray()
            crc = 0
            with z.open(i) as f:
                while True:
                    block = f.read(1 << 22)
                    if not block:
                        break
                    crc = zlib.crc32(block, crc)
                    if i.file_size <= %LIMIT%:
                        data += block
            out.append("%s\t%d\t%d\t%d\t%s\t%d\t%s" % (i.filename, i.file_size,
                       i.compress_type, local_version, " ".join(map(str, i.date_time)), crc,
                       data.hex()))
    print("ok")
    print("\n".join(out))
except Exception as e:
    print("error\t%s: %s" % (type(e).__name__, e))
)PY";
  ZipListing listing;
  std::string script(kScript);
  script.replace(script.find("%LIMIT%"), 7, std::to_string(kZipContentLimit));
  std::string command = "python3 -c '" + script + "' '" + zipPath + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    listing.error = "cannot start python3";
    return listing;
  }
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);

  std::istringstream lines(output);
  std::string line;
  std::getline(lines, line);
  if (line != "ok") {
    listing.error = output;
    return listing;
  }
  listing.ok = true;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    ZipEntryInfo e;
    std::istringstream fields(line);
    std::string hex;
    std::getline(fields, e.name, '\t');
    fields >> e.size >> e.compressType >> e.localExtractVersion >> e.year >> e.month >> e.day >>
        e.hour >> e.minute >> e.second >> e.crc;
    fields >> hex;
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    e.content.resize(hex.size() / 2);
    for (size_t i = 0; i < e.content.size(); ++i) {
      e.content[i] = static_cast<char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
    listing.entries.push_back(e);
  }
  return listing;
}

}  // namespace zor::test
