#include "platform/tsettings.h"

#include <QSettings>
#include <cstdlib>

namespace zor::platform {
namespace {

QString StoreFile() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  QString base;
  if (config != nullptr && *config != '\0') {
    base = QString::fromUtf8(config);
  } else {
    const char* home = std::getenv("HOME");
    base = QString::fromUtf8(home != nullptr ? home : "") + "/.config";
  }
  return base + "/zorvane/zorvane.ini";
}

}  // namespace

TString TSettings::GetStringValue(const TString& group, const TString& name,
                                  const TString& defaultValue) {
  QSettings store(StoreFile(), QSettings::IniFormat);
  store.beginGroup(group);
  return store.value(name.ToQString(), defaultValue.ToQString()).toString();
}

TString TSettings::GetStringValue(int group, const TString& name, const TString& defaultValue) {
  return GetStringValue(TString("Group") + TString::Number(group), name, defaultValue);
}

}  // namespace zor::platform
