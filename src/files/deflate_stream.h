// DeflateStream: compresses one input into raw deflate (RFC 1951, no zlib or
// gzip wrapper) at a fast level, about as small as zlib's level 1, and keeps
// the CRC-32 and the size of what it compressed, as a zip entry's header
// needs them.
//
// The input is cut into blocks of kBlockSize bytes, each compressed on its
// own (no match reaches back into an earlier block) and ended on a byte
// boundary with a full flush; the stream ends with an empty final block.
// So the blocks can be read and compressed on several threads and still be
// written in order, and the output depends only on the input, never on the
// number of threads. Each block's CRC-32 is taken where it was compressed and
// joined to the stream's on the caller's thread, in order.
//
// Lifecycle: Compress once. Compressed bytes go to the caller's sink in input
// order, one block's output at a time, on the caller's thread; the sink's
// exceptions pass through unchanged and leave the stream unusable (it may
// only be destroyed). However Compress ends, no worker calls `read` or
// writes for it once it has. Memory is fixed whatever the input's length: at most
// kBlocksPerThread blocks per thread are in flight (about 4.2 MiB each), plus
// the compressor's work memory per thread.
//
// Threads: `threads` workers read and compress while the caller writes (with
// one, the sink's work, a cipher and a file write, still overlaps the
// compression); they are started by Compress and inherit the caller's
// scheduling priority (a lowered one stays lowered). Not copyable; one caller
// thread per object.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
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
  // Puts up to `size` bytes of the input from `offset` on at `into` and
  // returns how many: fewer than `size` only at the input's end. Called from
  // the worker threads, several at once; throws when the input cannot be read.
  using ReadAt = std::function<size_t(uint8_t* into, size_t size, uint64_t offset)>;

  // Bytes of input per independently compressed block. Each block costs a
  // compressor set-up, a hand-over between threads and its own Huffman
  // tables: 2 MiB took about 5% less CPU than 1 MiB (256 KiB 15% more), and
  // 4 MiB no less again for twice the memory.
  static constexpr size_t kBlockSize = size_t{1} << 21;
  // Blocks in flight per thread: one being compressed, one waiting.
  static constexpr unsigned kBlocksPerThread = 2;
  static constexpr unsigned kMaxThreads = 8;

  // `threads` is clamped to 1..kMaxThreads.
  explicit DeflateStream(unsigned threads = 1);
  // Stops and joins the workers; never throws.
  ~DeflateStream();
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // Compresses the input `read` gives, from offset 0 to its end (the first
  // block it does not fill), hands the output to `sink` and ends the stream.
  // When `read` throws, the stream ends with the blocks before the failing one
  // and the failure is returned; otherwise the result is null. Throws what
  // `sink` throws, ZorvaneException "DeflateStream: compression failed with
  // error '<n>'" when the compressor fails, std::bad_alloc, and
  // std::system_error when a thread cannot start.
  // REQUIRES: Compress has not been called.
  std::exception_ptr Compress(const ReadAt& read, const Sink& sink);

  // CRC-32 (as zip and gzip use it) and count of the input compressed.
  uint32_t Crc32() const { return crc_; }
  uint64_t InputSize() const { return inputSize_; }

 private:
  struct Block;
  class Compressor;

  // Compress's loop: keeps the ring full and hands the oldest block's output
  // to `sink` until the input ends or `read` fails (`failure`); on return or
  // throw, `oldest` and `inFlight` say which blocks are still out.
  void CompressBlocks(size_t& oldest, size_t& inFlight, std::exception_ptr& failure,
                      const Sink& sink);

  // Hands `block` to a worker.
  void Submit(Block& block);
  // Waits until `block` is done.
  void Await(Block& block);
  void StartWorkers();
  void WorkerLoop(Compressor& compressor);

  const unsigned threads_;
  const ReadAt* read_ = nullptr;  // weak; set during Compress
  uint32_t crc_ = 0;
  uint64_t inputSize_ = 0;

  // The blocks, handed out in input order and written in the same order; a
  // member, so that workers never outlive what they write into.
  std::vector<std::unique_ptr<Block>> ring_;

  std::mutex mutex_;  // guards queue_, stopping_ and every Block's state
  std::condition_variable queued_;
  std::condition_variable done_;
  std::deque<Block*> queue_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Compressor>> workerCompressors_;  // one per worker
  std::vector<std::thread> workers_;
};

}  // namespace ZorErrorReporting
