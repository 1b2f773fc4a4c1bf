// User address spaces: memory a simulated process allocates below 4 GiB,
// with real mappings and real protections, and the kernel routines that
// probe and lock it.
//
// Notes:
//  1. Each allocation is a real mapping (mmap with MAP_32BIT) between two
//     no-access guard pages, so that an overrun faults as it would on
//     Windows, and a freed range stays reserved as no access instead of being
//     handed out again (a stale pointer keeps faulting).
//  2. Probing and locking check the calling process's table of ranges and
//     raise STATUS_ACCESS_VIOLATION (ExRaiseStatus) for addresses that are
//     unmapped, no-access, or read-only when write access is asked.
//  3. Locked MDLs are accounted per process: unlocking one twice is a bug
//     check, and so is a process that ends with locked pages
//     (PROCESS_HAS_LOCKED_PAGES, 0x76).
//  4. The pages of a locked MDL can be mapped at a system address
//     (MmMapLockedPagesSpecifyCache, and MmGetSystemAddressForMdlSafe on
//     it): a second mapping of the same pages, readable and writable
//     whatever the process does to its own view afterwards, and valid in
//     every process. Allocations are shared mappings so that the pages can
//     be mapped twice (mremap of size 0). Unlocking the pages unmaps it.
//  5. Each process has its own table of ranges, so another process's user
//     address faults in a probe. When that address lies in a buffer another
//     process has locked, it is also a finding: the driver has kept a user
//     address from one request and used it in another, where it must use
//     the locked pages' system address.
//  6. The system mapping is made with its page table entries filled in
//     (MADV_POPULATE_WRITE, Linux 5.14), as Windows maps an MDL's pages: a
//     copy through it then takes no page fault per page, which on a virtual
//     machine costs about 10 us each and would be counted against the
//     driver. On an older kernel the advice fails and the pages fault in.
//     With Options::lastingSystemViews the mapping is made once per
//     allocation and kept until it is freed.
#include <sys/mman.h>

#include "internal.h"
#include "user/process_impl.h"

namespace wdmsim {

namespace {

constexpr uintptr_t kPage = 0x1000;
constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, which older headers lack
constexpr uintptr_t kUserProbeAddress = 0x7FFFFFFF0000;  // MmUserProbeAddress on x64
constexpr ULONG PFN_LIST_CORRUPT = 0x4E;
constexpr ULONG PROCESS_HAS_LOCKED_PAGES = 0x76;

int HostProtection(uint32_t protect) {
  switch (protect) {
    case PAGE_READONLY: return PROT_READ;
    case PAGE_READWRITE: return PROT_READ | PROT_WRITE;
    default: return PROT_NONE;
  }
}

// Caller holds the process's lock. Raises for a range the process may not
// use as asked (note 2).
void CheckRangeLocked(Process::Impl& process, uintptr_t begin, uintptr_t end, bool write) {
  uintptr_t va = begin & ~(kPage - 1);
  while (va < end) {
    auto it = process.regions.upper_bound(va);
    if (it == process.regions.begin()) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    --it;
    const UserRegion& region = it->second;
    if (region.freed || va >= it->first + region.size) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    if (region.protect == PAGE_NOACCESS) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    if (write && region.protect != PAGE_READWRITE) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    va = std::min(end + kPage - 1, it->first + region.size) & ~(kPage - 1);
    if (va <= begin) break;
  }
}

// The pages an MDL describes, from its page-aligned start.
size_t MdlSpanBytes(PMDL mdl) {
  return (mdl->ByteOffset + mdl->ByteCount + kPage - 1) & ~(kPage - 1);
}

// Note 4: the system mapping goes with the lock.
void UnmapSystemView(PMDL mdl) {
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) return;
  auto view = reinterpret_cast<uintptr_t>(mdl->MappedSystemVa) & ~(kPage - 1);
  if (!K().options.lastingSystemViews) munmap(reinterpret_cast<void*>(view), MdlSpanBytes(mdl));
  mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  mdl->MappedSystemVa = reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(mdl->StartVa) + mdl->ByteOffset);
}

