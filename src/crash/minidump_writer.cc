#include "crash/minidump_writer.h"

#include <cpuid.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "crash/memory_maps.h"
#include "crash/minidump_format.h"

#if !defined(__x86_64__)
#error "The minidump writer knows the x86-64 register context only."
#endif

namespace zor::platform {
namespace {

using namespace minidump;

constexpr int kMaxStreams = 16;

// What Prepare records for the crash-time writer.
struct Prepared {
  char osText[512] = {};
  uint32_t major = 0, minor = 0, build = 0;
  uint8_t processors = 1;
  uint64_t pageSize = 4096;
  // Where the kernel's start-up data on the main thread's stack begins (its
  // random bytes, then the argument and environment strings above them): a
  // stack copy ends below it, so that no environment secret goes out in a
  // minidump. 0 unknown.
  uint64_t stackCeiling = 0;
};
Prepared g_prepared;

// Scratch memory of the one running Write. Static, so a crash with an
// exhausted heap or address space still has it.
constexpr size_t kMapsCapacity = 2 << 20;
char g_mapsText[kMapsCapacity];
MemoryMaps g_maps(g_mapsText, kMapsCapacity);
uint8_t g_io[64 * 1024];
uint8_t g_notes[4096];

struct Module {
  uint64_t base;
  uint64_t end;
  const char* path;  // into g_maps
  size_t pathLength;
  uint32_t nameRva;
  MdLocation cvRecord;
};
constexpr size_t kMaxModules = 1024;
Module g_modules[kMaxModules];

// The thread list and memory list of the one running Write: one entry per
// thread, and one more memory range for the code around the fault.
constexpr size_t kMaxDumpThreads = ThreadSuspender::kMaxThreads + 1;
MdThread g_threads[kMaxDumpThreads];
MdMemoryDescriptor g_ranges[kMaxDumpThreads + 1];

// Reads up to `length` bytes of this process's memory at `address`; returns
// how many were read before the first unreadable byte.
size_t ReadMemory(int memFd, uint64_t address, void* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = pread(memFd, static_cast<char*>(buffer) + done, length - done,
                            static_cast<off_t>(address + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// The dump file: appends records and remembers whether any write failed.
class DumpFile {
 public:
  explicit DumpFile(int fd) : fd_(fd) {}

  uint64_t Offset() const { return offset_; }
  bool Ok() const { return ok_; }

  // Appends `length` bytes; returns the offset they start at.
  uint32_t Append(const void* data, size_t length) {
    const uint64_t at = offset_;
    WriteAt(at, data, length);
    offset_ += length;
    return static_cast<uint32_t>(at);
  }
  void AppendZeros(size_t length) {
    static const uint8_t kZeros[4096] = {};
    while (length > 0) {
      const size_t n = length < sizeof kZeros ? length : sizeof kZeros;
      Append(kZeros, n);
      length -= n;
    }
  }
  // Pads to an 8-byte boundary, so that records start aligned.
  void Align() { AppendZeros(static_cast<size_t>((8 - offset_ % 8) % 8)); }
  void WriteAt(uint64_t at, const void* data, size_t length) {
    size_t done = 0;
    while (ok_ && done < length) {
      const ssize_t n = pwrite(fd_, static_cast<const char*>(data) + done, length - done,
                               static_cast<off_t>(at + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok_ = false;
      if (n > 0) done += static_cast<size_t>(n);
    }
  }

  // Copies `length` bytes of memory at `address`; unreadable parts become
  // zeros so that the size promised by a descriptor holds.
  uint32_t AppendMemory(int memFd, uint64_t address, uint64_t length) {
    const uint32_t rva = static_cast<uint32_t>(offset_);
    while (length > 0 && ok_) {
      const size_t chunk = length < sizeof g_io ? static_cast<size_t>(length) : sizeof g_io;
      const size_t got = memFd >= 0 ? ReadMemory(memFd, address, g_io, chunk) : 0;
      if (got < chunk) memset(g_io + got, 0, chunk - got);
      Append(g_io, chunk);
      address += chunk;
      length -= chunk;
    }
    return rva;
  }

  // Appends the content of a file such as /proc/self/status; returns its
  // location (size 0 when it cannot be read).
  MdLocation AppendFile(const char* path) {
    MdLocation location{0, static_cast<uint32_t>(offset_)};
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return location;
    for (;;) {
      const ssize_t n = read(fd, g_io, sizeof g_io);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      Append(g_io, static_cast<size_t>(n));
      location.dataSize += static_cast<uint32_t>(n);
    }
    close(fd);
    return location;
  }

 private:
  int fd_;
  uint64_t offset_ = 0;
  bool ok_ = true;
};

// Decodes one UTF-8 sequence at `*p` (advancing it); a malformed one gives
// U+FFFD.
uint32_t DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
  const unsigned char lead = *p++;
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (extra < 0 || end - p < extra) return 0xFFFD;
  uint32_t code = lead & (0x3F >> extra);
  for (int i = 0; i < extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0xFFFD;
    code = (code << 6) | (p[i] & 0x3F);
  }
  p += extra;
  return code > 0x10FFFF ? 0xFFFD : code;
}

// Appends a minidump string (byte length, UTF-16LE text, a terminating 0)
// holding `text`; returns its offset.
uint32_t AppendString(DumpFile& file, const char* text, size_t length) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text);
  const auto* end = begin + length;
  uint32_t units = 0;
  for (const unsigned char* p = begin; p < end;) units += DecodeUtf8(p, end) > 0xFFFF ? 2 : 1;
  const uint32_t bytes = units * 2;
  const uint32_t rva = file.Append(&bytes, sizeof bytes);
  uint16_t buffer[256];
  size_t used = 0;
  for (const unsigned char* p = begin; p < end;) {
    const uint32_t code = DecodeUtf8(p, end);
    if (code > 0xFFFF) {
      buffer[used++] = static_cast<uint16_t>(0xD800 + ((code - 0x10000) >> 10));
      buffer[used++] = static_cast<uint16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      buffer[used++] = static_cast<uint16_t>(code);
    }
    if (used >= 254) {
      file.Append(buffer, used * 2);
      used = 0;
    }
  }
  buffer[used++] = 0;
  file.Append(buffer, used * 2);
  return rva;
}

void FillContext(const ucontext_t& uc, MdContextAmd64* c) {
  memset(c, 0, sizeof *c);
  c->contextFlags =
      kContextAmd64 | kContextControl | kContextInteger | kContextSegments | kContextFloatingPoint;
  const greg_t* g = uc.uc_mcontext.gregs;
  const auto reg = [g](int index) { return static_cast<uint64_t>(g[index]); };
  c->rax = reg(REG_RAX);
  c->rcx = reg(REG_RCX);
  c->rdx = reg(REG_RDX);
  c->rbx = reg(REG_RBX);
  c->rsp = reg(REG_RSP);
  c->rbp = reg(REG_RBP);
  c->rsi = reg(REG_RSI);
  c->rdi = reg(REG_RDI);
  c->r8 = reg(REG_R8);
  c->r9 = reg(REG_R9);
  c->r10 = reg(REG_R10);
  c->r11 = reg(REG_R11);
  c->r12 = reg(REG_R12);
  c->r13 = reg(REG_R13);
  c->r14 = reg(REG_R14);
  c->r15 = reg(REG_R15);
  c->rip = reg(REG_RIP);
  c->eflags = static_cast<uint32_t>(reg(REG_EFL));
  // The kernel packs cs, gs, fs and (since 4.8) ss into one word.
  const uint64_t segments = reg(REG_CSGSFS);
  c->cs = static_cast<uint16_t>(segments);
  c->gs = static_cast<uint16_t>(segments >> 16);
  c->fs = static_cast<uint16_t>(segments >> 32);
  c->ss = static_cast<uint16_t>(segments >> 48);
  if (uc.uc_mcontext.fpregs != nullptr) {
    static_assert(sizeof(*uc.uc_mcontext.fpregs) == sizeof c->fltSave);
    memcpy(c->fltSave, uc.uc_mcontext.fpregs, sizeof c->fltSave);
    c->mxCsr = uc.uc_mcontext.fpregs->mxcsr;
  }
}

// The registers of a thread stopped by ptrace, as a minidump context.
void FillContext(const StoppedThread& t, MdContextAmd64* c) {
  memset(c, 0, sizeof *c);
  c->contextFlags =
      kContextAmd64 | kContextControl | kContextInteger | kContextSegments | kContextFloatingPoint;
  const user_regs_struct& r = t.registers;
  c->rax = r.rax;
  c->rcx = r.rcx;
  c->rdx = r.rdx;
  c->rbx = r.rbx;
  c->rsp = r.rsp;
  c->rbp = r.rbp;
  c->rsi = r.rsi;
  c->rdi = r.rdi;
  c->r8 = r.r8;
  c->r9 = r.r9;
  c->r10 = r.r10;
  c->r11 = r.r11;
  c->r12 = r.r12;
  c->r13 = r.r13;
  c->r14 = r.r14;
  c->r15 = r.r15;
  c->rip = r.rip;
  c->eflags = static_cast<uint32_t>(r.eflags);
  c->cs = static_cast<uint16_t>(r.cs);
  c->ds = static_cast<uint16_t>(r.ds);
  c->es = static_cast<uint16_t>(r.es);
  c->fs = static_cast<uint16_t>(r.fs);
  c->gs = static_cast<uint16_t>(r.gs);
  c->ss = static_cast<uint16_t>(r.ss);
  static_assert(sizeof t.floatingPoint == sizeof c->fltSave);
  memcpy(c->fltSave, &t.floatingPoint, sizeof c->fltSave);
  c->mxCsr = t.floatingPoint.mxcsr;
}

uint32_t AppendSystemInfo(DumpFile& file) {
  const uint32_t csdRva = AppendString(file, g_prepared.osText, strlen(g_prepared.osText));
  file.Align();
  MdSystemInfo info{};
  info.processorArchitecture = kArchitectureAmd64;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
    info.vendorId[0] = ebx;
    info.vendorId[1] = edx;
    info.vendorId[2] = ecx;
  }
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
    uint32_t family = (eax >> 8) & 0xF;
    uint32_t model = (eax >> 4) & 0xF;
    if (family == 0xF) family += (eax >> 20) & 0xFF;
    if (family >= 6) model |= ((eax >> 16) & 0xF) << 4;
    info.processorLevel = static_cast<uint16_t>(family);
    info.processorRevision = static_cast<uint16_t>((model << 8) | (eax & 0xF));
    info.versionInformation = eax;
    info.featureInformation = edx;
  }
  if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) != 0) info.amdExtendedCpuFeatures = edx;
  info.numberOfProcessors = g_prepared.processors;
  info.majorVersion = g_prepared.major;
  info.minorVersion = g_prepared.minor;
  info.buildNumber = g_prepared.build;
  info.platformId = kPlatformLinux;
  info.csdVersionRva = csdRva;
  return file.Append(&info, sizeof info);
}

