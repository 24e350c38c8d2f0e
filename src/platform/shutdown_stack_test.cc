#include "platform/shutdown_stack.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace zor::platform::TStartup {
namespace {

// A throwing action does not stop the others, and one pushed while the stack
// runs waits for the next run.
TEST(ShutdownStackTest, RunsLastPushedFirstOnceAndRefusesDuplicateNames) {
  ShutdownStack stack;
  std::string order;
  EXPECT_TRUE(stack.Push("a", [&] { order += "a"; }));
  EXPECT_TRUE(stack.Push("fails", [] { throw std::runtime_error("boom"); }));
  EXPECT_FALSE(stack.Push("a", [&] { order += "A"; }));
  EXPECT_TRUE(stack.Push("c", [&] {
    order += "c";
    stack.Push("inner", [&] { order += "i"; });
  }));
  EXPECT_THROW(stack.RunAndDiscard(), std::runtime_error);
  EXPECT_EQ(order, "ca");
  EXPECT_EQ(stack.Size(), 1u);
  stack.RunAndDiscard();
  EXPECT_EQ(order, "cai");
  // Once discarded, a name may be pushed again.
  EXPECT_TRUE(stack.Push("a", [&] { order += "A"; }));
  stack.RunAndDiscard();
  EXPECT_EQ(order, "caiA");
}

}  // namespace
}  // namespace zor::platform::TStartup
