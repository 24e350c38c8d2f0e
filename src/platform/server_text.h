// How the program quotes text that a server sent (a reply body, a reason
// phrase, a location, an id) in a message, a log line or an upload result:
// bounded, so that a server cannot fill the log or a status file. And the
// other way: what the program puts into a server's record from files that
// others write (a manifest's product build, a crash file's name).
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

// The most bytes of one text field that go into a server's record.
constexpr size_t kRecordFieldBytes = 512;

// `text` as one field of a server's record, which support reads on a
// screen: its first kRecordFieldBytes bytes of UTF-8 (a sequence is never
// cut; "\u2026" marks the cut), then escaped as EscapeForDisplay's one-line
// form, so that no byte of it moves a cursor, starts a line or reorders text.
TString TextForRecord(const TString& text);

}  // namespace zor::platform
