// TPath: a file-system path held as text with '/' separators.
//
// Joining with operator/ inserts exactly one separator; NativeString is the
// form the OS takes (UTF-8 on Linux). Only '/' separates: a backslash is an
// ordinary character of a name, as it is to the OS. Comparison is by text,
// case-sensitive, after removing a trailing separator. Thread-safety: a value
// type.
#pragma once

#include <string>

#include "platform/tstring.h"
#include "platform/zorvane_exception.h"

namespace zor::platform {

class TPath {
 public:
  // Failure of a path, file or lock operation. Its message names the failing
  // class ("TFilesystem: ...", "TLockFile: ...") and the path, then the cause.
  class Exception : public ZorvaneException {
   public:
    using ZorvaneException::ZorvaneException;
  };

  TPath() = default;
  TPath(const TString& path);                        // NOLINT: paths come from text everywhere
  TPath(const char* path) : TPath(TString(path)) {}  // NOLINT
  TPath(const std::string& path) : TPath(TString(path)) {}  // NOLINT

  // The text of the path with '/' separators.
  const TString& ToString() const { return path_; }
  operator const TString&() const { return path_; }  // NOLINT
  // The path as the OS expects it: UTF-8 bytes on Linux.
  std::string NativeString() const { return path_.toStdString(); }

  bool IsEmpty() const { return path_.isEmpty(); }
  bool IsAbsolute() const { return path_.startsWith("/"); }

  // The last component ("b.txt" of "a/b.txt"); empty for "/" or an empty path.
  TString Filename() const;
  // The last component without its last extension ("b" of "a/b.tar.gz" is "b.tar").
  TString Stem() const;
  // The last extension with its dot (".gz"), empty when the name has none. A
  // leading dot of a hidden file's name does not start an extension.
  TString Extension() const;
  // Everything before the last component ("a" of "a/b.txt"); "/" for "/x";
  // empty for a bare name.
  TPath Parent() const;
  // The path with its last extension replaced by `ext` (with or without its
  // dot; empty removes the extension).
  TPath ReplaceExtension(const TString& ext) const;
  // The path with `suffix` appended to its last component.
  TPath AppendToFilename(const TString& suffix) const;

  friend TPath operator/(const TPath& a, const TPath& b);
  friend TPath operator/(const TPath& a, const char* b) { return a / TPath(b); }
  friend bool operator==(const TPath& a, const TPath& b) { return a.path_ == b.path_; }
  friend bool operator<(const TPath& a, const TPath& b) { return a.path_ < b.path_; }

 private:
  TString path_;
};

std::ostream& operator<<(std::ostream& os, const TPath& p);

}  // namespace zor::platform
