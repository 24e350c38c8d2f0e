#include "files/deflate_stream.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>

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

  std::unique_ptr<uint8_t[]> input = std::make_unique<uint8_t[]>(kBlockSize);
  std::unique_ptr<uint8_t[]> output = std::make_unique<uint8_t[]>(kOutputCapacity);
  size_t inputSize = 0;
  size_t outputSize = 0;
  uint32_t crc = 0;
  int error = 0;  // the compressor's result when it failed
  State state = State::kFree;
};

// One thread's compressor: its state and the work memory of its level.
class DeflateStream::Compressor {
 public:
  Compressor() : levelBuffer_(std::make_unique<uint8_t[]>(ISAL_DEF_LVL2_DEFAULT)) {}

  // Fills in the block's output, CRC and error. Never throws.
  void Compress(Block& block) {
    block.crc = crc32_gzip_refl(0, block.input.get(), block.inputSize);
    isal_deflate_init(&stream_);
    // Level 2 runs as fast as level 1 but finds more matches: on binaries
    // level 1 came out about 3% larger than `zip -1`, level 2 about 1%.
    stream_.level = 2;
    stream_.level_buf = levelBuffer_.get();
    stream_.level_buf_size = ISAL_DEF_LVL2_DEFAULT;
    stream_.gzip_flag = IGZIP_DEFLATE;
    // A full flush ends the block on a byte boundary with no history carried
    // on, so blocks compressed apart join into one valid stream.
    stream_.flush = FULL_FLUSH;
    stream_.next_in = block.input.get();
    stream_.avail_in = static_cast<uint32_t>(block.inputSize);
    stream_.next_out = block.output.get();
    stream_.avail_out = static_cast<uint32_t>(kOutputCapacity);
    const int result = isal_deflate(&stream_);
    // The output has room for any block: a full one means the flush is unfinished.
    block.error = result != COMP_OK ? result : (stream_.avail_in != 0 || stream_.avail_out == 0);
    block.outputSize = kOutputCapacity - stream_.avail_out;
  }

 private:
  isal_zstream stream_{};
  std::unique_ptr<uint8_t[]> levelBuffer_;
};

DeflateStream::DeflateStream(unsigned threads)
    : threads_(std::clamp(threads, 1u, kMaxThreads)) {
  blocks_.push_back(std::make_unique<Block>());
  if (threads_ == 1) compressor_ = std::make_unique<Compressor>();
}

DeflateStream::~DeflateStream() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void DeflateStream::WriteFrom(const Source& source, const Sink& sink) {
  for (;;) {
    Block& block = *blocks_[filling_];
    const size_t n = source(block.input.get() + block.inputSize, kBlockSize - block.inputSize);
    if (n == 0) return;
    block.inputSize += n;
    if (block.inputSize == kBlockSize) Submit(sink);
  }
}

void DeflateStream::Finish(const Sink& sink) {
  if (blocks_[filling_]->inputSize > 0) Submit(sink);
  while (inFlight_ > 0) WriteOldest(sink);
  sink(kFinalBlock, sizeof kFinalBlock);
}

void DeflateStream::Submit(const Sink& sink) {
  Block& block = *blocks_[filling_];
  if (compressor_) {
    compressor_->Compress(block);
    block.state = Block::State::kDone;
  } else {
    if (workers_.empty()) StartWorkers();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      block.state = Block::State::kQueued;
      queue_.push_back(&block);
    }
    queued_.notify_one();
  }
  ++inFlight_;
  // The ring grows to its full size only when a stream is long enough to need it.
  const size_t ringSize = compressor_ ? 1 : size_t{threads_} * kBlocksPerThread;
  if (inFlight_ == blocks_.size() && blocks_.size() < ringSize) {
    blocks_.insert(blocks_.begin() + static_cast<ptrdiff_t>(filling_) + 1,
                   std::make_unique<Block>());
    if (oldest_ > filling_) ++oldest_;
  }
  filling_ = (filling_ + 1) % blocks_.size();
  if (inFlight_ == blocks_.size()) WriteOldest(sink);
}

void DeflateStream::WriteOldest(const Sink& sink) {
  Block& block = *blocks_[oldest_];
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return block.state == Block::State::kDone; });
  }
  if (block.error != 0) {
    throw ZorvaneException(
        TFormatString("DeflateStream: compression failed with error '%1'").arg(block.error));
  }
  if (block.outputSize > 0) sink(block.output.get(), block.outputSize);
  crc_ = static_cast<uint32_t>(crc32_combine64(crc_, block.crc, static_cast<z_off64_t>(block.inputSize)));
  inputSize_ += block.inputSize;
  block.inputSize = 0;
  block.state = Block::State::kFree;
  oldest_ = (oldest_ + 1) % blocks_.size();
  --inFlight_;
}

void DeflateStream::StartWorkers() {
  // Allocated here, so that running out of memory throws to the caller
  // rather than ending a thread.
  while (workerCompressors_.size() < threads_) {
    workerCompressors_.push_back(std::make_unique<Compressor>());
  }
  workers_.reserve(threads_);
  for (unsigned i = 0; i < threads_; ++i) {
    workers_.emplace_back([this, c = workerCompressors_[i].get()] { WorkerLoop(*c); });
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
    compressor.Compress(*block);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      block->state = Block::State::kDone;
    }
    done_.notify_all();
  }
}

}  // namespace ZorErrorReporting
