// JsonFileSerializedObject: the base of every object that the program keeps
// between runs as one JSON document in a file of its own (package status,
// manifest, encryption metadata, upload progress, customer details).
//
// An object is either unbound (empty path) or bound to one file. Lifecycle:
//   1. made in memory (a derived class's constructor), unbound;
//   2. bound: SetFilePath, or created bound by SaveNewFile / LoadFromFile;
//   3. saved as often as it changes (Save rewrites the whole file);
//   4. moved with RenameFilePath, which rebinds it.
//
// File format: one compact JSON object (no white space, no trailing newline),
// members in the order ToJson adds them; see packages/json_document.h.
//
// Ownership: objects are held by std::shared_ptr. Thread-safety: none; each
// object is used by one thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/tfile.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

class JsonFileSerializedObject {
 public:
  // The largest file that ReadJsonFile reads, and that Save writes.
  static constexpr uint64_t kMaxFileSize = 16 * 1024 * 1024;

  // What Save throws for a text that could not be read back.
  class TooLarge : public zor::platform::ZorvaneException {
   public:
    using ZorvaneException::ZorvaneException;
  };

  JsonFileSerializedObject() = default;
  JsonFileSerializedObject(const JsonFileSerializedObject&) = default;
  JsonFileSerializedObject& operator=(const JsonFileSerializedObject&) = default;

  // The object as a JSON object, members in the order of its file format.
  virtual rapidjson::Document ToJson() const = 0;

  // Writes the object to its bound file, replacing the whole content in one
  // step: a process that dies at any instant leaves the previous content or
  // the new one, never an empty or half-written file.
  // Throws ZorvaneException "Cannot save object as the path is not set" when
  // unbound (no file is created); "Failed to open file for writing: '<path>'"
  // (a TPath::Exception carrying the facade's message, which names the file
  // and the cause) when the temporary file cannot be created, written, synced
  // or renamed (Filesystem::WriteFileAtomically); TooLarge "Cannot save
  // '<path>': its text has <n> bytes, more than <kMaxFileSize> that are read
  // back" before any file is touched. The object itself never changes.
  virtual void Save();

  virtual ~JsonFileSerializedObject() = default;

  // The bound path, or an empty path.
  zor::platform::TPath GetFilePath() const { return filePath_; }

  // Binds an unbound object to `path` (no I/O). Throws ZorvaneException
  // "Object is already serialized to a different location.Use RenameFilePath
  // to change serialized file location.Current serialization path is:
  // '<current>'." when bound, even to the same path.
  void SetFilePath(const zor::platform::TPath& path);

  // Moves the bound file to `newPath` and rebinds the object; does not save.
  // Does nothing when `newPath` is the current path. When a file exists at
  // `newPath`: throws ZorvaneException "Cannot rename file because
  // destination already exists!Original file: '<current>'. Destination file:
  // '<new>'". Failures of the move itself
  // propagate (TPath::Exception); the object stays bound to its old path.
  void RenameFilePath(const zor::platform::TPath& newPath);

  // "Ignoring unexpected parameter '<name>' in JSON string": the text that
  // readers log at Warn for a member they do not know.
  static zor::platform::TString UnexpectedParameterMessage(const zor::platform::TString& name);

  // Binds `object` to `path`, saves it and returns it: the way every state
  // file comes into being. Throws what SetFilePath and Save throw.
  template <class T>
  static std::shared_ptr<T> SaveNewFile(std::shared_ptr<T> object,
                                        const zor::platform::TPath& path) {
    object->SetFilePath(path);
    object->Save();
    return object;
  }

 protected:
  // Reads the file at `path` as text (through the file-system facade), parses
  // it and calls `construct` with the root object. Throws:
  //   - what the facade throws for a missing or unreadable file;
  //   - ZorvaneException "Failed to read following content as JSON: '...'"
  //     naming the file and its size, before reading it, when it is larger
  //     than kMaxFileSize;
  //   - ZorvaneException "Failed to read following content as JSON:
  //     '<text>'" (the first 4096 characters and "..." of a longer text)
  //     followed by the file's path and the parser's reason, when
  //     the text is not JSON or nests deeper than Json::kMaxDepth;
  //   - ZorvaneException naming the file when the root is not an object, or
  //     when `construct` fails: its ZorvaneException gets the front message
  //     "Failed to read the JSON object in '<path>'", any other exception
  //     becomes one with that text followed by ": <what>".
  static void ReadJsonFile(const zor::platform::TPath& path,
                           const std::function<void(const rapidjson::Value&)>& construct);
  // As above, from the open `file` (named by its path), its size as fstat
  // gives it: for a file opened by TrustBoundary, whose name may mean
  // another file by now.
  static void ReadJsonFile(zor::platform::TFile& file,
                           const std::function<void(const rapidjson::Value&)>& construct);

  // LoadFromFile for classes whose JSON constructor takes the value and then
  // `args`: constructs a T from the file at `path` and binds it to `path`.
  // Throws as ReadJsonFile.
  template <class T, class... Args>
  static std::shared_ptr<T> LoadObjectFromFile(const zor::platform::TPath& path,
                                               const Args&... args) {
    std::shared_ptr<T> object;
    ReadJsonFile(
        path, [&](const rapidjson::Value& json) { object = std::make_shared<T>(json, args...); });
    object->SetFilePath(path);
    return object;
  }
  // As above, from the open `file`, bound to its path.
  template <class T, class... Args>
  static std::shared_ptr<T> LoadObjectFromFile(zor::platform::TFile& file, const Args&... args) {
    std::shared_ptr<T> object;
    ReadJsonFile(
        file, [&](const rapidjson::Value& json) { object = std::make_shared<T>(json, args...); });
    object->SetFilePath(file.GetPath());
    return object;
  }

 private:
  // Parses `text`, the content of `path`, and hands the object to `construct`.
  // Throws as ReadJsonFile.
  static void ParseJsonText(const zor::platform::TString& text, const zor::platform::TPath& path,
                            const std::function<void(const rapidjson::Value&)>& construct);

  zor::platform::TPath filePath_;
};

}  // namespace ZorErrorReporting
