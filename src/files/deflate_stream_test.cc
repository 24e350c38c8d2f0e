#include "files/deflate_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace ZorErrorReporting {
namespace {

// The reader a caller hands over dies with the caller's frame, as soon as a
// failing sink's exception leaves Compress. A worker still reading a block
// then would call a dead function: each read waits (a bounded while) for the
// reader's end and reports a call that outlived it.
TEST(DeflateStreamTest, NoBlockIsReadOnceAFailingSinkHasEndedTheStream) {
  std::mutex mutex;
  std::condition_variable changed;
  bool readerGone = false;
  std::atomic<int> lateReads{0};
  struct Lifetime {
    Lifetime(std::mutex* m, std::condition_variable* c, bool* g) : mutex(m), changed(c), gone(g) {}
    std::mutex* mutex;
    std::condition_variable* changed;
    bool* gone;
    ~Lifetime() {
      std::lock_guard<std::mutex> lock(*mutex);
      *gone = true;
      changed->notify_all();
    }
  };
  DeflateStream stream(2);
  // The second block's output fails, with the blocks after it in flight.
  int written = 0;
  const auto fail = [&](const uint8_t*, size_t) {
    if (++written == 2) throw std::runtime_error("disk full");
  };
  EXPECT_THROW(
      {
        auto lifetime = std::make_shared<Lifetime>(&mutex, &changed, &readerGone);
        stream.Compress(
            [&, lifetime](uint8_t* into, size_t size, uint64_t offset) {
              std::memset(into, static_cast<int>(offset >> 20), size);
              if (offset >= 2 * DeflateStream::kBlockSize) {
                std::unique_lock<std::mutex> lock(mutex);
                if (changed.wait_for(lock, std::chrono::milliseconds(200),
                                     [&] { return readerGone; })) {
                  ++lateReads;
                }
              }
              return size;
            },
            fail);
      },
      std::runtime_error);
  EXPECT_EQ(lateReads, 0);
}

}  // namespace
}  // namespace ZorErrorReporting
