// TUrl: a URL made from text, as the network layer and its callers pass it.
// A value type over QUrl; parsing is tolerant (as QUrl's default mode), and
// IsValid tells whether the text made a usable URL.
#pragma once

#include <QUrl>

#include "platform/tstring.h"

namespace zor::platform {

class TUrl {
 public:
  // Formatting flags of ToString; the values are QUrl's FormattingOptions.
  enum Format : unsigned {
    kFullyEncoded = QUrl::FullyEncoded,
    kRemovePassword = QUrl::RemovePassword,
    kRemoveQuery = QUrl::RemoveQuery,
  };

  TUrl() = default;
  explicit TUrl(const TString& text) : url_(text.ToQString()) {}

  bool IsValid() const { return url_.isValid() && !url_.scheme().isEmpty(); }
  TString Scheme() const { return TString(url_.scheme()); }
  TString Host() const { return TString(url_.host()); }
  // The URL as text, formatted by `flags` (a combination of Format values);
  // 0 gives the readable form (percent-encoding decoded where unambiguous).
  TString ToString(unsigned flags = 0) const;
  operator TString() const { return ToString(); }  // NOLINT: URLs are logged as text
  // The encoded form that goes on the wire.
  std::string ToWire() const { return url_.toEncoded().toStdString(); }

 private:
  QUrl url_;
};

}  // namespace zor::platform
