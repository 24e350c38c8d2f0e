#include "platform/shutdown_stack.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/async_task.h"

namespace zor::platform::TStartup {
namespace {

TEST(ShutdownStackTest, RunsLastPushedFirstOnceAndRefusesDuplicateNames) {
  ShutdownStack stack;
  std::string order;
  EXPECT_TRUE(stack.Push("a", [&] { order += "a"; }));
  EXPECT_TRUE(stack.Push("b", [&] { order += "b"; }));
  EXPECT_FALSE(stack.Push("a", [&] { order += "A"; }));
  EXPECT_TRUE(stack.Push("c", [&] { order += "c"; }));
  stack.RunAndDiscard();
  stack.RunAndDiscard();
  EXPECT_EQ(order, "cba");
  // Once discarded, a name may be pushed again.
  EXPECT_TRUE(stack.Push("a", [&] { order += "A"; }));
  stack.RunAndDiscard();
  EXPECT_EQ(order, "cbaA");
}

TEST(ShutdownStackTest, ThrowingActionDoesNotStopTheOthers) {
  ShutdownStack stack;
  std::string order;
  stack.Push("first", [&] { order += "1"; });
  stack.Push("fails", [&] { throw std::runtime_error("boom"); });
  stack.Push("last", [&] { order += "3"; });
  EXPECT_THROW(stack.RunAndDiscard(), std::runtime_error);
  EXPECT_EQ(order, "31");
  EXPECT_EQ(stack.Size(), 0u);
}

TEST(ShutdownStackTest, ActionPushedWhileRunningWaitsForTheNextRun) {
  ShutdownStack stack;
  int runs = 0;
  stack.Push("outer", [&] { stack.Push("inner", [&] { ++runs; }); });
  stack.RunAndDiscard();
  EXPECT_EQ(runs, 0);
  stack.RunAndDiscard();
  EXPECT_EQ(runs, 1);
}

// The start-up pattern: a cancellation installed for the run and cleared by
// the process-wide stack at shutdown.
TEST(ShutdownStackTest, ClearsTheCurrentCancellation) {
  const auto cancel = AsyncTask::Cancel::Create();
  ASSERT_EQ(AsyncTask::Cancel::Get(), cancel);
  cancel->RequestCancel();
  ASSERT_TRUE(ShutdownStack::Get().Push("StopCancelMgr", [] { AsyncTask::Cancel::Set(nullptr); }));
  ShutdownStack::Get().RunAndDiscard();
  EXPECT_EQ(AsyncTask::Cancel::Get(), nullptr);
  EXPECT_FALSE(AsyncTask::Cancel::Create()->IsCancelled());
  AsyncTask::Cancel::Set(nullptr);
}

}  // namespace
}  // namespace zor::platform::TStartup
