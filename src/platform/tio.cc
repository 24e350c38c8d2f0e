#include "platform/tio.h"

namespace zor::platform {

namespace {
constexpr int64_t kReadAllChunk = 64 * 1024;
}  // namespace

std::string TSequentialIO::ReadAll() {
  std::string bytes;
  for (;;) {
    const size_t used = bytes.size();
    bytes.resize(used + kReadAllChunk);
    const int64_t got = Read(bytes.data() + used, kReadAllChunk);
    bytes.resize(used + static_cast<size_t>(got));
    if (got < kReadAllChunk) return bytes;
  }
}

int64_t TRandomIO::Peek(char* data, int64_t maxSize) {
  const int64_t start = Pos();
  const int64_t got = Read(data, maxSize);
  Seek(start);
  return got;
}

std::string TRandomIO::ReadAll() {
  const int64_t remaining = Size() - Pos();
  if (remaining <= 0) return {};
  std::string bytes(static_cast<size_t>(remaining), '\0');
  bytes.resize(static_cast<size_t>(Read(bytes.data(), remaining)));
  return bytes;
}

}  // namespace zor::platform
