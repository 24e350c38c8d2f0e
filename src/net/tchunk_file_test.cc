#include "net/tchunk_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <string>

#include "platform/tpath.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

class TChunkFileTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(path_, "0123456789"); }

  ScopedTempDir dir_;
  std::string path_ = dir_.Sub("package.zip");
};

TEST_F(TChunkFileTest, ChunkIsCutAtTheEndOfTheFile) {
  struct Case {
    int64_t start;
    int64_t length;
    std::string bytes;
  };
  const Case cases[] = {
      {0, 4, "0123"}, {4, 4, "4567"},          {8, 4, "89"},         {6, 4, "6789"}, {10, 4, ""},
      {0, 0, ""},     {0, kMax, "0123456789"}, {3, kMax, "3456789"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "start " << c.start << " length " << c.length);
    TChunkFile chunk(path_, c.start, c.length);
    EXPECT_EQ(chunk.Size(), static_cast<int64_t>(c.bytes.size()));
    EXPECT_EQ(chunk.Pos(), 0);
    EXPECT_EQ(chunk.AtEnd(), c.bytes.empty());
    EXPECT_EQ(chunk.ReadAll(), c.bytes);
    EXPECT_TRUE(chunk.AtEnd());
    EXPECT_EQ(chunk.Pos(), chunk.Size());
  }
}

TEST_F(TChunkFileTest, ReadsPeeksAndSeeksStayInsideTheChunk) {
  TChunkFile chunk(path_, 2, 5);
  char buffer[16] = {};
  EXPECT_EQ(chunk.Peek(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "23456");
  EXPECT_EQ(chunk.Pos(), 0);

  EXPECT_EQ(chunk.Read(buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "234");
  EXPECT_EQ(chunk.Read(buffer, sizeof buffer), 2);  // not the 7 left in the file
  EXPECT_EQ(std::string(buffer, 2), "56");
  EXPECT_EQ(chunk.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(chunk.Peek(buffer, sizeof buffer), 0);

  chunk.Seek(0);  // a rewound transfer sends the part again from its start
  EXPECT_EQ(chunk.ReadAll(), "23456");
  chunk.Seek(4);
  EXPECT_EQ(chunk.Pos(), 4);
  EXPECT_EQ(chunk.ReadAll(), "6");

  chunk.Seek(7);  // past the chunk, though still inside the file
  EXPECT_EQ(chunk.Pos(), 7);
  EXPECT_TRUE(chunk.AtEnd());
  EXPECT_EQ(chunk.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(chunk.ReadAll(), "");

  EXPECT_THROW(chunk.Seek(-1), TPath::Exception);
  EXPECT_THROW(chunk.Seek(kMax), TPath::Exception);
}

TEST_F(TChunkFileTest, OffsetsBeyondFourGiB) {
  // A sparse file: large offsets cost no disk space.
  const std::string big = dir_.Sub("big.zip");
  WriteFile(big, "");
  const int64_t size = (int64_t{5} << 30) + 3;
  ASSERT_EQ(truncate(big.c_str(), size), 0);
  const int64_t part = 52428800;
  const int64_t lastStart = size / part * part;

  TChunkFile last(big, lastStart, part);
  EXPECT_EQ(last.Size(), size - lastStart);
  EXPECT_EQ(last.Pos(), 0);
  EXPECT_EQ(last.ReadAll(), std::string(static_cast<size_t>(size - lastStart), '\0'));

  TChunkFile middle(big, (int64_t{3} << 30) + 1, part);
  EXPECT_EQ(middle.Size(), part);
  middle.Seek(part - 1);
  EXPECT_EQ(middle.Pos(), part - 1);
  EXPECT_EQ(middle.ReadAll().size(), 1u);
}

TEST_F(TChunkFileTest, InvalidChunksAndMissingFilesThrow) {
  EXPECT_THROW(TChunkFile(path_, 11, 1), TPath::Exception);
  EXPECT_THROW(TChunkFile(path_, -1, 1), TPath::Exception);
  EXPECT_THROW(TChunkFile(path_, 0, -1), TPath::Exception);
  EXPECT_THROW(TChunkFile(dir_.Sub("absent.zip"), 0, 1), TPath::Exception);
}

}  // namespace
}  // namespace ZorErrorReporting
