#include "platform/process_exit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "support/subprocess.h"

namespace zor::platform {
namespace {

void Put(const char* text) {
  if (write(STDOUT_FILENO, text, 1) < 0) std::abort();
}

struct WritesOnDestruction {
  ~WritesOnDestruction() { Put("S"); }
};

TEST(ProcessExitTest, ActionsRunNewestFirstAfterLaterStaticsAndPastAThrowingOne) {
  const auto result = zor::test::RunInChild([]() -> int {
    RegisterProcessExitAction([] { Put("1"); });
    // A static made after action 1 is destroyed before action 1 runs, and
    // outlives action 2, which is registered after it.
    static WritesOnDestruction made_between;
    RegisterProcessExitAction([] { Put("2"); });
    RegisterProcessExitAction([] { throw std::runtime_error("exit action test"); });
    RegisterProcessExitAction([] { Put("3"); });
    std::exit(0);
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "32S1");
}

}  // namespace
}  // namespace zor::platform
