#include "files/output_file.h"

#include <utility>

#include "files/fault_point.h"
#include "files/filesystem.h"
#include "platform/path_error.h"

namespace ZorErrorReporting {

using zor::platform::TFile;
using zor::platform::TPath;

namespace {
constexpr uint64_t kWritebackBytes = 8 << 20;
}  // namespace

OutputFile::OutputFile(const TPath& path, TFile file) : path_(path), file_(std::move(file)) {}

OutputFile::~OutputFile() {
  if (committed_) return;
  file_.Close();
  Filesystem::GetInstance().RemovePath(path_);
}

void OutputFile::Write(const char* data, size_t size) {
  file_.Write(data, static_cast<int64_t>(size));
  written_ += size;
  // The disk writes while the next bytes are made, rather than all at once
  // in Commit's sync; a dump's gigabyte never waits as dirty pages.
  if (written_ - writebackStarted_ >= kWritebackBytes) {
    file_.StartWriteback(static_cast<int64_t>(writebackStarted_),
                         static_cast<int64_t>(written_ - writebackStarted_));
    writebackStarted_ = written_;
  }
}

void OutputFile::Commit() {
  if (const int error = BeforeDurableChange("sync", path_.ToString()); error != 0) {
    zor::platform::ThrowPathError("TFile: cannot sync '" + path_.ToString() + "'", error);
  }
  file_.Sync();
  file_.Close();
  committed_ = true;
}

}  // namespace ZorErrorReporting
