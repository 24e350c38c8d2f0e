// The minidump file format: the record layouts and constants that the
// minidump writer emits, as debuggers read them (little-endian, packed, at
// 32-bit file offsets called RVAs), plus the Linux streams that carry
// /proc files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zor::platform::minidump {

constexpr uint32_t kSignature = 0x504d444d;  // "MDMP"
constexpr uint32_t kVersion = 0xa793;
constexpr uint64_t kFlagsFullMemory = 0x2;

constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kMemoryListStream = 5;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
constexpr uint32_t kMemory64ListStream = 9;
constexpr uint32_t kMiscInfoStream = 15;
// The Linux streams that debuggers and symbolizers read.
constexpr uint32_t kAssertionInfoStream = 0x47670002;
constexpr uint32_t kLinuxCpuInfoStream = 0x47670003;
constexpr uint32_t kLinuxProcStatusStream = 0x47670004;
constexpr uint32_t kLinuxLsbReleaseStream = 0x47670005;  // carries /etc/os-release
constexpr uint32_t kLinuxCmdLineStream = 0x47670006;
constexpr uint32_t kLinuxAuxvStream = 0x47670008;
constexpr uint32_t kLinuxMapsStream = 0x47670009;

constexpr uint16_t kArchitectureAmd64 = 9;
constexpr uint32_t kPlatformLinux = 0x8201;
constexpr uint32_t kContextAmd64 = 0x00100000;
constexpr uint32_t kContextControl = 0x1, kContextInteger = 0x2, kContextSegments = 0x4,
                   kContextFloatingPoint = 0x8;
constexpr uint32_t kCvSignatureElfBuildId = 0x4270454c;  // "LEpB"
constexpr uint32_t kMiscInfoProcessId = 0x1;

struct __attribute__((packed)) MdLocation {
  uint32_t dataSize;
  uint32_t rva;
};

struct __attribute__((packed)) MdMemoryDescriptor {
  uint64_t start;
  MdLocation memory;
};

struct __attribute__((packed)) MdMemoryDescriptor64 {
  uint64_t start;
  uint64_t size;
};

struct __attribute__((packed)) MdHeader {
  uint32_t signature;
  uint32_t version;
  uint32_t streamCount;
  uint32_t streamDirectoryRva;
  uint32_t checksum;
  uint32_t timeDateStamp;
  uint64_t flags;
};

struct __attribute__((packed)) MdDirectory {
  uint32_t streamType;
  MdLocation location;
};

struct __attribute__((packed)) MdSystemInfo {
  uint16_t processorArchitecture;
  uint16_t processorLevel;
  uint16_t processorRevision;
  uint8_t numberOfProcessors;
  uint8_t productType;
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;
  uint32_t csdVersionRva;
  uint16_t suiteMask;
  uint16_t reserved2;
  uint32_t vendorId[3];
  uint32_t versionInformation;
  uint32_t featureInformation;
  uint32_t amdExtendedCpuFeatures;
};

struct __attribute__((packed)) MdMiscInfo {
  uint32_t sizeOfInfo;
  uint32_t flags1;
  uint32_t processId;
  uint32_t processCreateTime;
  uint32_t processUserTime;
  uint32_t processKernelTime;
};

struct __attribute__((packed)) MdThread {
  uint32_t threadId;
  uint32_t suspendCount;
  uint32_t priorityClass;
  uint32_t priority;
  uint64_t teb;
  MdMemoryDescriptor stack;
  MdLocation context;
};

struct __attribute__((packed)) MdExceptionStream {
  uint32_t threadId;
  uint32_t alignment;
  uint32_t code;
  uint32_t flags;
  uint64_t record;
  uint64_t address;
  uint32_t parameterCount;
  uint32_t unusedAlignment;
  uint64_t parameters[15];
  MdLocation context;
};

struct __attribute__((packed)) MdModule {
  uint64_t base;
  uint32_t size;
  uint32_t checksum;
  uint32_t timeDateStamp;
  uint32_t nameRva;
  uint32_t versionInfo[13];
  MdLocation cvRecord;
  MdLocation miscRecord;
  uint64_t reserved0;
  uint64_t reserved1;
};

// An assertion's texts as UTF-16LE, each cut to fit and 0-terminated.
struct __attribute__((packed)) MdAssertionInfo {
  uint16_t expression[128];
  uint16_t function[128];
  uint16_t file[128];
  uint32_t line;
  uint32_t type;
};

struct __attribute__((packed)) MdContextAmd64 {
  uint64_t homes[6];
  uint32_t contextFlags;
  uint32_t mxCsr;
  uint16_t cs, ds, es, fs, gs, ss;
  uint32_t eflags;
  uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
  uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t rip;
  uint8_t fltSave[512];
  uint8_t vectorRegisters[26 * 16];
  uint64_t vectorControl;
  uint64_t debugControl, lastBranchToRip, lastBranchFromRip, lastExceptionToRip,
      lastExceptionFromRip;
};

static_assert(sizeof(MdHeader) == 32);
static_assert(sizeof(MdDirectory) == 12);
static_assert(sizeof(MdSystemInfo) == 56);
static_assert(sizeof(MdMiscInfo) == 24);
static_assert(sizeof(MdThread) == 48);
static_assert(sizeof(MdExceptionStream) == 168);
static_assert(sizeof(MdModule) == 108);
static_assert(sizeof(MdContextAmd64) == 1232);
static_assert(sizeof(MdAssertionInfo) == 776);

// Whether the first `size` bytes of a file at `bytes` are the header of a
// whole minidump of this writer's: it puts the header (signature, stream
// count, directory right after it) in place after every stream, so a dump
// cut short has none.
inline bool IsWholeMinidumpHeader(const char* bytes, size_t size) {
  MdHeader header;
  if (size < sizeof(header)) return false;
  memcpy(&header, bytes, sizeof(header));
  return header.signature == kSignature && header.streamCount > 0 &&
         header.streamDirectoryRva == sizeof(header);
}

}  // namespace zor::platform::minidump
