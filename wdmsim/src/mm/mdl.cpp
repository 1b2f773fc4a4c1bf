// Memory descriptor lists: IoAllocateMdl, MmBuildMdlForNonPagedPool and
// IoFreeMdl.
//
// Notes:
//  1. An MDL is the header followed by one page frame number per page the
//     buffer touches, as on Windows; MDL.Size counts both.
//  2. Freed MDLs wait in a small quarantine before their memory goes, so a
//     second IoFreeMdl of the same pointer is recognised as such.
//  3. Only nonpaged kernel memory is described here. User buffers need
//     probing and locking (MmProbeAndLockPages), which belongs to the user
//     address spaces: that path will fill the page array and set
//     MDL_PAGES_LOCKED itself, and IoFreeMdl will then refuse an MDL whose
//     pages are still locked.
//  4. What an MDL of no bytes is, is not documented ("IoAllocateMdl
//     function (wdm.h)" asks for the buffer's length). A driver that asks for
//     one is reported; the MDL is made as for any other length.
#include <algorithm>
#include <cstring>
#include <new>

#include "hal/hal.h"

namespace wdmsim {

namespace {

constexpr size_t kQuarantine = 256;  // note 2
using PfnNumber = ULONG_PTR;

uintptr_t PageAlign(uintptr_t va) { return va & ~(hal::kPageSize - 1); }

size_t SpanPages(uintptr_t va, ULONG length) {
  return (va % hal::kPageSize + length + hal::kPageSize - 1) / hal::kPageSize;
}

PfnNumber* PageArray(PMDL mdl) { return reinterpret_cast<PfnNumber*>(mdl + 1); }

}  // namespace

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  RequireIrqlAtMost("IoAllocateMdl", DISPATCH_LEVEL);
  (void)ChargeQuota;
  KernelState& k = K();
  if (k.ShouldFail("IoAllocateMdl")) return nullptr;
  if (Length == 0) {  // note 4
    DriverImage* caller = k.ImageForAddress(WDMSIM_CALLER());
    k.Finding((caller != nullptr ? caller->name() + ": " : std::string()) +
              "IoAllocateMdl with a length of 0, whose result Windows does not document");
  }
  // "IoAllocateMdl function (wdm.h)": from Windows 7 on, a buffer of up to
  // 4 GB - PAGE_SIZE. The MDL's Size field (a CSHORT) cannot say how large
  // so long a one is; nothing in wdmsim reads it back.
  if (Length > 0xFFFFFFFFu - hal::kPageSize + 1) return nullptr;
  const auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
  const size_t pages = SpanPages(va, Length);
  const size_t bytes = sizeof(MDL) + pages * sizeof(PfnNumber);
  auto* mdl = static_cast<PMDL>(::operator new(bytes));
  std::memset(mdl, 0, bytes);
  mdl->Size = static_cast<SHORT>(std::min<size_t>(bytes, 0x7FFF));
  mdl->StartVa = reinterpret_cast<PVOID>(PageAlign(va));
  mdl->ByteOffset = static_cast<ULONG>(va % hal::kPageSize);
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL* tail = &Irp->MdlAddress;
      while (*tail != nullptr) tail = &(*tail)->Next;
      *tail = mdl;
    }
  }
  hal::HalState& h = hal::H();
  std::lock_guard lock(h.lock);
  const void* caller = WDMSIM_CALLER();
  DriverImage* owner = k.ImageForAddress(caller);
  h.mdls[mdl] = hal::MdlRecord{va, Length, owner, false, owner != nullptr ? caller : nullptr};
  return mdl;
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  RequireIrqlAtMost("MmBuildMdlForNonPagedPool", DISPATCH_LEVEL);
  PMDL mdl = MemoryDescriptorList;
  {
    hal::HalState& h = hal::H();
    std::lock_guard lock(h.lock);
    if (h.mdls.count(mdl) == 0) {
      // Fall through to the bug check below without the lock.
      mdl = nullptr;
    }
  }
  if (mdl == nullptr) {
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x66, reinterpret_cast<ULONG_PTR>(MemoryDescriptorList), 0,
                      0, "MmBuildMdlForNonPagedPool on an MDL that IoAllocateMdl did not return (or that was freed)");
  }
  if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x67, reinterpret_cast<ULONG_PTR>(mdl), mdl->MdlFlags, 0,
                      "MmBuildMdlForNonPagedPool on an MDL that already describes locked or nonpaged pages");
  }
  // Note 3: the buffer is taken to be nonpaged kernel memory; the page
  // frame numbers stand for the host pages.
  const auto start = reinterpret_cast<uintptr_t>(mdl->StartVa);
  const size_t pages = SpanPages(start + mdl->ByteOffset, mdl->ByteCount);
  for (size_t i = 0; i < pages; ++i) PageArray(mdl)[i] = (start >> 12) + i;
  mdl->MappedSystemVa = reinterpret_cast<PVOID>(start + mdl->ByteOffset);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID IoFreeMdl(PMDL Mdl) {
  RequireIrqlAtMost("IoFreeMdl", DISPATCH_LEVEL);
  hal::HalState& h = hal::H();
  std::unique_lock lock(h.lock);
  auto it = h.mdls.find(Mdl);
  if (it == h.mdls.end()) {
    const bool twice = std::find(h.freedMdls.begin(), h.freedMdls.end(), Mdl) != h.freedMdls.end();
    lock.unlock();
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x68, reinterpret_cast<ULONG_PTR>(Mdl), 0, 0,
                      twice ? "IoFreeMdl of an MDL that was already freed"
                            : "IoFreeMdl of a pointer that IoAllocateMdl did not return");
  }
  h.mdls.erase(it);
  h.freedMdls.push_back(Mdl);  // note 2
  if (h.freedMdls.size() > kQuarantine) {
    ::operator delete(h.freedMdls.front());
    h.freedMdls.pop_front();
  }
}

}  // extern "C"
