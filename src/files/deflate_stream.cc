#include "files/deflate_stream.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>

#include "platform/alt_signal_stack.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::ZorvaneException;

namespace {

// Stored blocks cost a few bytes per 64 KiB and the flush marker five more:
// incompressible input still fits with plenty to spare.
constexpr size_t kOutputCapacity = DeflateStream::kBlockSize + DeflateStream::kBlockSize / 16 + 4096;

// An empty block with BFINAL set (fixed codes, just the end-of-block code):
// what ends a stream of flushed blocks.
constexpr uint8_t kFinalBlock[] = {0x03, 0x00};

}  // namespace

struct DeflateStream::Block {
  enum class State { kFree, kQueued, kDone };

  // Not zeroed: every byte is written before it is read.
  std::unique_ptr<uint8_t[]> output = std::make_unique_for_overwrite<uint8_t[]>(kOutputCapacity);
  uint64_t offset = 0;  // of its input
  size_t inputSize = 0;
  size_t outputSize = 0;
  uint32_t crc = 0;                // CRC-32 of its input alone
  int error = 0;                   // the compressor's result when it failed
  std::exception_ptr readFailure;  // what reading its input threw
  State state = State::kFree;
};

// One thread's compressor: its state and the work memory of its level.
class DeflateStream::Compressor {
 public:
  Compressor()
      : levelBuffer_(std::make_unique_for_overwrite<uint8_t[]>(ISAL_DEF_LVL2_DEFAULT)) {}

  // Reads the block's input and fills in its output and error. Never throws.
  void Run(Block& block, const ReadAt& read) {
    block.outputSize = 0;
    block.crc = 0;
    block.error = 0;
    try {
      block.inputSize = read(input_.get(), kBlockSize, block.offset);
    } catch (...) {
      block.inputSize = 0;
      block.readFailure = std::current_exception();
      return;
    }
    // An empty block past the end adds nothing, not even a flush marker.
    if (block.inputSize == 0) return;
    Compress(block);
    // Here, while the input is still in this core's cache; the caller joins
    // the blocks' CRCs in order.
    block.crc = crc32_gzip_refl(0, input_.get(), block.inputSize);
  }

 private:
  void Compress(Block& block) {
    // Each block stands alone, so the one-call compressor serves: it keeps no
    // history between calls, and it came out a little smaller and cheaper.
    isal_deflate_stateless_init(&stream_);
    // Level 2 runs as fast as level 1 but finds more matches: on binaries
    // level 1 came out about 3% larger than `zip -1`, level 2 about 1%.
    stream_.level = 2;
    stream_.level_buf = levelBuffer_.get();
    stream_.level_buf_size = ISAL_DEF_LVL2_DEFAULT;
    stream_.gzip_flag = IGZIP_DEFLATE;
    // A full flush ends the block on a byte boundary with no history carried
    // on, so blocks compressed apart join into one valid stream.
    stream_.flush = FULL_FLUSH;
    stream_.next_in = input_.get();
    stream_.avail_in = static_cast<uint32_t>(block.inputSize);
    stream_.next_out = block.output.get();
    stream_.avail_out = static_cast<uint32_t>(kOutputCapacity);
    const int result = isal_deflate_stateless(&stream_);
    // The output has room for any block: a full one means the flush is unfinished.
    block.error = result != COMP_OK ? result : (stream_.avail_in != 0 || stream_.avail_out == 0);
    block.outputSize = kOutputCapacity - stream_.avail_out;
  }

  isal_zstream stream_{};
  std::unique_ptr<uint8_t[]> levelBuffer_;
  // The block being compressed: one buffer, used again for every block, stays
  // warm in this core's caches (a ring of them did not, and copying into a
  // cold one cost more than the compression).
  std::unique_ptr<uint8_t[]> input_ = std::make_unique_for_overwrite<uint8_t[]>(kBlockSize);
};

