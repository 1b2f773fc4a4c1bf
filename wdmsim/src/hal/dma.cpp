// DMA adapters, common buffers and the bus address map.
//
// Notes:
//  1. Bus (logical) addresses are their own space: a bump allocator hands
//     out page-aligned ranges with an unused page between them, below 4 GiB
//     (from 0x10000000) for adapters limited to 32-bit addresses, above it
//     for adapters that take 64-bit addresses. They never equal the host
//     pointers, and a freed range is never handed out again, so a card that
//     still writes to it is caught.
//  2. The card reaches host memory only through that map. An access with
//     any byte outside a live common buffer is a DMA fault: a finding, and
//     the card is told it failed.
//  3. Windows does not promise zeroed common buffers; new ones are filled
//     with 0xCD so that a driver relying on zeros shows.
//  4. Only PutDmaAdapter, AllocateCommonBuffer and FreeCommonBuffer are
//     meant for our drivers; every other operation of the table stops the
//     test with a bug check naming it.
//  5. A card's bus-master access is memory traffic of the device, not of a
//     program thread: no lock or fence of the host orders it, only the
//     device protocol (the driver stores what the card reads before the
//     start register, the card writes its data before the status word, the
//     write-back value before its flag). ThreadSanitizer cannot see that
//     protocol, so under it the card's copies are left out of its
//     view (BusCopy). What the driver's own threads do to a common buffer
//     is still checked against each other.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hal/hal.h"

#if defined(__SANITIZE_THREAD__)
#define WDMSIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WDMSIM_TSAN 1
#endif
#endif
#if defined(WDMSIM_TSAN)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace wdmsim::hal {

