// The maps reader on real files of the kernel's format. The crash tests read
// this process's own maps through it (its stacks and modules in a dump).
#include "crash/memory_maps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

struct Parsed {
  uint64_t start, end, offset;
  std::string perms, path;
  bool operator==(const Parsed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Parsed& p) {
  return out << std::hex << p.start << "-" << p.end << " " << p.perms << " " << p.offset << " '"
             << p.path << "'";
}

// Every mapping of `text`, read from a real file through a buffer of
// `capacity` bytes.
std::vector<Parsed> ReadAll(const std::string& text, size_t capacity) {
  zor::test::ScopedTempDir dir;
  zor::test::WriteFile(dir.Sub("maps"), text);
  std::vector<char> buffer(capacity);
  MemoryMaps maps(buffer.data(), buffer.size());
  std::vector<Parsed> out;
  if (!maps.Read(dir.Sub("maps").c_str())) return out;
  size_t pos = 0;
  Mapping m;
  while (maps.Next(&pos, &m)) {
    out.push_back({m.start, m.end, m.offset, std::string(m.perms, 4),
                   std::string(m.path, m.pathLength)});
  }
  return out;
}

TEST(MemoryMapsTest, ParsesEachKindOfLine) {
  const std::string longPath = "/" + std::string(4000, 'p') + "/lib.so";
  struct Case {
    const char* what;
    std::string line;
    std::vector<Parsed> expected;
  };
  const Case cases[] = {
      {"a file", "7f00a000-7f00b000 r-xp 00001000 08:01 1234      /usr/lib/libc.so.6\n",
       {{0x7f00a000, 0x7f00b000, 0x1000, "r-xp", "/usr/lib/libc.so.6"}}},
      {"anonymous memory", "55d0c000-55d2d000 rw-p 00000000 00:00 0 \n",
       {{0x55d0c000, 0x55d2d000, 0, "rw-p", ""}}},
      {"no blank after the inode", "1000-2000 ---p 00000000 00:00 0\n",
       {{0x1000, 0x2000, 0, "---p", ""}}},
      {"a deleted file", "3000-4000 rw-s 00000000 00:05 77 /dev/shm/x (deleted)\n",
       {{0x3000, 0x4000, 0, "rw-s", "/dev/shm/x (deleted)"}}},
      {"the vdso and the stack",
       "7ffd1000-7ffd3000 r-xp 00000000 00:00 0   [vdso]\n"
       "7ffc0000-7ffe1000 rw-p 00000000 00:00 0   [stack]\n",
       {{0x7ffd1000, 0x7ffd3000, 0, "r-xp", "[vdso]"},
        {0x7ffc0000, 0x7ffe1000, 0, "rw-p", "[stack]"}}},
      {"a very long path", "5000-6000 r--p 00002000 08:01 9 " + longPath + "\n",
       {{0x5000, 0x6000, 0x2000, "r--p", longPath}}},
      {"a path with blanks", "6000-7000 r--p 00000000 08:01 9 /opt/my app/a b.so\n",
       {{0x6000, 0x7000, 0, "r--p", "/opt/my app/a b.so"}}},
      {"no last newline", "8000-9000 r--p 00000000 00:00 0 [heap]",
       {{0x8000, 0x9000, 0, "r--p", "[heap]"}}},
      {"lines that are no mapping are skipped",
       "garbage\n\n1000-2000\n1000-2000 r\nA000-b000 r--p 0 0 0 x\n2000-3000 r--p 0 00:00 0\n",
       {{0x2000, 0x3000, 0, "r--p", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ReadAll(c.line, 1 << 16), c.expected);
  }
}

TEST(MemoryMapsTest, ATextThatFillsTheBufferEndsAtItsLastWholeLine) {
  const std::string first = "1000-2000 r--p 00000000 08:01 1 /lib/a.so\n";
  const std::string second = "2000-3000 r--p 00000000 08:01 2 /lib/b.so\n";
  const std::vector<Parsed> both = {{0x1000, 0x2000, 0, "r--p", "/lib/a.so"},
                                    {0x2000, 0x3000, 0, "r--p", "/lib/b.so"}};
  EXPECT_EQ(ReadAll(first + second, first.size() + second.size()), both);
  // Cut inside the second line, even right before its newline: only the
  // first is read, never a mapping with a cut path.
  for (const size_t cut : {size_t{1}, size_t{5}, second.size() - 1}) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(ReadAll(first + second, first.size() + cut), std::vector<Parsed>(1, both[0]));
  }
  // One line longer than the whole buffer leaves nothing, as does no file.
  EXPECT_TRUE(ReadAll(first, first.size() - 1).empty());
  char buffer[8];
  EXPECT_FALSE(MemoryMaps(buffer, sizeof buffer).Read("/nonexistent/maps"));
}

}  // namespace
}  // namespace zor::platform