// Reads the GNU build id of the ELF image mapped at `base` into `out`;
// returns its length, 0 when there is none.
size_t ReadBuildId(int memFd, uint64_t base, uint8_t* out, size_t capacity) {
  Elf64_Ehdr header;
  if (ReadMemory(memFd, base, &header, sizeof header) != sizeof header) return 0;
  if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 64) {
    return 0;
  }
  Elf64_Phdr phdrs[64];
  const size_t phdrBytes = header.e_phnum * sizeof(Elf64_Phdr);
  if (ReadMemory(memFd, base + header.e_phoff, phdrs, phdrBytes) != phdrBytes) return 0;
  // The mapping at file offset 0 is the segment loaded from offset 0.
  uint64_t bias = base;
  for (int i = 0; i < header.e_phnum; ++i) {
    if (phdrs[i].p_type == PT_LOAD && phdrs[i].p_offset == 0) {
      bias = base - (phdrs[i].p_vaddr & ~(g_prepared.pageSize - 1));
      break;
    }
  }
  for (int i = 0; i < header.e_phnum; ++i) {
    if (phdrs[i].p_type != PT_NOTE) continue;
    const size_t size = phdrs[i].p_filesz < sizeof g_notes ? phdrs[i].p_filesz : sizeof g_notes;
    const size_t got = ReadMemory(memFd, bias + phdrs[i].p_vaddr, g_notes, size);
    size_t pos = 0;
    while (pos + sizeof(Elf64_Nhdr) <= got) {
      Elf64_Nhdr note;
      memcpy(&note, g_notes + pos, sizeof note);
      const size_t name = pos + sizeof note;
      const size_t desc = name + ((note.n_namesz + 3) & ~3u);
      const size_t next = desc + ((note.n_descsz + 3) & ~3u);
      if (next > got) break;
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
          memcmp(g_notes + name, "GNU", 4) == 0) {
        const size_t length = note.n_descsz < capacity ? note.n_descsz : capacity;
        memcpy(out, g_notes + desc, length);
        return length;
      }
      pos = next;
    }
  }
  return 0;
}