// Options::lastingSystemViews: the part of its allocation's lasting system
// mapping that covers a locked MDL's pages, made on first use. Null when
// the owner has no such allocation.
void* LastingSystemView(PMDL mdl) {
  auto* owner = reinterpret_cast<Process*>(mdl->Process);
  if (owner == nullptr) return nullptr;
  auto va = reinterpret_cast<uintptr_t>(mdl->StartVa);
  std::lock_guard lock(owner->impl().lock);
  auto& regions = owner->impl().regions;
  auto it = regions.upper_bound(va);
  if (it == regions.begin()) return nullptr;
  --it;
  UserRegion& region = it->second;
  if (region.freed || va + MdlSpanBytes(mdl) > it->first + region.size) return nullptr;
  if (region.systemView == 0) {
    void* view = mremap(reinterpret_cast<void*>(it->first), 0, region.size, MREMAP_MAYMOVE);
    if (view == MAP_FAILED) return nullptr;
    if (mprotect(view, region.size, PROT_READ | PROT_WRITE) != 0) {
      munmap(view, region.size);
      return nullptr;
    }
    madvise(view, region.size, kPopulateWrite);
    region.systemView = reinterpret_cast<uintptr_t>(view);
  }
  return reinterpret_cast<void*>(region.systemView + (va - it->first));
}

// Note 5. `routine` and `caller` name what touched [begin, end).
void CheckForeignLockedRange(uintptr_t begin, uintptr_t end, const char* routine, const void* caller) {
  KernelState& k = K();
  const Process* current = CurrentProcess();
  std::lock_guard lock(k.lockedRangesLock);
  for (const auto& [mdl, range] : k.lockedRanges) {
    if (range.owner == current || end <= range.begin || begin >= range.end) continue;
    DriverImage* image = k.ImageForAddress(caller);
    k.Finding((image != nullptr ? image->name() + ": " : std::string()) + routine + " of user address " +
              Hex(begin) + ", in a buffer another process locked (MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) +
              "), from " + (current != nullptr ? "a request of a different process" : "no process's request") +
              "; a locked buffer is reached through its system address, called from " + k.CodeName(caller));
    return;
  }
}

void ForgetLockedRange(PMDL mdl) {
  KernelState& k = K();
  std::lock_guard lock(k.lockedRangesLock);
  k.lockedRanges.erase(mdl);
}

Process::Impl* CallerProcess() {
  Process* p = CurrentProcess();
  return p != nullptr ? &p->impl() : nullptr;
}

}  // namespace