DeflateStream::DeflateStream(unsigned threads)
    : threads_(std::clamp(threads, 1u, kMaxThreads)) {}

DeflateStream::~DeflateStream() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

std::exception_ptr DeflateStream::Compress(const ReadAt& read, const Sink& sink) {
  read_ = &read;
  StartWorkers();
  size_t oldest = 0;
  size_t inFlight = 0;
  std::exception_ptr failure;
  // The workers must neither call `read` nor fill a block once this returns,
  // by a throw too: `read` is the caller's, and dies with its frame.
  const auto awaitInFlight = [&] {
    for (; inFlight > 0; --inFlight, oldest = (oldest + 1) % ring_.size()) Await(*ring_[oldest]);
  };
  try {
    CompressBlocks(oldest, inFlight, failure, sink);
  } catch (...) {
    awaitInFlight();
    throw;
  }
  awaitInFlight();
  sink(kFinalBlock, sizeof kFinalBlock);
  return failure;
}

void DeflateStream::CompressBlocks(size_t& oldest, size_t& inFlight, std::exception_ptr& failure,
                                   const Sink& sink) {
  std::vector<std::unique_ptr<Block>>& ring = ring_;
  const size_t ringSize = size_t{threads_} * kBlocksPerThread;
  uint64_t nextOffset = 0;
  for (bool ended = false; !ended;) {
    // One block until the input proves longer, so a small file costs little.
    const size_t wanted = inputSize_ > 0 ? ringSize : 1;
    while (inFlight < wanted) {
      if (ring.size() == inFlight) {
        // Every block is busy: a new one goes in after the newest.
        ring.insert(ring.begin() + static_cast<ptrdiff_t>(oldest), std::make_unique<Block>());
        if (inFlight > 0) ++oldest;
      }
      Block& block = *ring[(oldest + inFlight) % ring.size()];
      block.offset = nextOffset;
      nextOffset += kBlockSize;
      Submit(block);
      ++inFlight;
    }
    Block& block = *ring[oldest];
    Await(block);
    if (block.readFailure) {
      failure = block.readFailure;
      ended = true;
    } else if (block.error != 0) {
      throw ZorvaneException(
          TFormatString("DeflateStream: compression failed with error '%1'").arg(block.error));
    } else {
      if (block.outputSize > 0) sink(block.output.get(), block.outputSize);
      crc_ = static_cast<uint32_t>(
          crc32_combine64(crc_, block.crc, static_cast<z_off64_t>(block.inputSize)));
      inputSize_ += block.inputSize;
      // A block that is not full is the end; the ones handed out after it are dropped.
      ended = block.inputSize < kBlockSize;
    }
    block.state = Block::State::kFree;
    block.readFailure = nullptr;
    oldest = (oldest + 1) % ring.size();
    --inFlight;
  }
}

void DeflateStream::Submit(Block& block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    block.state = Block::State::kQueued;
    queue_.push_back(&block);
  }
  queued_.notify_one();
}

void DeflateStream::Await(Block& block) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return block.state == Block::State::kDone; });
}

void DeflateStream::StartWorkers() {
  // Allocated here, so that running out of memory throws to the caller
  // rather than ending a thread.
  while (workerCompressors_.size() < threads_) {
    workerCompressors_.push_back(std::make_unique<Compressor>());
  }
  workers_.reserve(threads_);
  for (unsigned i = 0; i < threads_; ++i) {
    workers_.emplace_back([this, c = workerCompressors_[i].get()] {
      const zor::platform::AltSignalStack crashStack;
      WorkerLoop(*c);
    });
  }
}

void DeflateStream::WorkerLoop(Compressor& compressor) {
  for (;;) {
    Block* block = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      block = queue_.front();
      queue_.pop_front();
    }
    compressor.Run(*block, *read_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      block->state = Block::State::kDone;
    }
    done_.notify_one();  // only the caller waits for blocks
  }
}

}  // namespace ZorErrorReporting