// The ELF images in the maps: a module begins at a file mapped from offset 0
// and spans the following mappings of the same file.
size_t CollectModules(int memFd) {
  size_t count = 0;
  size_t pos = 0;
  Mapping m;
  while (g_maps.Next(&pos, &m)) {
    if (!m.IsFile()) continue;
    Module* last = count > 0 ? &g_modules[count - 1] : nullptr;
    if (m.offset != 0) {
      if (last != nullptr && last->pathLength == m.pathLength &&
          memcmp(last->path, m.path, m.pathLength) == 0) {
        last->end = m.end;
      }
      continue;
    }
    char magic[SELFMAG];
    if (count == kMaxModules || ReadMemory(memFd, m.start, magic, SELFMAG) != SELFMAG ||
        memcmp(magic, ELFMAG, SELFMAG) != 0) {
      continue;
    }
    g_modules[count++] = Module{m.start, m.end, m.path, m.pathLength, 0, {0, 0}};
  }
  return count;
}

uint32_t AppendModuleList(DumpFile& file, int memFd) {
  const size_t count = CollectModules(memFd);
  for (size_t i = 0; i < count; ++i) {
    Module& module = g_modules[i];
    module.nameRva = AppendString(file, module.path, module.pathLength);
    file.Align();
    uint8_t record[4 + 64];
    const uint32_t signature = kCvSignatureElfBuildId;
    memcpy(record, &signature, 4);
    const size_t idLength = ReadBuildId(memFd, module.base, record + 4, sizeof record - 4);
    if (idLength > 0) {
      module.cvRecord.dataSize = static_cast<uint32_t>(4 + idLength);
      module.cvRecord.rva = file.Append(record, 4 + idLength);
      file.Align();
    }
  }
  const uint32_t number = static_cast<uint32_t>(count);
  const uint32_t rva = file.Append(&number, sizeof number);
  for (size_t i = 0; i < count; ++i) {
    MdModule entry{};
    entry.base = g_modules[i].base;
    entry.size = static_cast<uint32_t>(g_modules[i].end - g_modules[i].base);
    entry.nameRva = g_modules[i].nameRva;
    entry.cvRecord = g_modules[i].cvRecord;
    file.Append(&entry, sizeof entry);
  }
  return rva;
}