void* Process::VirtualAlloc(size_t size, uint32_t protect) {
  size_t bytes = (size + kPage - 1) & ~(kPage - 1);
  if (bytes == 0) return nullptr;
  // Reserve with a guard page on each side (note 1).
  void* reservation = mmap(nullptr, bytes + 2 * kPage, PROT_NONE, MAP_SHARED | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (reservation == MAP_FAILED) return nullptr;
  auto base = reinterpret_cast<uintptr_t>(reservation) + kPage;
  if (mprotect(reinterpret_cast<void*>(base), bytes, HostProtection(protect)) != 0) {
    munmap(reservation, bytes + 2 * kPage);
    return nullptr;
  }
  std::lock_guard lock(impl_->lock);
  impl_->regions[base] = UserRegion{bytes, protect, false};
  return reinterpret_cast<void*>(base);
}

bool Process::VirtualProtect(void* address, size_t size, uint32_t protect) {
  std::lock_guard lock(impl_->lock);
  auto it = impl_->regions.find(reinterpret_cast<uintptr_t>(address));
  if (it == impl_->regions.end() || it->second.freed || size > it->second.size) return false;
  if (mprotect(address, it->second.size, HostProtection(protect)) != 0) return false;
  it->second.protect = protect;
  return true;
}

bool Process::VirtualFree(void* address) {
  std::lock_guard lock(impl_->lock);
  auto it = impl_->regions.find(reinterpret_cast<uintptr_t>(address));
  if (it == impl_->regions.end() || it->second.freed) return false;
  mprotect(address, it->second.size, PROT_NONE);
  if (it->second.systemView != 0) munmap(reinterpret_cast<void*>(it->second.systemView), it->second.size);
  it->second.systemView = 0;
  it->second.freed = true;
  return true;
}

Process::Impl::~Impl() {
  for (auto& [base, region] : regions) {
    munmap(reinterpret_cast<void*>(base - kPage), region.size + 2 * kPage);
    if (region.systemView != 0) munmap(reinterpret_cast<void*>(region.systemView), region.size);
  }
}

bool IsSimulatedUserAddress(const void* address) {
  KernelState* k = KOrNull();
  if (k == nullptr) return false;
  auto a = reinterpret_cast<uintptr_t>(address);
  return a < (uintptr_t{1} << 32) && a >= 0x10000;
}

void ReportLockedPagesAtExit(Process& process) {
  std::string why;
  size_t count = 0;
  {
    std::lock_guard lock(process.impl().lock);
    for (PMDL mdl : process.impl().lockedMdls) {
      if (why.empty()) {
        why = "process ended with locked pages: MDL " + Hex(reinterpret_cast<uintptr_t>(mdl)) + " (" +
              std::to_string(mdl->ByteCount) + " bytes) was never unlocked";
      }
      ++count;
      UnmapSystemView(mdl);
      ForgetLockedRange(mdl);
      mdl->Process = nullptr;  // a late unlock only clears the flag
    }
    process.impl().lockedMdls.clear();
  }
  if (count == 0) return;
  // Windows stops: the pages can never be given back (note 3).
  try {
    K().RaiseBugCheck(PROCESS_HAS_LOCKED_PAGES, 0, reinterpret_cast<ULONG_PTR>(&process), count, 0, why);
  } catch (const BugCheck&) {
    // Recorded; the process is gone and its caller goes on with a dead kernel.
  }
}

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
  RequireIrqlAtMost("ProbeForRead", APC_LEVEL);
  if (Length == 0) return;
  auto a = reinterpret_cast<uintptr_t>(Address);
  if (Alignment != 0 && (a & (Alignment - 1)) != 0) ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  if (a + Length < a || a + Length > kUserProbeAddress) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  CheckForeignLockedRange(a, a + Length, "ProbeForRead", WDMSIM_CALLER());
}

// Checks the range and touches every page for writing, as Windows does.
VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
  RequireIrqlAtMost("ProbeForWrite", APC_LEVEL);
  if (Length == 0) return;
  auto a = reinterpret_cast<uintptr_t>(Address);
  if (Alignment != 0 && (a & (Alignment - 1)) != 0) ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  if (a + Length < a || a + Length > kUserProbeAddress) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  CheckForeignLockedRange(a, a + Length, "ProbeForWrite", WDMSIM_CALLER());
  if (Process::Impl* process = CallerProcess()) {
    std::lock_guard lock(process->lock);
    CheckRangeLocked(*process, a, a + Length, true);
  }
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  RequireIrqlAtMost("MmProbeAndLockPages", DISPATCH_LEVEL);
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x7A, reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                      "MmProbeAndLockPages on an MDL whose pages are already locked");
  }
  // Fault injection: Windows raises this when it cannot lock the pages.
  if (K().ShouldFail("MmProbeAndLockPages")) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
  if (mdl->ByteCount == 0) {
    // Locking no pages is not documented ("MmProbeAndLockPages function
    // (wdm.h)"): reported, then done as for any length.
    DriverImage* caller = K().ImageForAddress(WDMSIM_CALLER());
    K().Finding((caller != nullptr ? caller->name() + ": " : std::string()) +
                "MmProbeAndLockPages of an MDL with a length of 0, whose result Windows does not document");
  }
  auto begin = reinterpret_cast<uintptr_t>(MmGetMdlVirtualAddress(mdl));
  uintptr_t end = begin + mdl->ByteCount;
  if (AccessMode == UserMode && (end < begin || end > kUserProbeAddress)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  Process* owner = CurrentProcess();
  if (owner == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);  // no user address space here
  // User memory is pageable: locking it may have to page it in, which
  // "MmProbeAndLockPages function (wdm.h)" allows only up to APC_LEVEL.
  RequireIrqlAtMost("MmProbeAndLockPages of pageable memory", APC_LEVEL);
  CheckForeignLockedRange(begin, end, "MmProbeAndLockPages", WDMSIM_CALLER());
  std::lock_guard lock(owner->impl().lock);
  CheckRangeLocked(owner->impl(), begin, end, Operation != IoReadAccess);
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  mdl->Process = reinterpret_cast<struct _EPROCESS*>(owner);
  mdl->MappedSystemVa = reinterpret_cast<PVOID>(begin);
  owner->impl().lockedMdls.insert(mdl);
  std::lock_guard ranges(K().lockedRangesLock);
  K().lockedRanges[mdl] = {begin, end, owner};
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
  RequireIrqlAtMost("MmUnlockPages", DISPATCH_LEVEL);
  PMDL mdl = MemoryDescriptorList;
  if ((mdl->MdlFlags & MDL_PAGES_LOCKED) && mdl->Process == nullptr) {
    mdl->MdlFlags &= ~MDL_PAGES_LOCKED;  // its process has ended (reported then)
    return;
  }
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    K().RaiseBugCheck(PFN_LIST_CORRUPT, 0x7, reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                      "MmUnlockPages on an MDL whose pages are not locked (unlocked twice?)");
  }
  auto* owner = reinterpret_cast<Process*>(mdl->Process);
  {
    std::lock_guard lock(owner->impl().lock);
    owner->impl().lockedMdls.erase(mdl);
  }
  UnmapSystemView(mdl);
  ForgetLockedRange(mdl);
  mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
  mdl->Process = nullptr;
}

