#include "support/local_crash_server.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "support/subprocess.h"

namespace zor::test {

namespace {

const std::string kServerDir = std::string(ZOR_SOURCE_DIR) + "/tools/crash-server";
constexpr char kListening[] = "listening on ";
// Loading the AWS SDK and making the first key pair take seconds on a loaded
// machine; this only bounds a server that never comes up.
constexpr int kStartTimeoutMs = 120000;
constexpr auto kStopTimeout = std::chrono::seconds(10);

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

size_t AppendToString(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

// Reads one line (without its newline) from `fd`, a byte at a time so that
// nothing after it is taken; false when the deadline passes or EOF comes first.
bool ReadLine(int fd, std::string* line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    line->push_back(c);
  }
}

}  // namespace

LocalCrashServer::LocalCrashServer(Options options) : https_(options.https) {
  const std::string script = kServerDir + "/crash-server.js";
  const std::string node = ZOR_NODE_EXECUTABLE;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("LocalCrashServer: pipe failed");
  // Everything the child needs is made before fork: between fork and exec a
  // threaded test process may only make async-signal-safe calls.
  std::vector<const char*> argv = {node.c_str(), script.c_str(), "--port", "0", "--data",
                                   dataDir_.path().c_str()};
  if (https_) argv.push_back("--https");
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("LocalCrashServer: fork failed for " + script);
  if (pid_ == 0) {
    // A test that dies must not leave the server behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(fds[1], STDOUT_FILENO);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  close(fds[1]);
  outFd_ = fds[0];
  std::string line;
  const bool gotLine = ReadLine(outFd_, &line);
  if (!gotLine || line.rfind(kListening, 0) != 0) {
    Stop();
    throw std::runtime_error("LocalCrashServer: " + script + " (run by " + node +
                             ") did not start: first line '" + line + "'");
  }
  baseUrl_ = line.substr(sizeof kListening - 1);
  drain_ = std::thread([this] {
    char buffer[4096];
    while (read(outFd_, buffer, sizeof buffer) > 0) {
    }
  });
}

LocalCrashServer::~LocalCrashServer() { Stop(); }

void LocalCrashServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      usleep(20000);
    }
    if (done == 0) {
      std::fprintf(stderr, "LocalCrashServer: pid %d ignored SIGTERM; killing it\n", pid_);
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (drain_.joinable()) drain_.join();
  if (outFd_ >= 0) close(outFd_);
  outFd_ = -1;
}

std::string LocalCrashServer::CertificatePath() const { return DataDir() + "/tls/cert.pem"; }

std::string LocalCrashServer::Settings(const std::string& dataDir, const std::string& dumpDirs,
                                       const std::string& logDir) const {
  return "servercrashupload.upload_endpoint: " + baseUrl_ + "\nservercrashupload.rsa_endpoint: " +
         baseUrl_ + "/crash/key\nservercrashupload.data.dir: " + dataDir +
         "\nservercrashupload.dump.dirs: " + dumpDirs + "\nservercrashupload.log.dir: " + logDir +
         "\n";
}

std::string LocalCrashServer::Call(const std::string& method, const std::string& path,
                                   const std::string& body) const {
  const std::string url = baseUrl_ + path;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::runtime_error("LocalCrashServer: curl_easy_init failed for " + url);
  std::string reply;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");  // tests may set http_proxy for the program
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  if (https_) curl_easy_setopt(curl, CURLOPT_CAINFO, CertificatePath().c_str());
  if (method == "POST") {
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) {
    throw std::runtime_error("LocalCrashServer: " + method + " " + url + ": " +
                             curl_easy_strerror(code));
  }
  if (status != 200) {
    throw std::runtime_error("LocalCrashServer: " + method + " " + url + ": HTTP " +
                             std::to_string(status) + " " + reply);
  }
  return reply;
}

void LocalCrashServer::AddFault(const std::string& kind, int nth, const std::string& action,
                                int status, const std::string& body, int ms, int times,
                                const std::map<std::string, std::string>& headers) {
  std::string headerJson;
  for (const auto& [name, value] : headers) {
    if (!headerJson.empty()) headerJson += ',';
    headerJson += JsonString(name) + ":" + JsonString(value);
  }
  Call("POST", "/_test/faults",
       "{\"kind\":" + JsonString(kind) + ",\"nth\":" + std::to_string(nth) +
           ",\"action\":" + JsonString(action) + ",\"status\":" + std::to_string(status) +
           ",\"body\":" + JsonString(body) + ",\"ms\":" + std::to_string(ms) +
           ",\"times\":" + std::to_string(times) + ",\"headers\":{" + headerJson + "}}");
}

void LocalCrashServer::Reset() { Call("POST", "/_test/reset", ""); }

void LocalCrashServer::Release() { Call("POST", "/_test/release", ""); }

std::string LocalCrashServer::RequestsJson() const { return Call("GET", "/_test/requests", ""); }

std::vector<std::string> LocalCrashServer::CrashIds() const {
  std::vector<std::string> crashIds;
  for (const auto& entry : std::filesystem::directory_iterator(DataDir() + "/packages")) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with('.')) crashIds.push_back(entry.path().stem().string());
  }
  return crashIds;
}

bool LocalCrashServer::DecryptZip(const std::string& crashId, const std::string& zipPath,
                                  std::string* error) const {
  const ProcessResult result = RunProcess(
      ZOR_NODE_EXECUTABLE, {kServerDir + "/decrypt.js", "--data", DataDir(), crashId, "--zip", zipPath});
  if (result.status == 0) return true;
  if (error != nullptr) {
    *error = result.err.empty() ? "decrypt.js exited with " + std::to_string(result.status)
                                : result.err;
  }
  return false;
}

std::string LocalCrashServer::Show(const std::string& crashId) const {
  const ProcessResult result =
      RunProcess(ZOR_NODE_EXECUTABLE, {kServerDir + "/decrypt.js", "--data", DataDir(), crashId});
  return result.out + result.err;
}

}  // namespace zor::test
