// Name tables of the package model's enumerations: one table per enumeration,
// indexed by value, whose values run from 0 without gaps. State files write an
// enumeration as its name. Thread-safety: pure functions over constant tables.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "platform/tstring.h"

namespace ZorErrorReporting::EnumNames {

// The name of `value` in `names`, or nullopt when the value has none (a
// negative value included).
template <class E, std::size_t N>
std::optional<zor::platform::TString> Find(const std::array<const char*, N>& names, E value) {
  // A negative value turns into a huge index and so has no name either.
  const auto index = static_cast<std::size_t>(static_cast<int>(value));
  if (index >= N) return std::nullopt;
  return zor::platform::TString(names[index]);
}

// The name of `value` in `names`, or the name of value 0 when it has none.
template <class E, std::size_t N>
zor::platform::TString NameOrFirst(const std::array<const char*, N>& names, E value) {
  return Find(names, value).value_or(zor::platform::TString(names[0]));
}

// The value of the first entry of `names` that equals `name`, ignoring case,
// or nullopt when none does.
template <class E, std::size_t N>
std::optional<E> Find(const std::array<const char*, N>& names, const zor::platform::TString& name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name.EqualsNoCase(names[i])) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace ZorErrorReporting::EnumNames