// The stack to copy for stack pointer `sp`: from below the red zone up to the
// end of its mapping, at most kMaxStackBytes. When `sp` has run off its
// mapping (a stack overflow) the mapping just above it stands in.
void FindStack(uint64_t sp, uint64_t* start, uint64_t* size) {
  *start = sp;
  *size = 0;
  uint64_t bestStart = 0, bestEnd = 0;
  size_t pos = 0;
  Mapping m;
  while (g_maps.Next(&pos, &m)) {
    if (m.start <= sp && sp < m.end) {
      bestStart = m.start;
      bestEnd = m.end;
      break;
    }
    if (m.start > sp && (bestEnd == 0 || m.start < bestStart)) {
      bestStart = m.start;
      bestEnd = m.end;
    }
  }
  if (bestEnd == 0) return;
  constexpr uint64_t kRedZone = 128;
  uint64_t from = sp > kRedZone ? sp - kRedZone : 0;
  if (from < bestStart) from = bestStart;
  uint64_t to = bestEnd;
  if (to - from > MinidumpWriter::kMaxStackBytes) to = from + MinidumpWriter::kMaxStackBytes;
  if (g_prepared.stackCeiling > from && g_prepared.stackCeiling < to) to = g_prepared.stackCeiling;
  *start = from;
  *size = to - from;
}

bool IncludedInFullDump(const Mapping& m) {
  // [vvar] is readable but not through /proc/self/mem. A read-only mapping
  // of a file holds that file's bytes, which the developer has already.
  const bool readOnlyFile = !m.Writable() && m.IsFile();
  return m.Readable() && m.Private() && !readOnlyFile && !m.PathIs("[vvar]") && m.end > m.start;
}

