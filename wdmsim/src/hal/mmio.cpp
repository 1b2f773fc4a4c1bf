// I/O space: MmMapIoSpace, MmUnmapIoSpace and the register accessors.
//
// Notes:
//  1. Mappings live in one reserved, no-access region of the address space,
//     each in its own run of pages with an unmapped page after it, at the
//     same offset within its first page as the physical address. Nothing is
//     ever mapped there, so a plain load or store at a register address
//     faults; the fault handler recognises the region and reports the bug.
//  2. What a physical range decodes to is decided when it is mapped: a
//     range that starts inside a device's BAR reaches that BAR; any other
//     range reaches nothing, so loads return all ones (a master abort) and
//     stores vanish, as on a PCI bus.
//  3. Sub-ranges are never reused within a kernel: a stale register address
//     stays invalid.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "hal/hal.h"
#include "ldr/trap.h"
#include "user/process_impl.h"

namespace wdmsim::hal {

namespace {

constexpr size_t kRegionBytes = size_t{1} << 30;

std::atomic<uintptr_t> gRegionBegin{0};
std::atomic<uintptr_t> gRegionEnd{0};
struct sigaction gPrevious {};

// Async-signal-safe output.
void Put(const char* text) {
  ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}
void PutHex(uintptr_t value) {
  char buffer[19] = "0x";
  for (int i = 0; i < 16; ++i) buffer[2 + i] = "0123456789ABCDEF"[(value >> (60 - 4 * i)) & 0xF];
  buffer[18] = 0;
  Put(buffer);
}

void OnSegv(int signal, siginfo_t* info, void* context) {
  // A shipped image's register accesses are plain loads and stores (the
  // kit's register accessors are inline), as are its reads of CR8 and of
  // the shared user data page: carried out here (ldr/trap.h).
  if (ldr::EmulateImageInstruction(info, static_cast<ucontext_t*>(context))) return;
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (address >= gRegionBegin.load() && address < gRegionEnd.load()) {
    Put("*** STOP: 0x00000050 (");
    PutHex(address);
    Put(", 0x0000000000000000, 0x0000000000000000, 0x0000000000000000)\n*** driver dereferenced register address ");
    PutHex(address);
    Put(" directly; use READ_REGISTER_ULONG / WRITE_REGISTER_ULONG\n");
    std::abort();
  }
  // Not ours: whoever handled the signal before us decides.
  if (gPrevious.sa_flags & SA_SIGINFO) {
    gPrevious.sa_sigaction(signal, info, context);
    return;
  }
  if (gPrevious.sa_handler == SIG_IGN) return;
  if (gPrevious.sa_handler != SIG_DFL) {
    gPrevious.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(SIGSEGV, &fallback, nullptr);  // the faulting access repeats and ends the process
}

// A live mapping containing [address, address + 4). Caller holds h.lock.
const IoMapping* FindMapping(HalState& h, uintptr_t address) {
  auto it = h.mappings.upper_bound(address);
  if (it == h.mappings.begin()) return nullptr;
  --it;
  const IoMapping& m = it->second;
  if (address < m.base || address + sizeof(ULONG) > m.base + m.size) return nullptr;
  return &m;
}

struct Target {
  std::shared_ptr<PciFunction> function;  // null: master abort
  int bar = -1;
  uint64_t offset = 0;
};

Target Resolve(uintptr_t address, bool write, void* caller) {
  HalState& h = H();
  std::unique_lock lock(h.lock);
  const IoMapping* m = FindMapping(h, address);
  if (m == nullptr) {
    lock.unlock();
    K().RaiseBugCheck(PAGE_FAULT_IN_NONPAGED_AREA, address, write ? 1 : 0, reinterpret_cast<ULONG_PTR>(caller), 0,
                      std::string(write ? "WRITE" : "READ") + "_REGISTER_ULONG at " + Hex(address) +
                          ", which no MmMapIoSpace mapping covers");
  }
  Target t;
  if (m->slot < 0) return t;
  t.function = m->function.lock();
  t.bar = m->bar;
  t.offset = m->barOffset + (address - m->base);
  if (t.offset >= m->barSize) t.function.reset();  // past the window: nothing decodes it
  return t;
}

void InstallFaultHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    ldr::TrapTargets targets{};
    targets.isRegister = [](uint64_t address) {
      return address >= gRegionBegin.load() && address < gRegionEnd.load();
    };
    targets.readRegister = [](uint64_t address, const void* caller) -> uint32_t {
      Target t = Resolve(address, false, const_cast<void*>(caller));
      return t.function ? t.function->MmioRead32(t.bar, t.offset) : 0xFFFFFFFF;
    };
    targets.writeRegister = [](uint64_t address, uint32_t value, const void* caller) {
      Target t = Resolve(address, true, const_cast<void*>(caller));
      if (t.function) t.function->MmioWrite32(t.bar, t.offset, value);
    };
    targets.irql = [] { return KeGetCurrentIrql(); };
    targets.systemTime = [] {
      LARGE_INTEGER now;
      KeQuerySystemTime(&now);
      return static_cast<int64_t>(now.QuadPart);
    };
    targets.interruptTime = [] { return static_cast<int64_t>(K().clock.NowNs() / 100); };
    targets.isUserAddress = [](const void* address) { return IsSimulatedUserAddress(address); };
    targets.bugCheck = [](uint32_t status, uint64_t pc, const char* why) {
      K().RaiseBugCheck(KMODE_EXCEPTION_NOT_HANDLED, status, pc, 0, 0, why);
    };
    ldr::SetTrapTargets(targets);
    struct sigaction action {};
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPrevious);
  });
}

}  // namespace

