#include "platform/display_text.h"

#include <gtest/gtest.h>

namespace zor::platform {
namespace {

TEST(DisplayText, ControlCharactersAndBadBytesAreEscapedPrintableTextIsNot) {
  struct Case {
    std::string in;
    std::string oneLine;
    const char* lines = nullptr;  // kLines, when it differs from kOneLine
    const char* exact = nullptr;  // kExactBytes, when it differs from kOneLine
  };
  const Case cases[] = {
      {"plain ascii, \"quoted\"", "plain ascii, \"quoted\""},
      {"kid\x1b[2J", "kid\\x1b[2J"},
      {"row\nfake\trow\r", "row\\nfake\\trow\\r", "row\nfake\trow\\r"},
      {std::string("nul\0bel\a del\x7f", 13), "nul\\x00bel\\x07 del\\x7f"},
      // U+009B is a one-character CSI on some terminals; U+00A0 is printable.
      {"c1 \xc2\x9b"
       "2J \xc2\xa0",
       "c1 \\xc2\\x9b2J \xc2\xa0"},
      {"caf\xc3\xa9 \xf0\x9f\x93\xa6", "caf\xc3\xa9 \xf0\x9f\x93\xa6"},
      // A bad byte alone; what follows it is judged afresh.
      {"a\xff"
       "b \xc3",
       "a\\xffb \\xc3"},
      {"\xe2\x82"
       "x \xed\xa0\x80",
       "\\xe2\\x82x \\xed\\xa0\\x80"},
      {"C:\\dir\\x1b", "C:\\dir\\x1b", nullptr, "C:\\\\dir\\\\x1b"},
      // A right-to-left override would show "app.exe.dmp" as "app.pmd.exe";
      // its neighbours U+2010 and U+2070 are printable.
      {"app\xe2\x80\xae"
       "exe.dmp",
       "app\\xe2\\x80\\xaeexe.dmp"},
      {"\xe2\x80\x8b\xef\xbb\xbf\xd8\x9c\xe2\x81\xa9",
       "\\xe2\\x80\\x8b\\xef\\xbb\\xbf\\xd8\\x9c\\xe2\\x81\\xa9"},
      {"\xe2\x80\x90 \xe2\x81\xb0", "\xe2\x80\x90 \xe2\x81\xb0"},
      // A tag character (4 bytes), the soft hyphen, a line separator.
      {"a\xf3\xa0\x81\xa1\xc2\xad\xe2\x80\xa8", "a\\xf3\\xa0\\x81\\xa1\\xc2\\xad\\xe2\\x80\\xa8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.oneLine);
    EXPECT_EQ(EscapeForDisplay(c.in), c.oneLine);
    EXPECT_EQ(EscapeForDisplay(c.in, DisplayForm::kLines), c.lines ? c.lines : c.oneLine);
    EXPECT_EQ(EscapeForDisplay(c.in, DisplayForm::kExactBytes), c.exact ? c.exact : c.oneLine);
  }
  EXPECT_EQ(EscapeForDisplay(TString::fromStdString("id\x1b]0;t\x07")), TString("id\\x1b]0;t\\x07"));
}

}  // namespace
}  // namespace zor::platform
