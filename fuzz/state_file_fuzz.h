// The check shared by the state-file targets: the input becomes a file, the
// class's own LoadFromFile reads it, and whatever it accepts must write back
// as JSON that reads again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "packages/json_document.h"
#include "platform/tpath.h"

namespace zor::fuzz {

template <class T>
void FuzzStateFile(const uint8_t* data, size_t size, const std::string& fileName) {
  const std::string path = WriteScratchFile(fileName, data, size);
  ExpectOnlyOurErrors(
      [&] {
        const auto object = T::LoadFromFile(zor::platform::TPath(path));
        const std::string written = ZorErrorReporting::Json::WriteCompact(object->ToJson());
        ZorErrorReporting::Json::Document again;
        zor::platform::TString reason;
        if (!ZorErrorReporting::Json::Parse(written, &again, &reason)) {
          Fail("a loaded object writes JSON that does not read back",
               written + ": " + reason.toStdString());
        }
      },
      {path});
}

}  // namespace zor::fuzz
