// Building and throwing the failures of file operations: a message that names
// the failing class and the path, followed by the OS's text for an errno value.
#pragma once

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace zor::platform {

// The OS's description of `error` (an errno value), e.g. "No such file or
// directory". Thread-safe.
TString ErrnoText(int error);

// True iff `error` (an errno value) says the process itself is short of
// descriptors or memory (EMFILE, ENFILE, ENOMEM): nothing about a file.
bool IsShortOfResources(int error);

// "<context>: <ErrnoText(error)>", e.g. context "TFile: cannot open '/x'".
TString PathErrorMessage(const TString& context, int error);

// Throws TPath::Exception with PathErrorMessage(context, error) and an error
// record (code "file-system", systemError = error).
[[noreturn]] void ThrowPathError(const TString& context, int error);
// As ThrowPathError, for a refusal of the program's own: `message` is the
// whole text, `error` the errno value of the record (EACCES, typically).
[[noreturn]] void ThrowPathRefusal(const TString& message, int error);

}  // namespace zor::platform
