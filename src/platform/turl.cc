#include "platform/turl.h"

#include "platform/server_text.h"

namespace zor::platform {

TString TUrl::ToString(unsigned flags) const {
  // Through QFlag: the flags mix two enums, and neither holds every value.
  return url_.toString(QUrl::FormattingOptions(QFlag(static_cast<int>(flags))));
}

TString UrlTextForLog(const TString& url) {
  std::string text = url.toStdString();
  text = text.substr(0, text.find_first_of("?#"));
  // Up to the last '@': a text that does not parse has no trusted end of its
  // user info ("u:se/cret@host"), which starts after "//", or at the start
  // of a proxy written without a scheme.
  const size_t authority = text.find("//");
  const size_t from = authority == std::string::npos ? 0 : authority + 2;
  const size_t at = text.rfind('@');
  if (at != std::string::npos && at >= from) text.erase(from, at + 1 - from);
  return QuoteServerText(text);
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
