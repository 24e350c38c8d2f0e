#include "platform/tsystem.h"

#include "platform/alt_signal_stack.h"

#include <QLocale>

#include <netdb.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace zor::platform::TSystem {
namespace {

constexpr auto kNameLookupLimit = std::chrono::seconds(2);

utsname Uname() {
  utsname names{};
  if (uname(&names) != 0) names = utsname{};
  return names;
}

}  // namespace

// Each part is the run of digits after the previous dot; the first character
// that is neither ends the version.
OSVersionInfo ParseOSRelease(const TString& releaseText) {
  const std::string release = releaseText.toStdString();
  OSVersionInfo info;
  info.release = releaseText;
  int* parts[] = {&info.major, &info.minor, &info.build};
  size_t i = 0;
  for (int* part : parts) {
    if (i >= release.size() || release[i] < '0' || release[i] > '9') break;
    int value = 0;
    while (i < release.size() && release[i] >= '0' && release[i] <= '9' && value < 100000) {
      value = value * 10 + (release[i++] - '0');
    }
    *part = value;
    if (i >= release.size() || release[i] != '.') break;
    ++i;
  }
  return info;
}

namespace {

// The resolver's canonical name for `host`, or empty. getaddrinfo cannot be
// interrupted, so it runs on a thread of its own that may outlive the wait;
// the shared state keeps what it writes alive until it ends.
std::string CanonicalName(const std::string& host) {
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::string name;
  };
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host] {
      const AltSignalStack crashStack;
      addrinfo hints{};
      hints.ai_flags = AI_CANONNAME;
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* result = nullptr;
      std::string name;
      if (getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0) {
        if (result != nullptr && result->ai_canonname != nullptr) name = result->ai_canonname;
        freeaddrinfo(result);
      }
      std::lock_guard lock(lookup->mutex);
      lookup->name = std::move(name);
      lookup->done = true;
      lookup->done_cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return {};
  }
  std::unique_lock lock(lookup->mutex);
  if (!lookup->done_cv.wait_for(lock, kNameLookupLimit, [&] { return lookup->done; })) return {};
  return lookup->name;
}

std::string DomainOf(const std::string& name) {
  const auto dot = name.find('.');
  if (dot == std::string::npos) return {};
  std::string domain = name.substr(dot + 1);
  while (!domain.empty() && domain.back() == '.') domain.pop_back();
  return domain;
}

}  // namespace

TString OSShortName() { return "Linux"; }

OSVersionInfo OSVersion() { return ParseOSRelease(TString(std::string(Uname().release))); }

bool OSIs64Bit() {
  const std::string machine = Uname().machine;
  return machine.find("64") != std::string::npos || machine == "s390x";
}

TString ComputerName() { return TString(std::string(Uname().nodename)); }

TString ComputerDNSDomainName() {
  static const TString domain = [] {
    const std::string host = Uname().nodename;
    if (host.empty()) return TString();
    std::string found = DomainOf(host);
    if (found.empty()) found = DomainOf(CanonicalName(host));
    return TString(found);
  }();
  return domain;
}

TString Processor() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const TString model = TString(line.substr(colon + 1)).trim();
    if (!model.isEmpty()) return model;
  }
  return TString(std::string(Uname().machine));
}

TString SystemLocaleName() { return QLocale::system().name(); }

TString EnvironmentString(const TString& name, const TString& defaultValue) {
  const char* value = std::getenv(name.toStdString().c_str());
  return value != nullptr ? TString(value) : defaultValue;
}

bool BeingDebugged() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
  }
  return false;
}

void Sleep(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::optional<int64_t> ProcessStartTimeMs(int64_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The name in parentheses may hold spaces and ')': the fields follow the last.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  // Field 22, the start time, is the 20th after the name.
  for (int i = 0; i < 20 && fields >> field; ++i) {
  }
  std::ifstream system("/proc/stat");
  int64_t bootSeconds = -1;
  for (std::string entry; std::getline(system, entry);) {
    if (entry.rfind("btime ", 0) == 0) bootSeconds = std::strtoll(entry.c_str() + 6, nullptr, 10);
  }
  const long ticks = ::sysconf(_SC_CLK_TCK);
  char* end = nullptr;
  const long long started = std::strtoll(field.c_str(), &end, 10);
  if (!fields || field.empty() || *end != '\0' || bootSeconds < 0 || ticks <= 0) {
    return std::nullopt;
  }
  return bootSeconds * 1000 + started * 1000 / ticks;
}

bool ProcessExists(int64_t pid) {
  // EPERM: it exists, but belongs to someone this process may not signal.
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace zor::platform::TSystem
