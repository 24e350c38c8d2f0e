// DeflateStream: compresses one stream of bytes into raw deflate (RFC 1951,
// no zlib or gzip wrapper) at a fast level, about as small as zlib's level 1,
// and keeps the CRC-32 and the size of the bytes it was given, as a zip
// entry's header needs them.
//
// Lifecycle: (1) Write any number of times, (2) Finish once. Compressed bytes
// go to the caller's sink as they are produced, at most kOutputBufferSize at a
// time; the sink's exceptions pass through unchanged and leave the stream
// unusable. Memory is fixed (about 1.4 MiB) whatever the stream's length.
//
// Not copyable; not thread-safe (one thread per object).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

struct isal_zstream;

namespace ZorErrorReporting {

class DeflateStream {
 public:
  // Receives `size` (> 0) compressed bytes; they are only valid during the call.
  using Sink = std::function<void(const uint8_t* data, size_t size)>;

  // Size of the buffer that collects compressed bytes for the sink.
  static constexpr size_t kOutputBufferSize = size_t{1} << 20;

  // Throws std::bad_alloc when the buffers cannot be allocated.
  DeflateStream();
  ~DeflateStream();
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // Compresses `size` bytes at `data`, handing what it can already compress
  // to `sink`. Throws ZorvaneException "DeflateStream: compression
  // failed with error '<n>'" when the compressor rejects its state.
  // REQUIRES: Finish has not been called.
  void Write(const void* data, uint32_t size, const Sink& sink);
  // Ends the stream and hands the rest of the output to `sink`. Throws as Write.
  // REQUIRES: Finish has not been called.
  void Finish(const Sink& sink);

  // CRC-32 (as zip and gzip use it) and count of the bytes given to Write.
  uint32_t Crc32() const { return crc_; }
  uint64_t InputSize() const { return inputSize_; }

 private:
  // Runs the compressor until it has taken all input (and, when
  // `end_of_stream` is set, written the final block).
  void Compress(const Sink& sink);

  std::unique_ptr<isal_zstream> stream_;
  std::unique_ptr<uint8_t[]> levelBuffer_;  // the compressor's work memory for its level
  std::unique_ptr<uint8_t[]> output_;
  uint32_t crc_ = 0;
  uint64_t inputSize_ = 0;
};

}  // namespace ZorErrorReporting
