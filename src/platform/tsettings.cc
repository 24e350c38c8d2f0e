#include "platform/tsettings.h"

#include <QSettings>

#include "platform/file_identity.h"
#include "platform/standard_paths.h"

namespace zor::platform {

TPath TSettings::StorePath() {
  return UserBaseDirectory("XDG_CONFIG_HOME", ".config") / "zorvane/zorvane.ini";
}

TString TSettings::GetStringValue(const TString& group, const TString& name,
                                  const TString& defaultValue) {
  const TPath path = StorePath();
  if (!WhyFileNotPrivate(path).isEmpty()) return defaultValue;
  QSettings store(path.ToString(), QSettings::IniFormat);
  store.beginGroup(group);
  return store.value(name.ToQString(), defaultValue.ToQString()).toString();
}

TString TSettings::GetStringValue(int group, const TString& name, const TString& defaultValue) {
  return GetStringValue(TString("Group") + TString::Number(group), name, defaultValue);
}

}  // namespace zor::platform
