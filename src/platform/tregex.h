// TRegex: a compiled regular expression with numbered and named capture
// groups, in the Perl-compatible syntax ("(?<name>...)" names a group).
//
// By default letters, digits and "\w" follow Unicode, as the program's
// patterns expect for names and paths, and quantifiers are greedy. "." does not
// match a line break unless Dot::MatchesNewline is asked for. Options select
// case-insensitive matching, minimal (non-greedy) quantifiers, and classes
// limited to ASCII (the plain Perl-compatible defaults). An invalid pattern
// makes every match fail (IsValid tells why).
//
// Thread-safety: a compiled TRegex may be used from several threads at once;
// TRegexMatch is a plain value.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/tstring.h"

namespace zor::platform {

// The result of a successful match: the whole match is group 0.
class TRegexMatch {
 public:
  // The text of group `index`; empty when the group did not take part or the
  // index is out of range.
  TString Captured(int index = 0) const;
  // The text of the group called `name`; empty when there is no such group or
  // it did not take part.
  TString Captured(const TString& name) const;
  // Start offset (in UTF-16 code units) of group `index`, or -1 when the group
  // did not take part.
  int64_t CapturedStart(int index = 0) const;
  // Offset just past the end of group `index`, or -1 when it did not take part.
  int64_t CapturedEnd(int index = 0) const;
  // Number of groups of the pattern, without group 0.
  int LastCapturedIndex() const { return static_cast<int>(groups_.size()) - 1; }

 private:
  friend class TRegex;
  struct Group {
    TString text;
    int64_t start = -1;
  };
  std::vector<Group> groups_;
  std::vector<std::pair<TString, int>> names_;  // group name -> index
};

class TRegex {
 public:
  enum class Case { Sensitive, Insensitive };
  enum class Dot { ExceptNewline, MatchesNewline };
  // Minimal turns every quantifier lazy and every lazy one ("*?") greedy.
  enum class Greed { Greedy, Minimal };
  // Unicode: "\d", "\w" and "\s" cover all of Unicode. Ascii: "\d" is [0-9]
  // and "\w" [A-Za-z0-9_], as in a pattern compiled with no options.
  enum class Classes { Unicode, Ascii };

  struct Options {
    Case caseSensitivity = Case::Sensitive;
    Dot dot = Dot::ExceptNewline;
    Greed greed = Greed::Greedy;
    Classes classes = Classes::Unicode;
  };

  explicit TRegex(const TString& pattern, Case caseSensitivity = Case::Sensitive,
                  Dot dot = Dot::ExceptNewline);
  TRegex(const TString& pattern, const Options& options);
  ~TRegex();
  TRegex(const TRegex& other);
  TRegex& operator=(const TRegex& other);
  TRegex(TRegex&&) noexcept;
  TRegex& operator=(TRegex&&) noexcept;

  bool IsValid() const;
  // Empty for a valid pattern, else the compiler's message with the offset.
  TString ErrorString() const;

  // Matches the whole of `text` (both ends anchored); nullopt when it does not.
  std::optional<TRegexMatch> Match(const TString& text) const;
  // The first match that starts at or after `from`; nullopt when none.
  std::optional<TRegexMatch> Search(const TString& text, int64_t from = 0) const;
  // The match that starts furthest right in `text`; nullopt when none.
  std::optional<TRegexMatch> SearchLast(const TString& text) const;

  // `text` with every character that has a meaning in a pattern escaped.
  static TString Escape(const TString& text);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zor::platform
