#include "platform/interruption.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "support/subprocess.h"

namespace zor::platform {
namespace {

// In a child process each: signal dispositions are process-wide. The first
// signal is only recorded; the second, of either kind, ends the process
// with its default action.
TEST(Interruption, FirstSignalIsRecordedAndTheSecondEndsTheProcess) {
  const struct {
    int first, second;
  } cases[] = {{SIGTERM, SIGTERM}, {SIGINT, SIGINT}, {SIGTERM, SIGINT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Interruption::SignalName(c.first).toStdString());
    const zor::test::ProcessResult r = zor::test::RunInChild([&] {
      Interruption::Install();
      if (Interruption::Requested()) return 1;
      raise(c.first);
      if (Interruption::Signal() != c.first) return 2;
      try {
        Interruption::ThrowIfRequested();
        return 3;
      } catch (const RunInterrupted& e) {
        if (e.ExitStatus() != 128 + c.first) return 4;
        if (e.GetMessagesFront() != "Interrupted by " + Interruption::SignalName(c.first)) return 5;
      }
      raise(c.second);
      return 6;  // survived the second signal
    });
    EXPECT_EQ(r.status, 128 + c.second) << r.out << r.err;
  }
}

}  // namespace
}  // namespace zor::platform
