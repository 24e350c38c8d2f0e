// The settings the program reads: one table, so that a key the program does
// not know can be named in a warning with the nearest one it does, and so
// that the README's table has one source to be checked against.
#pragma once

#include <span>

#include "platform/tstring.h"

namespace ZorErrorReporting {

struct KnownSetting {
  const char* key;           // the whole key, "servercrashupload.…"
  const char* type;          // how the value is read, as the README names it
  const char* defaultValue;  // what an absent key means
};

// Every key Config reads, in the README's order. Static storage.
std::span<const KnownSetting> KnownSettings();

// True iff `key` (exactly, case included) is in KnownSettings().
bool IsKnownSetting(const zor::platform::TString& key);

// The known key nearest to `key` by edit distance, when it is close enough to
// be a slip (fewer edits than a quarter of its length, plus one, case
// ignored); empty for a known key and when none is close.
zor::platform::TString NearestKnownSetting(const zor::platform::TString& key);

}  // namespace ZorErrorReporting
