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
  // The whole URL, for building other URLs from it; never for a log line or
  // a message (ForLog).
  operator TString() const { return ToString(); }  // NOLINT: implicit by design
  // The encoded form that goes on the wire.
  std::string ToWire() const { return url_.toEncoded().toStdString(); }
  // The form every log line and message uses: scheme, host, port and path,
  // without user info, query or fragment, bounded as QuoteServerText bounds
  // a server's text (a server hands out URLs too). A presigned URL's
  // signature is in its query; the path still shows which request it was.
  TString ForLog() const;
  // True iff the scheme is http or https (compared ignoring case): the only
  // schemes the program ever sends a request to.
  bool IsHttp() const;

  // `text` percent-encoded as one path segment or query value: everything
  // but [A-Za-z0-9._~-] is encoded ('/', '?', '#', '&' and '=' included), so
  // it can add no path level, query member or fragment.
  static TString EncodeComponent(const TString& text);

 private:
  QUrl url_;
};

// A URL's text that may not parse (a server's location, a mistyped setting),
// as a message shows it: without what could be a secret (user info, up to
// its last '@', since no end of it can be trusted, after "//" or from the
// start when there is none; a query; a fragment),
// bounded as QuoteServerText bounds.
TString UrlTextForLog(const TString& url);

}  // namespace zor::platform
