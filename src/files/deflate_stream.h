// DeflateStream: compresses one stream of bytes into raw deflate (RFC 1951,
// no zlib or gzip wrapper) at a fast level, about as small as zlib's level 1,
// and keeps the CRC-32 and the size of the bytes it was given, as a zip
// entry's header needs them.
//
// The input is cut into blocks of kBlockSize bytes, each compressed on its
// own (no match reaches back into an earlier block) and ended on a byte
// boundary with a full flush; the stream ends with an empty final block.
// So the blocks can be compressed on several threads and still be written in
// order, and the output depends only on the input, never on the number of
// threads. The CRC-32s of the blocks are combined in order.
//
// Lifecycle: (1) WriteFrom any number of times, (2) Finish once. Compressed bytes
// go to the caller's sink in input order, one block's output at a time, on
// the caller's thread; the sink's exceptions pass through unchanged and leave
// the stream unusable (it may only be destroyed). Memory is fixed whatever the
// stream's length: at most kBlocksPerThread blocks per thread are in flight
// (about 2.1 MiB each), plus the compressor's work memory per thread.
//
// Threads: with `threads` > 1 that many workers compress while the caller
// reads and writes; they are started on the first full block and inherit the
// caller's scheduling priority (a lowered one stays lowered). With 1 the
// caller compresses. Not copyable; one caller thread per object.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ZorErrorReporting {

class DeflateStream {
 public:
  // Receives `size` (> 0) compressed bytes; they are only valid during the call.
  using Sink = std::function<void(const uint8_t* data, size_t size)>;
  // Puts up to `room` (> 0) bytes of input at `into`; returns how many, 0 at
  // the end of the input.
  using Source = std::function<size_t(uint8_t* into, size_t room)>;

  // Bytes of input per independently compressed block.
  static constexpr size_t kBlockSize = size_t{1} << 20;
  // Blocks in flight per thread: one being compressed, one waiting.
  static constexpr unsigned kBlocksPerThread = 2;
  static constexpr unsigned kMaxThreads = 8;

  // `threads` is clamped to 1..kMaxThreads. Throws std::bad_alloc when the
  // buffers cannot be allocated, std::system_error when a thread cannot start
  // (from WriteFrom or Finish).
  explicit DeflateStream(unsigned threads = 1);
  // Stops and joins the workers; never throws.
  ~DeflateStream();
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // Compresses everything `source` gives until it gives 0 (read straight into
  // the blocks), handing what is already compressed to `sink`. Throws
  // ZorvaneException "DeflateStream: compression failed with error '<n>'"
  // when the compressor fails, and what `source` and `sink` throw.
  // REQUIRES: Finish has not been called.
  void WriteFrom(const Source& source, const Sink& sink);
  // Ends the stream and hands the rest of the output to `sink`. Throws as WriteFrom.
  // REQUIRES: Finish has not been called.
  void Finish(const Sink& sink);

  // CRC-32 (as zip and gzip use it) and count of the bytes handed to the sink
  // in compressed form so far: after Finish, of the whole input.
  uint32_t Crc32() const { return crc_; }
  uint64_t InputSize() const { return inputSize_; }

 private:
  struct Block;
  class Compressor;

  // Hands the block being filled to a worker (or compresses it here), then,
  // when every block is in flight, writes the oldest out.
  void Submit(const Sink& sink);
  // Waits for the oldest block in flight, writes its output and frees it.
  void WriteOldest(const Sink& sink);
  void StartWorkers();
  void WorkerLoop(Compressor& compressor);

  const unsigned threads_;
  std::vector<std::unique_ptr<Block>> blocks_;  // a ring; blocks_[filling_] is free
  size_t filling_ = 0;
  size_t oldest_ = 0;
  size_t inFlight_ = 0;
  std::unique_ptr<Compressor> compressor_;  // the caller's, with one thread
  uint32_t crc_ = 0;
  uint64_t inputSize_ = 0;

  std::mutex mutex_;  // guards queue_, stopping_ and every Block's state
  std::condition_variable queued_;
  std::condition_variable done_;
  std::deque<Block*> queue_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Compressor>> workerCompressors_;  // one per worker
  std::vector<std::thread> workers_;
};

}  // namespace ZorErrorReporting