// Returns the location of the list; the ranges' bytes follow it.
MdLocation AppendMemory64List(DumpFile& file, int memFd) {
  uint64_t count = 0;
  size_t pos = 0;
  Mapping m;
  while (g_maps.Next(&pos, &m)) count += IncludedInFullDump(m) ? 1 : 0;
  const uint64_t listBytes = 16 + count * sizeof(MdMemoryDescriptor64);
  const uint64_t header[2] = {count, file.Offset() + listBytes};
  const MdLocation list{static_cast<uint32_t>(listBytes), file.Append(header, sizeof header)};
  pos = 0;
  while (g_maps.Next(&pos, &m)) {
    if (!IncludedInFullDump(m)) continue;
    const MdMemoryDescriptor64 descriptor{m.start, m.end - m.start};
    file.Append(&descriptor, sizeof descriptor);
  }
  pos = 0;
  while (g_maps.Next(&pos, &m)) {
    if (IncludedInFullDump(m)) file.AppendMemory(memFd, m.start, m.end - m.start);
  }
  return list;
}

// Appends one thread's context and stack, and fills its entries in
// g_threads and g_ranges.
void AppendThread(DumpFile& file, int memFd, size_t index, uint32_t threadId,
                  const MdContextAmd64& context, bool haveMaps) {
  file.Align();
  const MdLocation contextLocation{sizeof context, file.Append(&context, sizeof context)};
  uint64_t stackStart = 0, stackSize = 0;
  if (haveMaps) FindStack(context.rsp, &stackStart, &stackSize);
  g_ranges[index] = MdMemoryDescriptor{
      stackStart,
      {static_cast<uint32_t>(stackSize), file.AppendMemory(memFd, stackStart, stackSize)}};
  g_threads[index] = MdThread{threadId, 0, 0, 0, 0, g_ranges[index], contextLocation};
}

// The threads, the requesting one first, and after their stacks the code
// around its instruction pointer (for a disassembly of the fault). Returns
// the location of the first thread's context.
MdLocation AppendThreads(DumpFile& file, int memFd, const DumpRequest& request, bool haveMaps,
                         uint32_t* threadCount) {
  MdContextAmd64 context;
  FillContext(*request.context, &context);
  const uint64_t rip = context.rip;
  AppendThread(file, memFd, 0, static_cast<uint32_t>(request.threadId), context, haveMaps);
  const MdLocation first = g_threads[0].context;
  const size_t others =
      request.otherCount < kMaxDumpThreads - 1 ? request.otherCount : kMaxDumpThreads - 1;
  for (size_t i = 0; i < others; ++i) {
    FillContext(request.others[i], &context);
    AppendThread(file, memFd, i + 1, static_cast<uint32_t>(request.others[i].threadId), context,
                 haveMaps);
  }
  constexpr uint64_t kCodeBytes = 256;
  const uint64_t codeStart = rip > kCodeBytes / 2 ? rip - kCodeBytes / 2 : 0;
  g_ranges[others + 1] =
      MdMemoryDescriptor{codeStart, {kCodeBytes, file.AppendMemory(memFd, codeStart, kCodeBytes)}};
  *threadCount = static_cast<uint32_t>(others + 1);
  return first;
}

// The exception stream: the signal, its code and address, and the context of
// the thread it names, the first of the thread list.
uint32_t AppendException(DumpFile& file, const DumpRequest& request, MdLocation context) {
  MdExceptionStream exception{};
  exception.threadId = static_cast<uint32_t>(request.threadId);
  exception.code = static_cast<uint32_t>(request.signal);
  exception.flags = static_cast<uint32_t>(request.signalCode);
  exception.address = request.faultAddress;
  exception.context = context;
  return file.Append(&exception, sizeof exception);
}

// Copies `text` into a 0-terminated UTF-16 field of `units` units, cut to
// fit (ASCII as is; any other byte becomes '?', enough for a message).
void CopyToUtf16(const char* text, uint16_t* field, size_t units) {
  size_t i = 0;
  for (; text[i] != '\0' && i + 1 < units; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    field[i] = c < 0x80 ? c : '?';
  }
  field[i] = 0;
}

uint32_t AppendAssertion(DumpFile& file, const char* text) {
  MdAssertionInfo info{};
  uint16_t expression[128];
  CopyToUtf16(text, expression, 128);
  memcpy(reinterpret_cast<char*>(&info) + offsetof(MdAssertionInfo, expression), expression,
         sizeof expression);
  return file.Append(&info, sizeof info);
}

