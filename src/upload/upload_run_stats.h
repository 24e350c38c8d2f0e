// UploadRunStats: what one `send-crashes` run did, for the metrics file.
#pragma once

#include <cstdint>

namespace ZorErrorReporting {

struct UploadRunStats {
  uint64_t found = 0;          // packages due for upload ("Pending", "PendingRetry")
  uint64_t uploaded = 0;       // of them, uploaded in this run
  uint64_t failed = 0;         // of them, attempted in this run and failed
  uint64_t waited = 0;         // of them, not tried: their files or the disk were not ready
  uint64_t pending = 0;        // of them, held back for a later run by the rate limit
  uint64_t pruned = 0;         // packages deleted by the retention limits
  uint64_t uploadedBytes = 0;  // the sizes of the uploaded (encrypted) files
};

}  // namespace ZorErrorReporting
