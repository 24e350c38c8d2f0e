// Text from outside the program (a server's reply, an id it handed out, a
// file name) made safe to show on a terminal: a control character in it could
// otherwise move the cursor, clear the screen or start a line that looks like
// one of the program's own.
//
// Thread-safety: stateless; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/tstring.h"

namespace zor::platform {

// Whether EscapeForDisplay also escapes backslashes.
enum class Backslashes {
  kKeep,    // readable text: a message, a table cell
  kEscape,  // "\\": the bytes can be told back exactly (a file name)
};

// `bytes` with well-formed, printable UTF-8 unchanged and everything else
// escaped: line feed, carriage return and tab as "\n", "\r", "\t"; any other
// C0 control character, DEL, a C1 control character (U+0080 to U+009F) and
// every byte that is not part of a well-formed sequence as "\xNN" per byte.
std::string EscapeForDisplay(const std::string& bytes,
                             Backslashes backslashes = Backslashes::kKeep);
// The same for text (as UTF-8).
TString EscapeForDisplay(const TString& text, Backslashes backslashes = Backslashes::kKeep);

// The length of the well-formed UTF-8 sequence at the start of `s` (size >
// 0), or 0 when the bytes there are not one. `*cut` tells a sequence that was
// well-formed up to the end of the bytes apart from an invalid one.
size_t Utf8SequenceLength(const unsigned char* s, size_t size, bool* cut);

}  // namespace zor::platform
