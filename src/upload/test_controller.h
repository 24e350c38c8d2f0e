// TestController: lets an automated test hold an upload command at a fixed
// point and release it when the test is ready.
//
// Run listens on a local socket of the configured name (world-accessible),
// waits for one connection and then for one command; the only command is the
// eight bytes "continue", sent in one write, with nothing before or after it.
// The controller sends nothing back; it closes the connection when it lets
// the command go on or gives up. Stages of one Run:
//   1. listening (a socket file left by a killed run is replaced first),
//   2. waiting for the connection (at most `connectionWaitMs`),
//   3. waiting for the command (at most `dataWaitMs`),
//   4. released (Run returns) or failed (Run throws).
// Nothing is retried, and a second connection is never accepted.
//
// Thread-safety: Run blocks the calling thread and needs no event loop; one
// object serves one Run at a time.
#pragma once

#include "platform/tstring.h"

namespace ZorErrorReporting {

class TestController {
 public:
  static constexpr int kDefaultWaitMs = 120000;

  // `name` is the local server name: a bare name lives in the system's
  // temporary directory, an absolute path is used as given. REQUIRES: not
  // empty (an empty setting means no controller at all).
  explicit TestController(zor::platform::TString name, int connectionWaitMs = kDefaultWaitMs,
                          int dataWaitMs = kDefaultWaitMs);

  // Returns once the test has sent "continue". Throws ZorvaneException, each
  // message naming the server:
  //   "Failed to start test controller server '<name>'." when listening fails,
  //     or when another live process listens under that name (its socket is
  //     left alone; the probe that finds it counts as a connection to it);
  //   "Timedout waiting for test to connect to test controller server
  //     '<name>'." when nobody connects in time;
  //   "The test controller server '<name>' failed to wait for a new
  //     connection." when waiting fails otherwise;
  //   "The test controller server '<name>' failed to wait for incoming data."
  //     when the test sends nothing in time or hangs up;
  //   "Received unsupported command '<text>' from test.Only supported command
  //     is \"continue\"." for anything else received.
  // The socket file that this Run created is removed when it returns or
  // throws.
  void Run();

 private:
  zor::platform::TString name_;
  int connectionWaitMs_;
  int dataWaitMs_;
};

}  // namespace ZorErrorReporting