// Note 4. Kernel-mode mappings of locked pages only.
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID BaseAddress, ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
  (void)CacheType;
  (void)Priority;
  KernelState& k = K();
  PMDL mdl = MemoryDescriptorList;
  RequireIrqlAtMost("MmMapLockedPagesSpecifyCache", DISPATCH_LEVEL);
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED) || AccessMode != KernelMode || BaseAddress != nullptr) {
    k.RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x80, reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                    "MmMapLockedPagesSpecifyCache of an MDL whose pages are not locked, or for user mode");
  }
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return mdl->MappedSystemVa;
  void* view = MAP_FAILED;
  if (k.ShouldFail("MmMapLockedPagesSpecifyCache")) {
    // the mapping fails
  } else if (k.options.lastingSystemViews) {
    if (void* lasting = LastingSystemView(mdl)) view = lasting;
  } else {
    view = mremap(mdl->StartVa, 0, MdlSpanBytes(mdl), MREMAP_MAYMOVE);
    if (view != MAP_FAILED && mprotect(view, MdlSpanBytes(mdl), PROT_READ | PROT_WRITE) != 0) {
      munmap(view, MdlSpanBytes(mdl));
      view = MAP_FAILED;
    }
    // Windows fills in the page table entries as it maps (note 6); left to
    // page faults, a 6 MiB copy through the view took 1,536 of them.
    if (view != MAP_FAILED) madvise(view, MdlSpanBytes(mdl), kPopulateWrite);
  }
  if (view == MAP_FAILED) {
    if (BugCheckOnFailure) {
      k.RaiseBugCheck(0x3F /* NO_MORE_SYSTEM_PTES */, 0, 0, 0, 0,
                      "MmMapLockedPagesSpecifyCache could not map the pages");
    }
    return nullptr;
  }
  mdl->MappedSystemVa = static_cast<char*>(view) + mdl->ByteOffset;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  RequireIrqlAtMost("MmUnmapLockedPages", DISPATCH_LEVEL);
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != mdl->MappedSystemVa) {
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x81, reinterpret_cast<ULONG_PTR>(mdl),
                      reinterpret_cast<ULONG_PTR>(BaseAddress), 0,
                      "MmUnmapLockedPages of an address that is not the MDL's system mapping");
  }
  UnmapSystemView(mdl);
}

}  // extern "C"
