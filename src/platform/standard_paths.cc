#include "platform/standard_paths.h"

#include <QStandardPaths>

namespace zor::platform {

TPath UserDocumentsDirectory() {
  return TPath(TString(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)));
}

}  // namespace zor::platform
