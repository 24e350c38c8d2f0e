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

// What EscapeForDisplay leaves as it is.
enum class DisplayForm {
  kOneLine,    // printable text only: a console line, a table cell
  kLines,      // also line feeds and tabs: the program's own lines (help text)
  kExactBytes, // printable text, and "\\" for a backslash: a file name's bytes
};

// `bytes` with well-formed, printable UTF-8 unchanged and everything else
// escaped, as `form` says: line feed, carriage return and tab as "\n",
// "\r", "\t"; any other C0 control character, DEL, a C1 control character
// (U+0080 to U+009F), a character that reorders, hides or breaks text
// without showing itself (bidirectional controls, default-ignorable and
// blank filler characters, U+2028 and U+2029) and every byte that is not
// part of a well-formed sequence as "\xNN" per byte.
std::string EscapeForDisplay(const std::string& bytes, DisplayForm form = DisplayForm::kOneLine);
// The same for text (as UTF-8).
TString EscapeForDisplay(const TString& text, DisplayForm form = DisplayForm::kOneLine);

// The length of the well-formed UTF-8 sequence at the start of `s` (size >
// 0), or 0 when the bytes there are not one. `*cut` tells a sequence that was
// well-formed up to the end of the bytes apart from an invalid one.
size_t Utf8SequenceLength(const unsigned char* s, size_t size, bool* cut);

}  // namespace zor::platform
