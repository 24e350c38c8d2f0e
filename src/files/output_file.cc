#include "files/output_file.h"

#include <utility>

#include "files/fault_point.h"
#include "files/filesystem.h"
#include "platform/path_error.h"

namespace ZorErrorReporting {

using zor::platform::TFile;
using zor::platform::TPath;

OutputFile::OutputFile(const TPath& path, TFile file, Sync sync)
    : path_(path), file_(std::move(file)), sync_(sync) {}

OutputFile::~OutputFile() {
  if (committed_) return;
  file_.Close();
  Filesystem::GetInstance().RemovePath(path_);
}

void OutputFile::Write(const char* data, size_t size) {
  file_.Write(data, static_cast<int64_t>(size));
  written_ += static_cast<int64_t>(size);
  if (sync_ == Sync::kOnCommit && written_ - writtenBack_ >= kWriteBackBytes) {
    file_.StartWriteBack(writtenBack_, written_ - writtenBack_);
    writtenBack_ = written_;
  }
}

void OutputFile::Commit() {
  if (sync_ == Sync::kOnCommit) {
    if (const int error = BeforeDurableChange("sync", path_.ToString()); error != 0) {
      zor::platform::ThrowPathError("TFile: cannot sync '" + path_.ToString() + "'", error);
    }
    file_.Sync();
  }
  file_.Close();
  committed_ = true;
}

}  // namespace ZorErrorReporting
