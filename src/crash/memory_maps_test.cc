// The maps reader on real files of the kernel's format. The crash tests read
// this process's own maps through it (its stacks and modules in a dump).
#include "crash/memory_maps.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

// Every mapping of `text`, read from a real file through a buffer of
// `capacity` bytes, as "start-end perms offset 'path'" in hexadecimal.
std::vector<std::string> ReadAll(const std::string& text, size_t capacity) {
  zor::test::ScopedTempDir dir;
  zor::test::WriteFile(dir.Sub("maps"), text);
  std::vector<char> buffer(capacity);
  MemoryMaps maps(buffer.data(), buffer.size());
  std::vector<std::string> out;
  if (!maps.Read(dir.Sub("maps").c_str())) return out;
  size_t pos = 0;
  Mapping m;
  while (maps.Next(&pos, &m)) {
    char head[80];
    snprintf(head, sizeof head, "%" PRIx64 "-%" PRIx64 " %.4s %" PRIx64 " '", m.start, m.end,
             m.perms, m.offset);
    out.push_back(head + std::string(m.path, m.pathLength) + "'");
  }
  return out;
}

using Lines = std::vector<std::string>;

TEST(MemoryMapsTest, ParsesEachKindOfLine) {
  const std::string longPath = "/" + std::string(4000, 'p') + "/lib.so";
  const std::pair<std::string, Lines> cases[] = {
      // A file, anonymous memory (with and without a blank after the inode).
      {"7f00a000-7f00b000 r-xp 00001000 08:01 1234      /usr/lib/libc.so.6\n"
       "55d0c000-55d2d000 rw-p 00000000 00:00 0 \n"
       "1000-2000 ---p 00000000 00:00 0\n",
       {"7f00a000-7f00b000 r-xp 1000 '/usr/lib/libc.so.6'", "55d0c000-55d2d000 rw-p 0 ''",
        "1000-2000 ---p 0 ''"}},
      {"3000-4000 rw-s 00000000 00:05 77 /dev/shm/x (deleted)\n",
       {"3000-4000 rw-s 0 '/dev/shm/x (deleted)'"}},
      {"7ffd1000-7ffd3000 r-xp 00000000 00:00 0   [vdso]\n"
       "7ffc0000-7ffe1000 rw-p 00000000 00:00 0   [stack]\n",
       {"7ffd1000-7ffd3000 r-xp 0 '[vdso]'", "7ffc0000-7ffe1000 rw-p 0 '[stack]'"}},
      {"5000-6000 r--p 00002000 08:01 9 " + longPath + "\n",
       {"5000-6000 r--p 2000 '" + longPath + "'"}},
      {"6000-7000 r--p 00000000 08:01 9 /opt/my app/a b.so\n",
       {"6000-7000 r--p 0 '/opt/my app/a b.so'"}},
      // No last newline.
      {"8000-9000 r--p 00000000 00:00 0 [heap]", {"8000-9000 r--p 0 '[heap]'"}},
      // Lines that are no mapping are skipped.
      {"garbage\n\n1000-2000\n1000-2000 r\nA000-b000 r--p 0 0 0 x\n2000-3000 r--p 0 00:00 0\n",
       {"2000-3000 r--p 0 ''"}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text.substr(0, 60));
    EXPECT_EQ(ReadAll(text, 1 << 16), expected);
  }
}

TEST(MemoryMapsTest, ATextThatFillsTheBufferEndsAtItsLastWholeLine) {
  const std::string first = "1000-2000 r--p 00000000 08:01 1 /lib/a.so\n";
  const std::string second = "2000-3000 r--p 00000000 08:01 2 /lib/b.so\n";
  const Lines both = {"1000-2000 r--p 0 '/lib/a.so'", "2000-3000 r--p 0 '/lib/b.so'"};
  EXPECT_EQ(ReadAll(first + second, first.size() + second.size()), both);
  // Cut inside the second line, even right before its newline: only the
  // first is read, never a mapping with a cut path.
  for (const size_t cut : {size_t{1}, size_t{5}, second.size() - 1}) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(ReadAll(first + second, first.size() + cut), Lines{both[0]});
  }
  // One line longer than the whole buffer leaves nothing, as does no file.
  EXPECT_TRUE(ReadAll(first, first.size() - 1).empty());
  char buffer[8];
  EXPECT_FALSE(MemoryMaps(buffer, sizeof buffer).Read("/nonexistent/maps"));
}

}  // namespace
}  // namespace zor::platform
