#include "net/http_exception.h"

namespace ZorErrorReporting {

HTTPException::HTTPException(int httpCode, const zor::platform::TString& message,
                             const zor::platform::TString& errorText,
                             zor::platform::TError::ErrorInfo error)
    : ZorvaneException(message, std::move(error)), httpCode_(httpCode), errorText_(errorText) {}

}  // namespace ZorErrorReporting
