// Why a run ended, as an operator sees it on the console: the key download
// failing each way a network can fail, with the cause after the front line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "support/local_crash_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "support/tiny_proxy.h"

namespace zor::test {
namespace {

using ::testing::HasSubstr;

TEST(FailureMessagesTest, KeyDownloadFailuresNameTheirCause) {
  LocalCrashServer server;
  LocalCrashServer tlsServer(LocalCrashServer::Options{.https = true});
  TinyProxy proxy("user", "secret");
  const struct {
    const char* what;
    std::function<std::string()> settings;  // key endpoint and more; sets up any fault
    const char* cause;
  } cases[] = {
      {"refused", [] { return "rsa_endpoint: http://127.0.0.1:9/crash/key\n"; },
       "Couldn't connect to server"},
      {"404", [&] { return "rsa_endpoint: " + server.BaseUrl() + "/no/key\n"; },
       "(HTTP code: '404')"},
      {"503 with a body",
       [&] {
         server.AddFault("key", 1, "status", 503, "down for maintenance until 3am");
         return "rsa_endpoint: " + server.BaseUrl() + "/crash/key\n";
       },
       "Server response: 'down for maintenance until 3am'"},
      {"time-out",
       [&] {
         server.AddFault("key", 1, "hang");
         return "rsa_endpoint: " + server.BaseUrl() +
                "/crash/key\nservercrashupload.http_get_timeout_in_minutes: 0.02\n";
       },
       "The request was allowed 1200 ms (servercrashupload.http_get_timeout_in_minutes)."},
      {"untrusted certificate",
       [&] { return "rsa_endpoint: " + tlsServer.BaseUrl() + "/crash/key\n"; },
       "SSL certificate problem"},
      {"proxy wants credentials",
       [&] {
         return "rsa_endpoint: " + server.BaseUrl() +
                "/crash/key\nservercrashupload.proxy_server_host: 127.0.0.1\n"
                "servercrashupload.proxy_server_port: " +
                std::to_string(proxy.Port()) + "\n";
       },
       "407"},
  };
  ScopedTempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(dir.Sub("c.yml"), "servercrashupload.data.dir: " + dir.Sub("data") +
                                    "\nservercrashupload.log.dir: " + dir.Sub("logs") +
                                    "\nservercrashupload.upload_endpoint: " + server.BaseUrl() +
                                    "\nservercrashupload." + c.settings());
    ProcessOptions options;
    options.workingDirectory = dir.path();
    options.unsetEnvironment = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"};
    const ProcessResult r =
        RunProcess(ProgramPath(), {"--command", "send-crashes", "--config-file", "c.yml"}, options);
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.err, HasSubstr("Error occurred trying to download the Zorvane RSA public key"));
    EXPECT_THAT(r.err, HasSubstr(c.cause)) << r.err;
    EXPECT_THAT(ReadFile(dir.Sub("logs/zorcrashreporter.txt")), HasSubstr(c.cause));
    server.Reset();
  }
}

// A folder setting that names something else than a folder, or one that
// cannot be made, is named with what is there and the setting to change.
TEST(FailureMessagesTest, FolderSettingsThatCannotBeFoldersSaySo) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("file"), "x");
  const struct {
    const char* key;
    std::string value, message;
    const char* command = "send-crashes";
  } cases[] = {
      {"log.dir", dir.Sub("file"),
       "The logs directory '" + dir.Sub("file") +
           "' is not a directory but a regular file; set servercrashupload.log.dir"},
      {"log.dir", dir.Sub("file/logs"),
       "Failed to create logs directory '" + dir.Sub("file/logs") +
           "': Not a directory; set servercrashupload.log.dir"},
      {"data.dir", dir.Sub("file"),
       "The data directory '" + dir.Sub("file") +
           "' is not a directory but a regular file; set servercrashupload.data.dir"},
      {"data.dir", dir.Sub("file"),
       "The data directory '" + dir.Sub("file") +
           "' is not a directory but a regular file; set servercrashupload.data.dir",
       "list"},
      {"metrics.file", dir.Sub("file/run.prom"),
       "its folder '" + dir.Sub("file") +
           "' is not a directory but a regular file; set servercrashupload.metrics.file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value + " " + c.command);
    std::string settings;
    for (const char* key : {"log.dir", "data.dir"}) {
      settings += std::string("servercrashupload.") + key + ": " +
                  (key == std::string(c.key) ? c.value : dir.Sub(key)) + "\n";
    }
    if (c.key == std::string("metrics.file")) {
      settings += "servercrashupload.metrics.file: " + c.value + "\n";
    }
    WriteFile(dir.Sub("c.yml"),
              settings + "servercrashupload.upload_endpoint: http://127.0.0.1:9\n");
    ProcessOptions options;
    options.workingDirectory = dir.path();
    const ProcessResult r =
        RunProcess(ProgramPath(), {"--command", c.command, "--config-file", "c.yml"}, options);
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.out + r.err, HasSubstr(c.message));
  }
}

}  // namespace
}  // namespace zor::test
