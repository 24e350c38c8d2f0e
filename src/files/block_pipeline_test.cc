#include "files/block_pipeline.h"

#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace ZorErrorReporting {
namespace {

// An input read in uneven pieces, each block transformed (+1 per byte) and
// written in order; records which threads ran each step.
struct Pass {
  std::string input;
  size_t failAt = SIZE_MAX;  // the block (counted per step) whose step throws
  char failingStep = 0;      // 'r', 't' or 'w'
  std::string output;
  std::set<std::thread::id> readers, transformers, writers;
  size_t blocksRead = 0, blocksTransformed = 0, blocksWritten = 0;

  std::string Go(size_t blockSize, unsigned blocks) {
    size_t offset = 0;
    try {
      BlockPipeline::Run(
          blockSize, blocks,
          [&](char* into, size_t size) {
            readers.insert(std::this_thread::get_id());
            if (failingStep == 'r' && blocksRead == failAt) throw std::runtime_error("read failed");
            ++blocksRead;
            // Short reads as a pipe or a signal gives them, never past the end.
            const size_t n = std::min({size, input.size() - offset, 1 + blocksRead % size});
            input.copy(into, n, offset);
            offset += n;
            return n;
          },
          [&](char* data, size_t size) {
            transformers.insert(std::this_thread::get_id());
            if (failingStep == 't' && blocksTransformed == failAt)
              throw std::runtime_error("transform failed");
            ++blocksTransformed;
            for (size_t i = 0; i < size; ++i) ++data[i];
          },
          [&](const char* data, size_t size) {
            writers.insert(std::this_thread::get_id());
            if (failingStep == 'w' && blocksWritten == failAt)
              throw std::runtime_error("write failed");
            ++blocksWritten;
            output.append(data, size);
          });
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
};

TEST(BlockPipelineTest, EveryBlockIsTransformedAndWrittenInOrderEachStepOnOneThread) {
  for (const size_t length : {0, 1, 4095, 100000}) {
    Pass run;
    for (size_t i = 0; i < length; ++i) run.input += static_cast<char>(i * 131 + i / 7);
    // A ring of two small blocks: the reader laps it many times.
    ASSERT_EQ(run.Go(64, 2), "") << length;
    std::string expected = run.input;
    for (char& c : expected) ++c;
    EXPECT_EQ(run.output, expected) << length;
    if (length == 0) {
      EXPECT_EQ(run.blocksTransformed + run.blocksWritten, 0u);
      continue;
    }
    ASSERT_EQ(run.readers.size() + run.transformers.size() + run.writers.size(), 3u) << length;
    EXPECT_EQ(run.transformers.count(std::this_thread::get_id()), 1u);
    EXPECT_NE(*run.readers.begin(), *run.writers.begin());
    EXPECT_EQ(
        run.transformers.count(*run.readers.begin()) + run.transformers.count(*run.writers.begin()),
        0u);
  }
}

// The first failure stops every step and reaches the caller; nothing after the
// failing block is written, whichever step failed.
TEST(BlockPipelineTest, AFailingStepStopsThePassAndIsRethrown) {
  const struct {
    char step;
    const char* what;
  } cases[] = {{'r', "read failed"}, {'t', "transform failed"}, {'w', "write failed"}};
  for (const auto& c : cases) {
    for (const size_t failAt : {0, 5}) {
      Pass run;
      run.input = std::string(100000, 'a');
      run.failingStep = c.step;
      run.failAt = failAt;
      EXPECT_EQ(run.Go(64, 3), c.what) << c.step << failAt;
      EXPECT_EQ(run.output, std::string(run.blocksWritten == 0 ? 0 : run.output.size(), 'b'));
      EXPECT_LE(run.blocksWritten, failAt) << c.step << failAt;
      // The reader is stopped long before it reaches the end of the input.
      EXPECT_LT(run.blocksRead, 50u) << c.step << failAt;
    }
  }
}

}  // namespace
}  // namespace ZorErrorReporting
