// Reading the members of a JSON object by a table of names, with type checks
// whose failures name the kind of object and the member.
//
// Every stored object of the program is read the same way: its members are
// walked in order, a name is matched without regard to case, a later member
// of a name reads over an earlier one, and a member no reader takes is
// skipped (or reported). ReadMembers is that walk; each reader keeps only the
// table of its members.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "packages/json_document.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

// The checks for one kind of object, e.g. JsonMemberChecks{"Encryption
// metadata"}. Thread-safety: a constant value.
struct JsonMemberChecks {
  const char* object;  // the kind of object, as messages name it

  // Throws std::runtime_error "<object> member '<name>' is not <expected>".
  [[noreturn]] void ThrowTypeError(const char* name, const char* expected) const;
  // The text of `value`, a member named `name`. Throws as ThrowTypeError(name,
  // "a string") when it is not a string.
  zor::platform::TString RequireString(const Json::Value& value, const char* name) const;
};

// One member a reader takes: its name and what to do with its value. `read`
// returns false for a value it does not take (of another type): the member
// then counts as one no reader takes.
struct JsonMember {
  const char* name;
  std::function<bool(const Json::Value& value)> read;
};

// Hands each member of `object` (REQUIRES: an object), in order, to the first
// reader of its name in `members`; `unknown`, when set, gets the name of
// every member that no reader took. Throws what a reader throws.
void ReadMembers(const Json::Value& object, const std::vector<JsonMember>& members,
                 const std::function<void(const Json::Value& name)>& unknown = {});

// Readers for the common kinds of value; each returns false, changing
// nothing, for a value of another type.
// A string.
bool ReadText(const Json::Value& value, zor::platform::TString* out);
// A size or a count: an integer, or a text of digits read as a 64-bit
// number (so that a size above 2 GiB written as text keeps its value; a text
// that is no number reads as 0).
bool ReadCount(const Json::Value& value, uint64_t* out);

}  // namespace ZorErrorReporting
