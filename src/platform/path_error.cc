#include "platform/path_error.h"

#include <cerrno>

#include <cstring>

namespace zor::platform {

namespace {

// strerror_r comes in two forms, by feature macros: the GNU one returns the
// text, the POSIX one fills the buffer. These take the text from either.
[[maybe_unused]] const char* StrerrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* StrerrorText(const char* result, const char*) { return result; }

}  // namespace

TString ErrnoText(int error) {
  // strerror may share one buffer between threads; strerror_r does not.
  char buffer[256] = {};
  return TString(StrerrorText(::strerror_r(error, buffer, sizeof buffer), buffer));
}

bool IsShortOfResources(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

TString PathErrorMessage(const TString& context, int error) {
  return context + ": " + ErrnoText(error);
}

void ThrowPathError(const TString& context, int error) {
  ThrowPathRefusal(PathErrorMessage(context, error), error);
}

void ThrowPathRefusal(const TString& message, int error) {
  throw TPath::Exception(message, ZorvaneError::MakeError("file-system", message, error));
}

}  // namespace zor::platform
