#include "platform/turl.h"

namespace zor::platform {

TString TUrl::ToString(unsigned flags) const {
  // Through QFlag: the flags mix two enums, and neither holds every value.
  return url_.toString(QUrl::FormattingOptions(QFlag(static_cast<int>(flags))));
}

}  // namespace zor::platform
