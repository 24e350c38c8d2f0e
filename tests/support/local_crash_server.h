// The local crash server (tools/crash-server/crash-server.js) as a child
// process for tests: protocol routes, an s3rver store behind its /store front,
// the request list and fault switches (see the script's header comment).
//
// Lifecycle: the constructor makes a fresh data directory, starts the server
// on a free loopback port and returns once it listens; the destructor stops it
// (SIGTERM, then SIGKILL when it does not exit in time) and removes the data
// directory. The server also gets SIGTERM should the test process die first.
//
// Not thread-safe; use one object from one thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace zor::test {

// Defined outside the class: g++ refuses a nested struct with member
// initializers as a default argument within its own enclosing class.
struct LocalCrashServerOptions {
  bool https = false;  // serve HTTPS with the certificate at CertificatePath()
};

class LocalCrashServer {
 public:
  using Options = LocalCrashServerOptions;

  // Starts node crash-server.js --port 0 with a data dir of its own.
  // Throws std::runtime_error naming the script when it does not start.
  explicit LocalCrashServer(Options options = {});
  ~LocalCrashServer();
  LocalCrashServer(const LocalCrashServer&) = delete;
  LocalCrashServer& operator=(const LocalCrashServer&) = delete;

  // "http(s)://127.0.0.1:<port>", without a trailing slash.
  std::string BaseUrl() const { return baseUrl_; }
  // The server's data directory (key pair, tls/, packages/<crash_id>.json, s3/).
  std::string DataDir() const { return dataDir_.path(); }
  // The lines of a configuration file that send the program's uploads here,
  // with its data, dump and log directories (`dumpDirs` as the setting takes it).
  std::string Settings(const std::string& dataDir, const std::string& dumpDirs,
                       const std::string& logDir) const;
  // The self-signed certificate of an HTTPS server (tls/cert.pem in the data
  // dir), to trust as the CA; it exists once the constructor has returned.
  std::string CertificatePath() const;

  // POST /_test/faults: the `nth` request of `kind` from now on (1-based) and
  // the `times` - 1 after it get `action` ("status" with `status`, `body` and
  // `headers`, "drop", "hang", "delay" of `ms`, "hold" until Release). Throws
  // std::runtime_error when the server refuses the fault (the message carries
  // its reason).
  void AddFault(const std::string& kind, int nth, const std::string& action, int status = 0,
                const std::string& body = "", int ms = 0, int times = 1,
                const std::map<std::string, std::string>& headers = {});
  // POST /_test/reset: clears faults and the request list, and releases the
  // held requests. Throws as AddFault.
  void Reset();
  // POST /_test/release: lets the requests that "hold" faults keep waiting go
  // on. Throws as AddFault.
  void Release();
  // GET /_test/requests: the JSON array of the requests since start or reset,
  // as the server sent it. Throws as AddFault.
  std::string RequestsJson() const;

  // The crash ids of the records the server holds (packages/<crash_id>.json),
  // never the dot-named temporary it saves a record through: an analysis
  // after a completion may be writing one while a test looks.
  std::vector<std::string> CrashIds() const;
  // The record of `crashId`, packages/<crash_id>.json.
  std::string RecordPath(const std::string& crashId) const {
    return DataDir() + "/packages/" + crashId + ".json";
  }

  // Runs decrypt.js --zip to write the decrypted zip of `crashId` to `zipPath`.
  // Returns true iff it succeeded; on failure `error` (when not null) gets the
  // script's standard error.
  bool DecryptZip(const std::string& crashId, const std::string& zipPath,
                  std::string* error) const;

  // What decrypt.js prints for `crashId`: the registration JSON, the
  // decrypted customer details when there are any, and the zip's entries.
  std::string Show(const std::string& crashId) const;

 private:
  // One request to a test route; returns the body of a 200 reply.
  std::string Call(const std::string& method, const std::string& path,
                   const std::string& body) const;
  void Stop();

  ScopedTempDir dataDir_;
  bool https_;
  pid_t pid_ = -1;
  int outFd_ = -1;  // the read end of the server's standard output
  std::string baseUrl_;
  // Reads outFd_ until the server exits: a full pipe would block its log line.
  std::thread drain_;
};

}  // namespace zor::test