// The streams that carry a file as it is.
struct FileStream {
  uint32_t type;
  const char* path;
};
constexpr FileStream kFileStreams[] = {
    {kLinuxProcStatusStream, "/proc/self/status"}, {kLinuxCmdLineStream, "/proc/self/cmdline"},
    {kLinuxAuxvStream, "/proc/self/auxv"},         {kLinuxCpuInfoStream, "/proc/cpuinfo"},
    {kLinuxLsbReleaseStream, "/etc/os-release"},
};

uint32_t ParseVersionNumber(const char*& p) {
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  if (*p == '.') ++p;
  return value;
}

}  // namespace

void MinidumpWriter::Prepare() {
  utsname name;
  if (uname(&name) == 0) {
    snprintf(g_prepared.osText, sizeof g_prepared.osText, "%s %s %s %s", name.sysname, name.release,
             name.version, name.machine);
    const char* p = name.release;
    g_prepared.major = ParseVersionNumber(p);
    g_prepared.minor = ParseVersionNumber(p);
    g_prepared.build = ParseVersionNumber(p);
  }
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  g_prepared.processors = static_cast<uint8_t>(processors < 1     ? 1
                                               : processors > 255 ? 255
                                                                  : processors);
  g_prepared.stackCeiling = getauxval(AT_RANDOM);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize > 0) g_prepared.pageSize = static_cast<uint64_t>(pageSize);
}

bool MinidumpWriter::Write(int fd, const DumpRequest& request, DumpMemory memory) {
  DumpFile file(fd);
  MdDirectory directory[kMaxStreams] = {};
  uint32_t streams = 0;
  const auto addStream = [&](uint32_t type, uint32_t rva) {
    directory[streams++] = MdDirectory{type, {static_cast<uint32_t>(file.Offset()) - rva, rva}};
  };

  // The header and directory are written last, once the streams are known.
  file.AppendZeros(sizeof(MdHeader) + sizeof directory);
  const bool haveMaps = g_maps.Read();
  const int memFd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);

  file.Align();
  uint32_t rva = AppendSystemInfo(file);
  addStream(kSystemInfoStream, rva);

  file.Align();
  const MdMiscInfo misc{
      sizeof(MdMiscInfo), kMiscInfoProcessId, static_cast<uint32_t>(getpid()), 0, 0, 0};
  rva = file.Append(&misc, sizeof misc);
  addStream(kMiscInfoStream, rva);

  uint32_t threadCount = 0;
  const MdLocation firstContext = AppendThreads(file, memFd, request, haveMaps, &threadCount);
  file.Align();
  rva = file.Append(&threadCount, sizeof threadCount);
  file.Append(g_threads, threadCount * sizeof(MdThread));
  addStream(kThreadListStream, rva);

  if (request.signal != 0) {
    file.Align();
    rva = AppendException(file, request, firstContext);
    addStream(kExceptionStream, rva);
  }

  file.Align();
  const uint32_t rangeCount = threadCount + 1;
  rva = file.Append(&rangeCount, sizeof rangeCount);
  file.Append(g_ranges, rangeCount * sizeof(MdMemoryDescriptor));
  addStream(kMemoryListStream, rva);

  if (request.assertion != nullptr) {
    file.Align();
    rva = AppendAssertion(file, request.assertion);
    addStream(kAssertionInfoStream, rva);
  }
  if (haveMaps) {
    file.Align();
    rva = AppendModuleList(file, memFd);
    addStream(kModuleListStream, rva);
    file.Align();
    rva = file.Append(g_maps.Text(), g_maps.Length());
    addStream(kLinuxMapsStream, rva);
  }
  for (const FileStream& stream : kFileStreams) {
    file.Align();
    directory[streams++] = MdDirectory{stream.type, file.AppendFile(stream.path)};
  }
  if (memory == DumpMemory::kAllPrivateMappings && haveMaps) {
    file.Align();
    directory[streams++] = MdDirectory{kMemory64ListStream, AppendMemory64List(file, memFd)};
  }
  if (memFd >= 0) close(memFd);

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const MdHeader header{kSignature,
                        kVersion,
                        streams,
                        sizeof(MdHeader),
                        0,
                        static_cast<uint32_t>(now.tv_sec),
                        memory == DumpMemory::kAllPrivateMappings ? kFlagsFullMemory : 0};
  file.WriteAt(0, &header, sizeof header);
  file.WriteAt(sizeof header, directory, sizeof directory);
  return file.Ok();
}

}  // namespace zor::platform
