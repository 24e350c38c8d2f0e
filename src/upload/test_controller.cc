#include "upload/test_controller.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <memory>

#include "log/log_functions.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;
namespace ZorvaneError = zor::platform::ZorvaneError;

namespace {

constexpr char kContinue[] = "continue";
// A local connect is answered at once by a listening socket; this only bounds
// a listener whose backlog is full.
constexpr int kProbeWaitMs = 1000;

bool SomeoneListensOn(const TString& name) {
  QLocalSocket probe;
  probe.connectToServer(name);
  const bool connected = probe.waitForConnected(kProbeWaitMs);
  probe.abort();
  return connected;
}

[[noreturn]] void ThrowForServer(const char* pattern, const TString& name,
                                 const TString& cause = {}) {
  const TString message = TFormatString(pattern).arg(name);
  if (cause.isEmpty()) throw ZorvaneException(message);
  throw ZorvaneException(message, ZorvaneError::MakeError("test-controller", cause));
}

}  // namespace

TestController::TestController(TString name, int connectionWaitMs, int dataWaitMs)
    : name_(std::move(name)), connectionWaitMs_(connectionWaitMs), dataWaitMs_(dataWaitMs) {}

void TestController::Run() {
  constexpr char kListenFailed[] = "Failed to start test controller server '%1'.";
  // A run killed with SIGKILL leaves its socket file behind; it is removed so
  // that listen does not depend on how Qt treats an existing file. A file that
  // still answers belongs to a live run (a world-access listen would silently
  // replace it), so that is a failure instead.
  if (SomeoneListensOn(name_)) {
    ThrowForServer(kListenFailed, name_, "another process is listening on it");
  }
  QLocalServer::removeServer(name_);

  // Owned here so that every way out closes the connection and removes the
  // socket file.
  auto server = std::make_unique<QLocalServer>(QCoreApplication::instance());
  server->setSocketOptions(QLocalServer::WorldAccessOption);
  if (!server->listen(name_)) ThrowForServer(kListenFailed, name_, server->errorString());

  LogText(
      TLog::Info,
      TFormatString("Test controller is configured. Waiting for test to connect to server '%1'...")
          .arg(name_));
  if (!server->hasPendingConnections()) {
    bool timedOut = false;
    if (!server->waitForNewConnection(connectionWaitMs_, &timedOut)) {
      if (timedOut) {
        ThrowForServer("Timedout waiting for test to connect to test controller server '%1'.",
                       name_);
      }
      ThrowForServer("The test controller server '%1' failed to wait for a new connection.", name_,
                     server->errorString());
    }
  }
  QLocalSocket* connection = server->nextPendingConnection();  // weak: owned by the server
  LogText(TLog::Info,
          "Test controller received connection, waiting for signal to continue execution.");

  if (!connection->waitForReadyRead(dataWaitMs_)) {
    ThrowForServer("The test controller server '%1' failed to wait for incoming data.", name_,
                   connection->errorString());
  }
  const QByteArray bytes = connection->readAll();
  const TString received = TString::fromUtf8(bytes.constData(), bytes.size());
  if (received != TString(kContinue)) {
    throw ZorvaneException(
        TFormatString(
            "Received unsupported command '%1' from test.Only supported command is \"continue\".")
            .arg(received));
  }
  LogText(TLog::Info, "Test controller received signal to continue execution.");
}

}  // namespace ZorErrorReporting
