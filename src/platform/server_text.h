// How the program quotes text that a server sent (a reply body, a reason
// phrase, a location, an id) in a message, a log line or an upload result:
// bounded, so that a server cannot fill the log or a status file.
#pragma once

#include <cstddef>
#include <string>

#include "platform/tstring.h"

namespace zor::platform {

// The most bytes of a server's text that are quoted.
constexpr size_t kServerTextQuoteBytes = 4096;

// `utf8` whole when it has at most kServerTextQuoteBytes bytes; else its
// first bytes up to that limit, never cutting a UTF-8 sequence, followed by
// "… (N bytes)" with N its whole length. Invalid UTF-8 is decoded as
// TString::fromUtf8 decodes it.
TString QuoteServerText(const std::string& utf8);

}  // namespace zor::platform
