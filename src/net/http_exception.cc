#include "net/http_exception.h"

namespace ZorErrorReporting {

HTTPException::HTTPException(int httpCode, const zor::platform::TString& message,
                             const zor::platform::TString& errorText,
                             zor::platform::TError::ErrorInfo error,
                             const zor::platform::TString& storeCode)
    : ZorvaneException(message, std::move(error)),
      httpCode_(httpCode),
      errorText_(errorText),
      storeCode_(storeCode) {}

}  // namespace ZorErrorReporting
