#include "files/block_pipeline.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/alt_signal_stack.h"

namespace ZorErrorReporting {

namespace {

// What the three steps share. Blocks are numbered from 0 in input order;
// block n lives in buffer n % count, so a buffer is only refilled once the
// block before it in that buffer is written.
class Ring {
 public:
  Ring(size_t blockSize, unsigned count) : sizes_(count) {
    buffers_.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
      buffers_.push_back(std::make_unique_for_overwrite<char[]>(blockSize));
    }
  }

  char* Buffer(uint64_t block) { return buffers_[block % buffers_.size()].get(); }

  // Waits until the reader may fill `block`; false when a step failed.
  bool AwaitFree(uint64_t block) {
    return Await([&] { return block - written_ < buffers_.size(); });
  }
  // Waits until `block` is read; its size, or 0 when the input ended before
  // it or a step failed.
  size_t AwaitRead(uint64_t block) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || block < read_ || ended_; });
    return failure_ || block >= read_ ? 0 : sizes_[block % sizes_.size()];
  }
  // Waits until `block` is transformed; as AwaitRead.
  size_t AwaitTransformed(uint64_t block) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return failure_ || block < transformed_ || (ended_ && transformed_ == read_);
    });
    return failure_ || block >= transformed_ ? 0 : sizes_[block % sizes_.size()];
  }

  void Read(uint64_t block, size_t size) {
    Update([&] {
      if (size == 0) {
        ended_ = true;
      } else {
        sizes_[block % sizes_.size()] = size;
        read_ = block + 1;
      }
    });
  }
  void Transformed(uint64_t block) {
    Update([&] { transformed_ = block + 1; });
  }
  void Written(uint64_t block) {
    Update([&] { written_ = block + 1; });
  }
  // Keeps the first failure; every step stops at its next wait.
  void Fail(std::exception_ptr failure) {
    Update([&] {
      if (!failure_) failure_ = failure;
    });
  }
  std::exception_ptr Failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }

 private:
  template <typename Ready>
  bool Await(Ready ready) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || ready(); });
    return !failure_;
  }
  template <typename Change>
  void Update(Change change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  std::vector<std::unique_ptr<char[]>> buffers_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<size_t> sizes_;
  uint64_t read_ = 0;         // blocks filled
  uint64_t transformed_ = 0;  // blocks transformed
  uint64_t written_ = 0;      // blocks written
  bool ended_ = false;        // the input is over: read_ is final
  std::exception_ptr failure_;
};

// Runs `step` and turns what it throws into the ring's failure.
template <typename Step>
void Guarded(Ring& ring, Step step) {
  try {
    step();
  } catch (...) {
    ring.Fail(std::current_exception());
  }
}

}  // namespace

void BlockPipeline::Run(size_t blockSize, unsigned blocks, const Read& read,
                        const Transform& transform, const Write& write) {
  Ring ring(blockSize, blocks);
  const auto reading = [&] {
    Guarded(ring, [&] {
      for (uint64_t n = 0; ring.AwaitFree(n); ++n) {
        const size_t size = read(ring.Buffer(n), blockSize);
        ring.Read(n, size);
        if (size == 0) return;
      }
    });
  };
  const auto writing = [&] {
    Guarded(ring, [&] {
      for (uint64_t n = 0;; ++n) {
        const size_t size = ring.AwaitTransformed(n);
        if (size == 0) return;
        write(ring.Buffer(n), size);
        ring.Written(n);
      }
    });
  };
  std::vector<std::thread> threads;
  Guarded(ring, [&] {
    for (const auto& work : {std::function<void()>(reading), std::function<void()>(writing)}) {
      threads.emplace_back([work] {
        const zor::platform::AltSignalStack crashStack;
        work();
      });
    }
    for (uint64_t n = 0;; ++n) {
      const size_t size = ring.AwaitRead(n);
      if (size == 0) return;
      transform(ring.Buffer(n), size);
      ring.Transformed(n);
    }
  });
  // A thread that did not start leaves the ring failed, so the others stop.
  for (std::thread& thread : threads) thread.join();
  if (std::exception_ptr failure = ring.Failure()) std::rethrow_exception(failure);
}

}  // namespace ZorErrorReporting