void ReserveIoRegion(HalState& h) {
  void* region = mmap(nullptr, kRegionBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) {
    std::fprintf(stderr, "wdmsim: cannot reserve the I/O space region\n");
    std::abort();
  }
  h.regionBegin = h.regionNext = reinterpret_cast<uintptr_t>(region);
  h.regionEnd = h.regionBegin + kRegionBytes;
  gRegionBegin = h.regionBegin;
  gRegionEnd = h.regionEnd;
  InstallFaultHandler();
}

void ReleaseIoRegion(HalState& h) {
  if (h.regionBegin == 0) return;
  if (gRegionBegin.load() == h.regionBegin) {
    gRegionBegin = 0;
    gRegionEnd = 0;
  }
  munmap(reinterpret_cast<void*>(h.regionBegin), kRegionBytes);
  h.regionBegin = h.regionEnd = h.regionNext = 0;
}

}  // namespace wdmsim::hal

using namespace wdmsim;
using namespace wdmsim::hal;

extern "C" {

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
  RequireIrqlAtMost("MmMapIoSpace", DISPATCH_LEVEL);
  (void)CacheType;
  KernelState& k = K();
  if (NumberOfBytes == 0) {
    k.RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x64, 0, 0, 0, "MmMapIoSpace of zero bytes");
  }
  if (k.ShouldFail("MmMapIoSpace")) return nullptr;
  const uint64_t physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
  const uint64_t pageOffset = physical & (kPageSize - 1);
  const size_t pageBytes = (pageOffset + NumberOfBytes + kPageSize - 1) & ~(kPageSize - 1);

  HalState& h = H();
  // Note 2: the windows as the BARs stand, asked of the models without the
  // lock held (hal.h, note 1).
  struct Window {
    unsigned slot;
    int bar;
    uint64_t size;
    std::shared_ptr<PciFunction> function;
  };
  std::vector<Window> windows;
  {
    std::lock_guard lock(h.lock);
    for (auto& [number, slot] : h.cards) {
      for (int bar = 0; bar < pci::kBarCount; ++bar) {
        if (slot->bars[bar].size != 0) windows.push_back({number, bar, slot->bars[bar].size, slot->function});
      }
    }
  }
  IoMapping m;
  for (const Window& w : windows) {
    const uint64_t base = pci::BarBase(*w.function, w.bar);
    if (base != 0 && physical >= base && physical < base + w.size) {
      m.slot = static_cast<int>(w.slot);
      m.bar = w.bar;
      m.barOffset = physical - base;
      m.barSize = w.size;
      m.function = w.function;
    }
  }
  std::lock_guard lock(h.lock);
  if (h.regionNext + pageBytes + kPageSize > h.regionEnd) return nullptr;  // out of system address space
  m.pageStart = h.regionNext;
  m.pageBytes = pageBytes;
  m.base = m.pageStart + pageOffset;
  m.size = NumberOfBytes;
  m.physical = physical;
  const void* caller = WDMSIM_CALLER();
  m.owner = k.ImageForAddress(caller);
  m.at = m.owner != nullptr ? caller : nullptr;
  h.regionNext += pageBytes + kPageSize;  // note 1: a guard page between mappings
  h.mappings[m.pageStart] = m;
  return reinterpret_cast<PVOID>(m.base);
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  RequireIrqlAtMost("MmUnmapIoSpace", DISPATCH_LEVEL);
  const auto base = reinterpret_cast<uintptr_t>(BaseAddress);
  HalState& h = H();
  std::unique_lock lock(h.lock);
  auto it = h.mappings.find(base & ~(kPageSize - 1));
  if (it == h.mappings.end() || it->second.base != base || it->second.size != NumberOfBytes) {
    const bool known = it != h.mappings.end() && it->second.base == base;
    const SIZE_T mapped = known ? it->second.size : 0;
    lock.unlock();
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x65, base, NumberOfBytes, mapped,
                      known ? "MmUnmapIoSpace of " + std::to_string(NumberOfBytes) + " bytes at " + Hex(base) +
                                  ", which was mapped with " + std::to_string(mapped) + " bytes"
                            : "MmUnmapIoSpace at " + Hex(base) + ", which is not the start of a mapping");
  }
  h.mappings.erase(it);
}

ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
  Target t = Resolve(reinterpret_cast<uintptr_t>(Register), false, WDMSIM_CALLER());
  if (!t.function) return 0xFFFFFFFF;
  return t.function->MmioRead32(t.bar, t.offset);
}

VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
  Target t = Resolve(reinterpret_cast<uintptr_t>(Register), true, WDMSIM_CALLER());
  if (t.function) t.function->MmioWrite32(t.bar, t.offset, Value);
}

}  // extern "C"
