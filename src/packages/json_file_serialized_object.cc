#include "packages/json_file_serialized_object.h"

#include <exception>
#include <string>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/json_document.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

// How much of a file that is not JSON its load error quotes.
constexpr int64_t kQuotedTextLimit = 4096;

}  // namespace

void JsonFileSerializedObject::Save() {
  if (filePath_.IsEmpty()) throw ZorvaneException("Cannot save object as the path is not set");

  // The text is complete before any file is touched, so a ToJson failure
  // leaves the old file as it was.
  const std::string text = Json::WriteCompact(ToJson());
  // A file that the next run refuses to read is no record at all.
  if (text.size() > kMaxFileSize) {
    throw TooLarge(TFormatString("Cannot save '%1': its text has %2 bytes, more than %3 that are "
                                 "read back")
                       .arg(filePath_.ToString())
                       .arg(static_cast<uint64_t>(text.size()))
                       .arg(kMaxFileSize));
  }

  // Rewriting the file in place could leave it empty or cut short if the
  // process died mid-write (every status change and every uploaded part saves
  // a file); a temporary file renamed over it leaves old or new, nothing else.
  try {
    Filesystem::GetInstance().WriteFileAtomically(filePath_, text);
  } catch (zor::platform::TPath::Exception& e) {
    e.StackMessageFront(
        TFormatString("Failed to open file for writing: '%1'").arg(filePath_.ToString()));
    throw;
  }
}

void JsonFileSerializedObject::SetFilePath(const TPath& path) {
  if (!filePath_.IsEmpty()) {
    throw ZorvaneException(
        TFormatString("Object is already serialized to a different location.Use RenameFilePath "
                      "to change serialized file location.Current serialization path is: '%1'.")
            .arg(filePath_.ToString()));
  }
  filePath_ = path;
}

void JsonFileSerializedObject::RenameFilePath(const TPath& newPath) {
  if (newPath == filePath_) return;  // its name already says what it holds
  Filesystem& filesystem = Filesystem::GetInstance();
  if (filesystem.FileExists(newPath)) {
    throw ZorvaneException(TFormatString("Cannot rename file because destination already "
                                         "exists!Original file: '%1'. Destination file: '%2'")
                               .arg(filePath_.ToString())
                               .arg(newPath.ToString()));
  }
  filesystem.RenamePath(filePath_, newPath);
  filePath_ = newPath;
}

TString JsonFileSerializedObject::UnexpectedParameterMessage(const TString& name) {
  return TFormatString("Ignoring unexpected parameter '%1' in JSON string").arg(name);
}

namespace {

// A state file or manifest is a few kilobytes; one far larger was not
// written by anyone who meant it to be read.
void CheckJsonFileSize(const TPath& path, uint64_t size) {
  if (size <= JsonFileSerializedObject::kMaxFileSize) return;
  throw ZorvaneException(TFormatString("Failed to read following content as JSON: '%1'. File: "
                                       "'%2'. Reason: the file has %3 bytes, more than %4.")
                             .arg(TString("..."))
                             .arg(path.ToString())
                             .arg(size)
                             .arg(JsonFileSerializedObject::kMaxFileSize));
}

}  // namespace

void JsonFileSerializedObject::ReadJsonFile(
    const TPath& path, const std::function<void(const rapidjson::Value&)>& construct) {
  Filesystem& filesystem = Filesystem::GetInstance();
  CheckJsonFileSize(path, filesystem.FileSize(path));
  ParseJsonText(filesystem.ReadTextFile(path), path, construct);
}

void JsonFileSerializedObject::ReadJsonFile(
    zor::platform::TFile& file, const std::function<void(const rapidjson::Value&)>& construct) {
  CheckJsonFileSize(file.GetPath(), static_cast<uint64_t>(file.Size()));
  ParseJsonText(file.ReadText(), file.GetPath(), construct);
}

void JsonFileSerializedObject::ParseJsonText(
    const TString& text, const TPath& path,
    const std::function<void(const rapidjson::Value&)>& construct) {
  Json::Document document;
  TString reason;
  if (!Json::Parse(text.toStdString(), &document, &reason)) {
    // The message becomes one log line: a whole file of megabytes would bury
    // the log, and its start is what a reader needs.
    const TString quoted =
        text.size() > kQuotedTextLimit ? text.left(kQuotedTextLimit) + "..." : text;
    throw ZorvaneException(TFormatString("Failed to read following content as JSON: '%1'. "
                                         "File: '%2'. Reason: %3.")
                               .arg(quoted)
                               .arg(path.ToString())
                               .arg(reason));
  }
  if (!document.IsObject()) {
    throw ZorvaneException(
        TFormatString("The JSON content of '%1' is not an object").arg(path.ToString()));
  }
  try {
    construct(document);
  } catch (ZorvaneException& e) {
    // The reader's own words ("Package name is empty!") do not say which of
    // many state files is broken.
    e.StackMessageFront(TFormatString("Failed to read the JSON object in '%1'").arg(path.ToString()));
    throw;
  } catch (const std::exception& e) {
    throw ZorvaneException(TFormatString("Failed to read the JSON object in '%1': %2")
                               .arg(path.ToString())
                               .arg(e.what()));
  }
}

}  // namespace ZorErrorReporting
