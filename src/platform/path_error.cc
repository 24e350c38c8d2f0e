#include "platform/path_error.h"

#include <system_error>

namespace zor::platform {

TString ErrnoText(int error) {
  // Unlike strerror, the category's message is safe to call from any thread.
  return TString::fromStdString(std::generic_category().message(error));
}

TString PathErrorMessage(const TString& context, int error) {
  return context + ": " + ErrnoText(error);
}

void ThrowPathError(const TString& context, int error) {
  const TString message = PathErrorMessage(context, error);
  throw TPath::Exception(message, ZorvaneError::MakeError("file-system", message, error));
}

}  // namespace zor::platform
