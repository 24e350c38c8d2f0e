#include "platform/boot_id.h"

#include <fstream>
#include <string>

namespace zor::platform {

const TString& CurrentBootId() {
  static const TString id = [] {
    try {
      std::ifstream in("/proc/sys/kernel/random/boot_id");
      std::string line;
      // Anything but a UUID's 36 characters is no id to stake a file on.
      if (std::getline(in, line) && line.size() == 36) return TString(line);
    } catch (...) {
    }
    return TString();
  }();
  return id;
}

}  // namespace zor::platform
