#include "upload/test_controller.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "packages/package_for_test.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test_support::ErrorOf;
using zor::platform::TString;

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// A Unix socket bound to `path` (listening when asked); the caller closes it.
int BoundSocket(const std::string& path, bool listening) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un address = AddressOf(path);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0) << path;
  if (listening) {
    EXPECT_EQ(listen(fd, 4), 0);
  }
  return fd;
}

// The test's side of the protocol, on its own thread: connects as soon as the
// controller listens, sends `command` in one write (nothing when absent) and
// waits for the controller to hang up. Gives up connecting when destroyed.
class TestSide {
 public:
  TestSide(std::string path, std::optional<std::string> command)
      : thread_([this, path = std::move(path), command = std::move(command)] {
          const sockaddr_un address = AddressOf(path);
          int fd = -1;
          while (!stop_) {
            fd = socket(AF_UNIX, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
              break;
            }
            close(fd);
            fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // retry pace only
          }
          if (fd < 0) return;
          if (command) {
            EXPECT_EQ(write(fd, command->data(), command->size()), ssize_t(command->size()));
          }
          char byte;
          while (read(fd, &byte, 1) > 0) {
          }
          close(fd);
        }) {}
  ~TestSide() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

class TestControllerTest : public ::testing::Test {
 protected:
  zor::test::ScopedTempDir dir_;
  const std::string path_ = dir_.Sub("controller");
};

TEST_F(TestControllerTest, OnlyTheExactWordContinueReleasesInTime) {
  const auto unsupported = [](const char* text) {
    return "Received unsupported command '" + std::string(text) +
           "' from test.Only supported command is \"continue\".";
  };
  const struct {
    bool connects;
    std::optional<std::string> sent;  // nothing: the test stays silent
    std::string error;                // empty: released
    bool staleSocket = false;         // what a SIGKILLed run leaves behind
  } rows[] = {
      {true, "continue", ""},
      {true, "continue", "", true},
      {true, "continue\n", unsupported("continue\n")},
      {true, "Continue", unsupported("Continue")},
      {true, std::nullopt,
       "The test controller server '" + path_ + "' failed to wait for incoming data."},
      {false, std::nullopt,
       "Timedout waiting for test to connect to test controller server '" + path_ + "'."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sent.value_or("(nothing)") + (row.connects ? "" : ", no connection"));
    if (row.staleSocket) close(BoundSocket(path_, false));
    // Only the time-out a row is about is short.
    TestController controller(TString(path_), row.connects ? 60000 : 50, row.sent ? 60000 : 50);
    std::optional<TestSide> side;
    if (row.connects) side.emplace(path_, row.sent);
    if (row.error.empty()) {
      EXPECT_NO_THROW(controller.Run());
    } else {
      EXPECT_EQ(ErrorOf([&] { controller.Run(); }), row.error);
    }
  }
}

TEST_F(TestControllerTest, LiveServerOfTheSameNameIsNotTakenOver) {
  const int live = BoundSocket(path_, true);
  struct stat before {};
  ASSERT_EQ(stat(path_.c_str(), &before), 0);

  TestController controller(TString(path_), 50, 50);
  EXPECT_EQ(ErrorOf([&] { controller.Run(); }),
            "Failed to start test controller server '" + path_ + "'.");
  struct stat after {};
  EXPECT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  close(live);
}

}  // namespace
}  // namespace ZorErrorReporting