namespace {

// Note 3. The fill stands for whatever the memory held before: no thread
// can reach the buffer until AllocateCommonBuffer returns, so there is no
// race to look for, and under ThreadSanitizer a checked fill costs about
// 15 ms a MiB (a driver that starts with ten buffers of 6 MiB pays a second
// for every start).
void FillUnwritten(void* host, size_t bytes) {
#if defined(WDMSIM_TSAN)
  __tsan_ignore_thread_begin();
#endif
  std::memset(host, 0xCD, bytes);
#if defined(WDMSIM_TSAN)
  __tsan_ignore_thread_end();
#endif
}

// One bus-master copy of the card, out of ThreadSanitizer's view (note 5):
// both ends of this copy, the card's own buffer included; everything else
// the card does with that buffer is still checked.
void BusCopy(void* to, const void* from, size_t length) {
#if defined(WDMSIM_TSAN)
  __tsan_ignore_thread_begin();
#endif
  std::memcpy(to, from, length);
#if defined(WDMSIM_TSAN)
  __tsan_ignore_thread_end();
#endif
}

constexpr uint64_t k4GiB = uint64_t{1} << 32;

// Caller holds h.lock. The adapter the driver passed, or a bug check.
Adapter* LiveAdapter(HalState& h, PDMA_ADAPTER adapter, const char* operation, std::unique_lock<std::mutex>& lock) {
  for (auto& a : h.adapters) {
    if (&a->adapter == adapter) {
      if (!a->put) return a.get();
      break;
    }
  }
  lock.unlock();
  K().RaiseBugCheck(DRIVER_VERIFIER_DMA_VIOLATION, 0x01, reinterpret_cast<ULONG_PTR>(adapter), 0, 0,
                    std::string(operation) + " on adapter " + Hex(reinterpret_cast<uintptr_t>(adapter)) +
                        ", which was already put or never obtained from IoGetDmaAdapter");
}

// "PutDmaAdapter callback function (wdm.h)": IRQL <= DISPATCH_LEVEL.
void NTAPI PutDmaAdapter(PDMA_ADAPTER DmaAdapter) {
  RequireIrqlAtMost("PutDmaAdapter", DISPATCH_LEVEL);
  KernelState& k = K();
  HalState& h = H();
  std::unique_lock lock(h.lock);
  Adapter* a = LiveAdapter(h, DmaAdapter, "PutDmaAdapter", lock);
  a->put = true;  // note 2 of hal.h: the record stays, so a second put is caught
  size_t outstanding = 0;
  for (auto& [bus, buffer] : h.buffers) outstanding += buffer.adapter == a ? 1 : 0;
  lock.unlock();
  if (outstanding != 0) {
    k.Finding("PutDmaAdapter on adapter " + Hex(reinterpret_cast<uintptr_t>(DmaAdapter)) + " with " +
              std::to_string(outstanding) + " common buffer(s) still allocated from it");
  }
}

PVOID NTAPI AllocateCommonBuffer(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                           BOOLEAN CacheEnabled) {
  RequireIrqlAtMost("AllocateCommonBuffer", PASSIVE_LEVEL);
  (void)CacheEnabled;
  KernelState& k = K();
  HalState& h = H();
  const void* caller = WDMSIM_CALLER();
  DriverImage* owner = k.ImageForAddress(caller);
  std::unique_lock lock(h.lock);
  Adapter* a = LiveAdapter(h, DmaAdapter, "AllocateCommonBuffer", lock);
  lock.unlock();
  if (Length == 0 || k.ShouldFail("AllocateCommonBuffer")) return nullptr;
  const uint64_t bytes = (uint64_t{Length} + kPageSize - 1) & ~(kPageSize - 1);
  lock.lock();
  uint64_t& next = a->dma64 ? h.nextBus64 : h.nextBus32;
  uint64_t bus = next;
  if (!a->dma64 && next + bytes > k4GiB) {
    // Note 1: the 32-bit space is used up; take a freed range if one fits
    // (long stress runs start cards hundreds of times).
    auto fit = std::find_if(h.freedBus32.begin(), h.freedBus32.end(),
                            [&](const auto& range) { return range.second >= bytes + kPageSize; });
    if (fit == h.freedBus32.end()) return nullptr;
    bus = fit->first;
    const uint64_t rest = fit->second - (bytes + kPageSize);
    h.freedBus32.erase(fit);
    if (rest != 0) h.freedBus32[bus + bytes + kPageSize] = rest;
  }
  void* host = std::aligned_alloc(kPageSize, bytes);
  if (host == nullptr) return nullptr;
  FillUnwritten(host, bytes);  // note 3
  CommonBuffer buffer{a, Length, bus, host, owner, owner != nullptr ? caller : nullptr, false};
  if (bus == next) next += bytes + kPageSize;
  h.buffers[buffer.bus] = buffer;
  LogicalAddress->QuadPart = static_cast<LONGLONG>(buffer.bus);
  return host;
}

void NTAPI FreeCommonBuffer(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress, PVOID VirtualAddress,
                      BOOLEAN CacheEnabled) {
  RequireIrqlAtMost("FreeCommonBuffer", PASSIVE_LEVEL);
  (void)CacheEnabled;
  HalState& h = H();
  std::unique_lock lock(h.lock);
  const auto bus = static_cast<uint64_t>(LogicalAddress.QuadPart);
  auto it = h.buffers.find(bus);
  std::string wrong;
  if (it == h.buffers.end()) {
    wrong = "no common buffer has logical address " + Hex(bus);
  } else if (&it->second.adapter->adapter != DmaAdapter) {
    wrong = "the buffer at logical address " + Hex(bus) + " belongs to another adapter";
  } else if (it->second.length != Length) {
    wrong = "the buffer at logical address " + Hex(bus) + " was allocated with length " +
            std::to_string(it->second.length) + ", not " + std::to_string(Length);
  } else if (it->second.host != VirtualAddress) {
    wrong = "the buffer at logical address " + Hex(bus) + " has virtual address " +
            Hex(reinterpret_cast<uintptr_t>(it->second.host)) + ", not " +
            Hex(reinterpret_cast<uintptr_t>(VirtualAddress));
  }
  if (!wrong.empty()) {
    lock.unlock();
    K().RaiseBugCheck(DRIVER_VERIFIER_DMA_VIOLATION, 0x02, reinterpret_cast<ULONG_PTR>(DmaAdapter), Length, bus,
                      "FreeCommonBuffer: " + wrong);
  }
  std::free(it->second.host);
  if (!it->second.adapter->dma64) {
    h.freedBus32[bus] = ((uint64_t{Length} + kPageSize - 1) & ~(kPageSize - 1)) + kPageSize;
  }
  h.buffers.erase(it);
}

[[noreturn]] void Forbidden(const char* operation) {
  K().RaiseBugCheck(DRIVER_VERIFIER_DMA_VIOLATION, 0xFF, 0, 0, 0,
                    std::string("the driver called DmaOperations->") + operation + "; this driver must not");
}

#define WDMSIM_FORBIDDEN(name) \
  void NTAPI Forbidden##name() { Forbidden(#name); }
WDMSIM_FORBIDDEN(AllocateAdapterChannel)
WDMSIM_FORBIDDEN(FlushAdapterBuffers)
WDMSIM_FORBIDDEN(FreeAdapterChannel)
WDMSIM_FORBIDDEN(FreeMapRegisters)
WDMSIM_FORBIDDEN(MapTransfer)
WDMSIM_FORBIDDEN(GetDmaAlignment)
WDMSIM_FORBIDDEN(ReadDmaCounter)
WDMSIM_FORBIDDEN(GetScatterGatherList)
WDMSIM_FORBIDDEN(PutScatterGatherList)
WDMSIM_FORBIDDEN(CalculateScatterGatherList)
WDMSIM_FORBIDDEN(BuildScatterGatherList)
WDMSIM_FORBIDDEN(BuildMdlFromScatterGatherList)
#undef WDMSIM_FORBIDDEN

// Note 2. Caller holds h.lock.
CommonBuffer* BufferCovering(HalState& h, uint64_t bus, size_t length) {
  auto it = h.buffers.upper_bound(bus);
  if (it == h.buffers.begin()) return nullptr;
  --it;
  CommonBuffer& b = it->second;
  if (bus < b.bus || bus + length > b.bus + b.length || bus + length < bus) return nullptr;
  return &b;
}

bool BusAccess(unsigned slot, uint64_t bus, void* host, const void* card, size_t length) {
  KernelState& k = K();
  HalState& h = *k.hal;
  {
    std::lock_guard lock(h.lock);
    if (CommonBuffer* b = BufferCovering(h, bus, length)) {
      char* target = static_cast<char*>(b->host) + (bus - b->bus);
      if (card != nullptr) {
        BusCopy(target, card, length);
      } else {
        BusCopy(host, target, length);
      }
      return true;
    }
  }
  k.Finding("card DMA to unmapped bus address " + Hex(bus) + " (" + std::to_string(length) + " bytes, " +
            (card != nullptr ? "write" : "read") + ", slot " + std::to_string(slot) + ")");
  return false;
}

}  // namespace

