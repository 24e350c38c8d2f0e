// Test helper shared by the tests of every layer: the message of the
// exception that an action throws.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

namespace zor::test {

// what() of the exception that `action` throws (for a ZorvaneException, its
// front message), or a test failure when it throws none.
template <class Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  ADD_FAILURE() << "nothing thrown";
  return {};
}

}  // namespace zor::test
