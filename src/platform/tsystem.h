// TSystem: facts about the machine and the running process, and a few process
// services. Every function may be called from any thread; none throws.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/tstring.h"

namespace zor::platform {

// The kernel release split into numbers: "6.1.0-18-amd64" is 6, 1, 0. A part
// that is missing or not a number reads as 0.
struct OSVersionInfo {
  int major = 0;
  int minor = 0;
  int build = 0;
  TString release;  // the whole release text, as uname reports it
};

namespace TSystem {

// "Linux".
TString OSShortName();
// The running kernel's release (uname).
OSVersionInfo OSVersion();
// Splits a kernel release text as OSVersion does.
OSVersionInfo ParseOSRelease(const TString& release);
// True iff the running kernel is a 64-bit one (not whether this program is).
bool OSIs64Bit();
// The host name (uname nodename), as the machine reports it.
TString ComputerName();
// The DNS domain of this machine: what follows the first dot of its fully
// qualified name, or an empty text when it has none. The name is looked up
// once per process (from the host name, else the resolver's canonical name
// for it) and the look-up is given up after about two seconds, so a machine
// with an unreachable name server answers empty instead of hanging.
TString ComputerDNSDomainName();
// A description of the processor: the first "model name" of /proc/cpuinfo,
// else the machine type ("x86_64").
TString Processor();

// The system locale's name in the form "language_TERRITORY" ("en_US"), or
// "C" when none is set.
TString SystemLocaleName();
// The environment variable `name` as UTF-8 text; `defaultValue` when it is
// not set (a variable set to an empty text gives an empty text).
TString EnvironmentString(const TString& name, const TString& defaultValue = {});
// True iff a tracer (a debugger, strace) is attached to this process.
bool BeingDebugged();
// Blocks the calling thread for at least `milliseconds` (nothing when <= 0).
void Sleep(int milliseconds);
// True iff a process of id `pid` exists (of any user; a zombie counts).
bool ProcessExists(int64_t pid);
// When the process `pid` started, in ms since the epoch, to about a second
// (the kernel counts from the boot in clock ticks and tells the boot to the
// second); nullopt when there is no such process or /proc cannot tell.
std::optional<int64_t> ProcessStartTimeMs(int64_t pid);

}  // namespace TSystem
}  // namespace zor::platform
