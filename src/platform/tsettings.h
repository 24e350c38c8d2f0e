// TSettings: the user's settings store, an INI file
// $XDG_CONFIG_HOME/zorvane/zorvane.ini (default ~/.config/zorvane/, ~ as
// UserHomeDirectory finds it). Groups are sections. Reads are safe from any
// thread; the store is read-only to this program, and read only when no other
// user could have written it (WhyFileNotPrivate): a run as root with a user's
// HOME must take neither that user's values nor a FIFO or link planted there.
#pragma once

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace zor::platform {

class TSettings {
 public:
  // The INI file: UserBaseDirectory("XDG_CONFIG_HOME", ".config") /
  // "zorvane/zorvane.ini". Not checked for existence.
  static TPath StorePath();
  // The value of `name` in section `group`, or `defaultValue` when unset or
  // when the store is not private.
  static TString GetStringValue(const TString& group, const TString& name,
                                const TString& defaultValue);
  // Numbered groups are sections named "Group<n>" (9: the repository group).
  static TString GetStringValue(int group, const TString& name, const TString& defaultValue);
};

}  // namespace zor::platform
