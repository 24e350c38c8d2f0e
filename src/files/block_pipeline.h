// BlockPipeline: streams an input through a transformation to an output in
// blocks, with reading, transforming and writing on three threads at once,
// so that a pass whose three steps cost about the same (a file read, a
// cipher, a file write) takes the time of its slowest step instead of their
// sum.
//
// Blocks pass through a ring of a fixed number of buffers, in order: memory
// is `blocks` x `blockSize` whatever the input's length. The caller's thread
// transforms; reading and writing run on two threads that Run starts and
// joins before it returns (they inherit the caller's scheduling priority).
//
// Failures: the first exception thrown by any of the three steps stops the
// others at their next block and is rethrown by Run once every thread is
// joined; a write never sees a block after the one that failed to be read or
// transformed. std::system_error when a thread cannot start.
#pragma once

#include <cstddef>
#include <functional>

namespace ZorErrorReporting {

class BlockPipeline {
 public:
  // Fills up to `size` bytes at `into` and returns how many; 0 ends the input.
  using Read = std::function<size_t(char* into, size_t size)>;
  // Changes the `size` bytes at `data` in place (0 < size <= the block size).
  using Transform = std::function<void(char* data, size_t size)>;
  // Takes all `size` bytes at `data`, which are valid only during the call.
  using Write = std::function<void(const char* data, size_t size)>;

  // Reads the whole input with `read`, transforms each block on this thread
  // and writes the blocks in their order with `write`. Each step is called
  // from one thread only, the same one throughout.
  // REQUIRES: blockSize > 0, blocks >= 2.
  static void Run(size_t blockSize, unsigned blocks, const Read& read, const Transform& transform,
                  const Write& write);
};

}  // namespace ZorErrorReporting
