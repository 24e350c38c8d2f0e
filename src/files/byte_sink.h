// ByteSink: where a streaming writer puts its bytes, so that one writer (the
// zip writer) can feed a file, a cipher or both without knowing which.
//
// Write takes all `size` bytes or throws; what it throws is the sink's own
// (a file's TPath::Exception, a cipher's ZorvaneException), and after a throw
// the sink need not accept more. The bytes are only borrowed for the call.
// Thread-safety: the implementation's; the writers here use one thread.
#pragma once

#include <cstddef>

namespace ZorErrorReporting {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Write(const char* data, size_t size) = 0;
};

}  // namespace ZorErrorReporting
