// Test helpers: a scoped temporary directory and small file utilities that
// tests use to lay out real files.
#pragma once

#include <cstddef>
#include <string>

namespace zor::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away. Not copyable.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // The directory's absolute path, without a trailing '/'.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string Sub(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating missing parent directories; aborts the
// test on failure.
void WriteFile(const std::string& path, const std::string& content);
// The whole content of `path`; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// `size` bytes that deflate cannot shrink (so a file of n bytes zips to about
// n); other seeds give other bytes.
std::string Incompressible(size_t size, unsigned seed = 0);

}  // namespace zor::test
