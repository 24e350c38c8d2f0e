#include "platform/turl.h"

namespace zor::platform {

TString TUrl::ToString(unsigned flags) const {
  return url_.toString(QUrl::FormattingOptions(QUrl::UrlFormattingOption(flags)));
}

}  // namespace zor::platform
