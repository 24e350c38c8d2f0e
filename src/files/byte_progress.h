// ByteProgress: how far a long pass over bytes (zipping, encrypting) has
// come, for a person watching. Called on the pass's own thread with the
// bytes done so far (never decreasing within one pass) and the bytes the
// pass will take in all; an empty function is never called.
#pragma once

#include <cstdint>
#include <functional>

namespace ZorErrorReporting {

using ByteProgress = std::function<void(uint64_t done, uint64_t total)>;

}  // namespace ZorErrorReporting
