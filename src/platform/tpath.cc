#include "platform/tpath.h"

#include <ostream>

namespace zor::platform {

TPath::TPath(const TString& path) : path_(path) {
  // Collapse repeated separators and drop a trailing one so that equal paths
  // compare equal; "/" stays as it is. A backslash is a name character here.
  QString& s = path_.ToQString();
  while (s.contains(QStringLiteral("//"))) s.replace(QStringLiteral("//"), QStringLiteral("/"));
  if (s.size() > 1 && s.endsWith(QChar('/'))) s.chop(1);
}

TString TPath::Filename() const {
  const int64_t slash = path_.ReverseFind("/");
  return slash < 0 ? path_ : path_.mid(slash + 1);
}

TString TPath::Stem() const {
  const TString name = Filename();
  const TString ext = Extension();
  return name.left(name.size() - ext.size());
}

TString TPath::Extension() const {
  const TString name = Filename();
  const int64_t dot = name.ReverseFind(".");
  if (dot <= 0) return {};
  return name.mid(dot);
}

TPath TPath::Parent() const {
  const int64_t slash = path_.ReverseFind("/");
  if (slash < 0) return {};
  if (slash == 0) return TPath("/");
  return TPath(path_.left(slash));
}

TPath TPath::ReplaceExtension(const TString& ext) const {
  TString base = path_.left(path_.size() - Extension().size());
  if (ext.isEmpty()) return TPath(base);
  return TPath(ext.startsWith(".") ? base + ext : base + "." + ext);
}

TPath TPath::AppendToFilename(const TString& suffix) const { return TPath(path_ + suffix); }

TPath operator/(const TPath& a, const TPath& b) {
  if (a.IsEmpty()) return b;
  if (b.IsEmpty()) return a;
  if (b.IsAbsolute()) return TPath(a.path_ + b.path_);
  return TPath(a.path_ + "/" + b.path_);
}

std::ostream& operator<<(std::ostream& os, const TPath& p) { return os << p.ToString(); }

}  // namespace zor::platform
