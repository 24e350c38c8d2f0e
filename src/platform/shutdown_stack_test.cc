#include "platform/shutdown_stack.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/async_task.h"

namespace zor::platform::TStartup {
namespace {

TEST(ShutdownStackTest, RunsLastPushedFirstAndEmpties) {
  ShutdownStack stack;
  std::string order;
  EXPECT_TRUE(stack.Push("a", [&] { order += "a"; }));
  EXPECT_TRUE(stack.Push("b", [&] { order += "b"; }));
  EXPECT_TRUE(stack.Push("c", [&] { order += "c"; }));
  stack.RunAndDiscard();
  EXPECT_EQ(order, "cba");
  EXPECT_EQ(stack.Size(), 0u);
  stack.RunAndDiscard();
  EXPECT_EQ(order, "cba");
}

TEST(ShutdownStackTest, SecondPushOfANameIsRefusedUntilDiscarded) {
  ShutdownStack stack;
  std::string order;
  EXPECT_TRUE(stack.Push("x", [&] { order += "1"; }));
  EXPECT_FALSE(stack.Push("x", [&] { order += "2"; }));
  EXPECT_EQ(stack.Size(), 1u);
  stack.RunAndDiscard();
  EXPECT_EQ(order, "1");
  EXPECT_TRUE(stack.Push("x", [&] { order += "3"; }));
  stack.RunAndDiscard();
  EXPECT_EQ(order, "13");
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
  EXPECT_TRUE(stack.Contains("inner"));
  stack.RunAndDiscard();
  EXPECT_EQ(runs, 1);
}

// The start-up pattern: a cancellation installed for the run and cleared by
// the process-wide stack at shutdown.
TEST(ShutdownStackTest, ClearsTheCurrentCancellation) {
  const auto cancel = AsyncTask::Cancel::Create();
  ASSERT_EQ(AsyncTask::Cancel::Get(), cancel);
  cancel->RequestCancel();
  EXPECT_TRUE(AsyncTask::Cancel::Get()->IsCancelled());
  ASSERT_TRUE(ShutdownStack::Get().Push("StopCancelMgr", [] { AsyncTask::Cancel::Set(nullptr); }));
  ShutdownStack::Get().RunAndDiscard();
  EXPECT_EQ(AsyncTask::Cancel::Get(), nullptr);
  EXPECT_FALSE(AsyncTask::Cancel::Create()->IsCancelled());
  AsyncTask::Cancel::Set(nullptr);
}

}  // namespace
}  // namespace zor::platform::TStartup
