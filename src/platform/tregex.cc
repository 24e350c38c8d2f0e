#include "platform/tregex.h"

#include <QRegularExpression>

namespace zor::platform {

class TRegex::Impl {
 public:
  Impl(const QString& pattern, QRegularExpression::PatternOptions options)
      : search(pattern, options), whole(QRegularExpression::anchoredPattern(pattern), options) {}

  static std::optional<TRegexMatch> Convert(const QRegularExpression& regex,
                                            const QRegularExpressionMatch& qmatch);

  QRegularExpression search;
  // A separate anchored form: a start-anchored match with a length check would
  // reject texts that match in full only after backtracking.
  QRegularExpression whole;
};

namespace {

QRegularExpression::PatternOptions OptionsFor(const TRegex::Options& in) {
  QRegularExpression::PatternOptions options = QRegularExpression::NoPatternOption;
  if (in.classes == TRegex::Classes::Unicode) {
    options |= QRegularExpression::UseUnicodePropertiesOption;
  }
  if (in.caseSensitivity == TRegex::Case::Insensitive) {
    options |= QRegularExpression::CaseInsensitiveOption;
  }
  if (in.dot == TRegex::Dot::MatchesNewline) {
    options |= QRegularExpression::DotMatchesEverythingOption;
  }
  if (in.greed == TRegex::Greed::Minimal) options |= QRegularExpression::InvertedGreedinessOption;
  return options;
}

}  // namespace

TString TRegexMatch::Captured(int index) const {
  if (index < 0 || index >= static_cast<int>(groups_.size())) return {};
  return groups_[static_cast<size_t>(index)].text;
}

TString TRegexMatch::Captured(const TString& name) const {
  for (const auto& [groupName, index] : names_) {
    if (groupName == name) return Captured(index);
  }
  return {};
}

int64_t TRegexMatch::CapturedStart(int index) const {
  if (index < 0 || index >= static_cast<int>(groups_.size())) return -1;
  return groups_[static_cast<size_t>(index)].start;
}

int64_t TRegexMatch::CapturedEnd(int index) const {
  const int64_t start = CapturedStart(index);
  return start < 0 ? -1 : start + groups_[static_cast<size_t>(index)].text.size();
}

TRegex::TRegex(const TString& pattern, Case caseSensitivity, Dot dot)
    : TRegex(pattern, Options{caseSensitivity, dot, Greed::Greedy, Classes::Unicode}) {}

TRegex::TRegex(const TString& pattern, const Options& options)
    : impl_(std::make_unique<Impl>(pattern.ToQString(), OptionsFor(options))) {}

TRegex::~TRegex() = default;
TRegex::TRegex(const TRegex& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}
TRegex& TRegex::operator=(const TRegex& other) {
  if (this != &other) impl_ = std::make_unique<Impl>(*other.impl_);
  return *this;
}
TRegex::TRegex(TRegex&&) noexcept = default;
TRegex& TRegex::operator=(TRegex&&) noexcept = default;

bool TRegex::IsValid() const { return impl_->search.isValid(); }

TString TRegex::ErrorString() const {
  if (impl_->search.isValid()) return {};
  return impl_->search.errorString() + QStringLiteral(" at offset ") +
         QString::number(impl_->search.patternErrorOffset());
}

std::optional<TRegexMatch> TRegex::Impl::Convert(const QRegularExpression& regex,
                                                 const QRegularExpressionMatch& qmatch) {
  if (!qmatch.hasMatch()) return std::nullopt;
  TRegexMatch match;
  for (int i = 0; i <= qmatch.lastCapturedIndex(); ++i) {
    match.groups_.push_back({qmatch.captured(i), qmatch.capturedStart(i)});
  }
  // Groups after the last one that took part are reported as absent.
  match.groups_.resize(static_cast<size_t>(regex.captureCount()) + 1);
  const QStringList names = regex.namedCaptureGroups();
  for (int i = 1; i < names.size(); ++i) {
    if (!names[i].isEmpty()) match.names_.emplace_back(names[i], i);
  }
  return match;
}

std::optional<TRegexMatch> TRegex::Match(const TString& text) const {
  if (!IsValid()) return std::nullopt;
  return Impl::Convert(impl_->whole, impl_->whole.match(text.ToQString()));
}

std::optional<TRegexMatch> TRegex::Search(const TString& text, int64_t from) const {
  if (!IsValid() || from < 0 || from > text.size()) return std::nullopt;
  return Impl::Convert(impl_->search,
                       impl_->search.match(text.ToQString(), static_cast<int>(from)));
}

std::optional<TRegexMatch> TRegex::SearchLast(const TString& text) const {
  // Try every start from the right; the first that matches there wins. A
  // match found from an earlier start may begin later than that start, so
  // only a match that begins exactly at the start counts.
  if (!IsValid()) return std::nullopt;
  for (int64_t start = text.size(); start >= 0; --start) {
    const QRegularExpressionMatch qmatch = impl_->search.match(
        text.ToQString(), static_cast<int>(start), QRegularExpression::NormalMatch,
        QRegularExpression::AnchoredMatchOption);
    if (qmatch.hasMatch()) return Impl::Convert(impl_->search, qmatch);
  }
  return std::nullopt;
}

TString TRegex::Escape(const TString& text) { return QRegularExpression::escape(text.ToQString()); }

}  // namespace zor::platform
