#include "platform/turl.h"

#include "platform/server_text.h"

namespace zor::platform {

TString TUrl::ToString(unsigned flags) const {
  // Through QFlag: the flags mix two enums, and neither holds every value.
  return url_.toString(QUrl::FormattingOptions(QFlag(static_cast<int>(flags))));
}

TString TUrl::ForLog() const {
  return QuoteServerText(
      ToString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment).toStdString());
}

bool TUrl::IsHttp() const {
  const QString scheme = url_.scheme().toLower();
  return scheme == "http" || scheme == "https";
}

TString TUrl::EncodeComponent(const TString& text) {
  return TString(QString::fromLatin1(QUrl::toPercentEncoding(text.ToQString())));
}

}  // namespace zor::platform
