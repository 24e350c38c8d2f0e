// What every fuzz target shares: process set-up, a private scratch directory
// and the checks on what a reader may throw.
//
// A target calls Init() from LLVMFuzzerInitialize, then per input runs the
// real reader inside ExpectOnlyOurErrors. A broken rule ends the process with
// abort(), which libFuzzer records as a crash together with the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/zorvane_exception.h"

namespace zor::fuzz {

// Creates the Qt application object and the scratch directory; call once.
void Init(int* argc, char*** argv);

// A directory of this process's own, under $TMPDIR (or /tmp), made by
// mkdtemp and removed at exit.
const std::string& ScratchDir();

// `name` inside ScratchDir(), with `data` as its whole content.
std::string WriteScratchFile(const std::string& name, const uint8_t* data, size_t size);

// Prints `what` and the message, then aborts.
[[noreturn]] void Fail(const std::string& what, const std::string& message);

// What a reader may throw besides ZorvaneException.
enum class Allow { kOursOnly, kRuntimeError };

// Runs `action`. An exception must be a ZorvaneException whose messages
// contain at least one of `names` (the input's path or other words that tell
// a reader which input failed), or with Allow::kRuntimeError a
// std::runtime_error with a non-empty text. A logic assertion is never
// acceptable: bad input is not a programming error.
template <class Action>
void ExpectOnlyOurErrors(Action action, const std::vector<std::string>& names,
                         Allow allow = Allow::kOursOnly) {
  try {
    action();
  } catch (const zor::platform::ZorvaneException& e) {
    const std::string text = e.GetConcatenatedMessages().toStdString();
    // Front message only: a quoted input may hold the words as well.
    if (text.starts_with("Logic assertion failed")) {
      Fail("logic assertion on input", text);
    }
    for (const auto& name : names) {
      if (text.find(name) != std::string::npos) return;
    }
    Fail("error does not name the input", text);
  } catch (const std::runtime_error& e) {
    if (allow != Allow::kRuntimeError) Fail("foreign std::runtime_error", e.what());
    if (std::string(e.what()).empty()) Fail("std::runtime_error without text", "");
  } catch (const std::exception& e) {
    Fail("foreign exception", e.what());
  } catch (...) {
    Fail("exception of no std type", "");
  }
}

}  // namespace zor::fuzz