bool BusWrite(unsigned slot, uint64_t bus, const void* src, size_t length) {
  return BusAccess(slot, bus, nullptr, src, length);
}

bool BusRead(unsigned slot, uint64_t bus, void* dst, size_t length) {
  return BusAccess(slot, bus, dst, nullptr, length);
}

}  // namespace wdmsim::hal

using namespace wdmsim;
using namespace wdmsim::hal;

extern "C" {

PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters) {
  RequirePassive("IoGetDmaAdapter");
  KernelState& k = K();
  const DEVICE_DESCRIPTION* d = DeviceDescription;
  if (d == nullptr || NumberOfMapRegisters == nullptr) {
    k.RaiseBugCheck(DRIVER_VERIFIER_DMA_VIOLATION, 0x03, 0, 0, 0, "IoGetDmaAdapter without a device description");
  }
  if (k.ShouldFail("IoGetDmaAdapter")) return nullptr;
  // What the HAL accepts for a device on a PCI bus: a known description
  // version, a bus master (PCI has no system DMA controller), a maximum
  // transfer length.
  if (d->Version > DEVICE_DESCRIPTION_VERSION2) return nullptr;
  if (d->InterfaceType != PCIBus || !d->Master || d->MaximumLength == 0) return nullptr;

  HalState& h = H();
  std::lock_guard lock(h.lock);
  int slot = -1;
  for (auto& [number, card] : h.cards) {
    if (card->pdo != nullptr && card->pdo == PhysicalDeviceObject) slot = static_cast<int>(number);
  }
  if (slot < 0) return nullptr;  // not a physical device object of the bus
  auto a = std::make_unique<Adapter>();
  a->adapter.Version = 1;
  a->adapter.Size = sizeof(DMA_ADAPTER);
  a->adapter.DmaOperations = &a->operations;
  DMA_OPERATIONS& ops = a->operations;
  ops.Size = sizeof(DMA_OPERATIONS);
  ops.PutDmaAdapter = PutDmaAdapter;
  ops.AllocateCommonBuffer = AllocateCommonBuffer;
  ops.FreeCommonBuffer = FreeCommonBuffer;
  ops.AllocateAdapterChannel = ForbiddenAllocateAdapterChannel;
  ops.FlushAdapterBuffers = ForbiddenFlushAdapterBuffers;
  ops.FreeAdapterChannel = ForbiddenFreeAdapterChannel;
  ops.FreeMapRegisters = ForbiddenFreeMapRegisters;
  ops.MapTransfer = ForbiddenMapTransfer;
  ops.GetDmaAlignment = ForbiddenGetDmaAlignment;
  ops.ReadDmaCounter = ForbiddenReadDmaCounter;
  ops.GetScatterGatherList = ForbiddenGetScatterGatherList;
  ops.PutScatterGatherList = ForbiddenPutScatterGatherList;
  ops.CalculateScatterGatherList = ForbiddenCalculateScatterGatherList;
  ops.BuildScatterGatherList = ForbiddenBuildScatterGatherList;
  ops.BuildMdlFromScatterGatherList = ForbiddenBuildMdlFromScatterGatherList;
  a->pdo = PhysicalDeviceObject;
  a->slot = slot;
  // Version 2 descriptions say what they mean; older ones with neither flag
  // set are treated as 32-bit, as the HAL treats a PCI bus master.
  a->dma64 = d->Dma64BitAddresses != 0;
  const void* caller = WDMSIM_CALLER();
  a->owner = k.ImageForAddress(caller);
  a->at = a->owner != nullptr ? caller : nullptr;
  // A scatter/gather bus master needs a map register per page of the
  // largest transfer, plus one for a buffer that does not start on a page.
  *NumberOfMapRegisters = static_cast<ULONG>((uint64_t{d->MaximumLength} + kPageSize - 1) / kPageSize + 1);
  h.adapters.push_back(std::move(a));
  return &h.adapters.back()->adapter;
}

}  // extern "C"
