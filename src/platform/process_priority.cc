#include "platform/process_priority.h"

#include <sys/resource.h>

namespace zor::platform {

void LowerProcessPriority() {
  const int current = getpriority(PRIO_PROCESS, 0);
  if (current < 10) (void)setpriority(PRIO_PROCESS, 0, 10);
}

}  // namespace zor::platform
