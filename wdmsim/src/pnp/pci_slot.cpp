// A device model in a slot of the simulated PCI bus: the platform side it
// sees (bus-address DMA, its interrupt line and messages, the clock, timed
// events), the windows the bus driver assigns it through configuration
// space, and the resource lists a start request carries.
#include <pthread.h>
#include <algorithm>
#include <array>
#include <stdexcept>

#include "hal/hal.h"
#include "hal/pci_config.h"
#include "pnp/pdo.h"

namespace wdmsim {

namespace {

constexpr uint64_t kBarWindowBase = 0xE0000000;
constexpr uint64_t kBarWindowPerSlot = 0x100000;
constexpr uint64_t kBarSpacing = 0x20000;  // BAR n starts at or after slot window + n * spacing
constexpr ULONG kFirstVector = 0x60;
constexpr USHORT kMemoryPrefetchable = 0x0004;  // CM_RESOURCE_MEMORY_PREFETCHABLE

// What the device sees of the host.
class SlotHost final : public PciHost {
 public:
  SlotHost(KernelState& k, unsigned slot) : k_(k), slot_(slot) {}
  bool DmaToHost(uint64_t busAddress, const void* src, size_t length) override {
    return hal::BusWrite(slot_, busAddress, src, length);
  }
  bool DmaFromHost(uint64_t busAddress, void* dst, size_t length) override {
    return hal::BusRead(slot_, busAddress, dst, length);
  }
  void SetLineInterrupt(bool asserted) override { hal::SetLine(slot_, asserted); }
  void SignalMessageInterrupt(uint32_t messageId) override { hal::SignalMessage(slot_, messageId); }
  uint64_t NowNs() override { return k_.clock.NowNs(); }
  void ScheduleAfterNs(uint64_t delayNs, std::function<void()> fn) override {
    hal::ScheduleCardEvent(delayNs, std::move(fn));
  }

 private:
  KernelState& k_;
  unsigned slot_;
};

// Configuration-space requests of the physical device object reach the
// device model.
class FunctionConfigSpace final : public pnp::ConfigSpace {
 public:
  explicit FunctionConfigSpace(std::shared_ptr<PciFunction> function) : function_(std::move(function)) {}
  size_t Read(ULONG offset, void* buffer, ULONG length) override { return function_->ConfigRead(offset, buffer, length); }
  size_t Write(ULONG offset, const void* buffer, ULONG length) override {
    return function_->ConfigWrite(offset, buffer, length);
  }

 private:
  std::shared_ptr<PciFunction> function_;
};

// The usual sizing protocol: all ones in, the size mask (flag bits intact)
// out, then the base, aligned to the window's size. Memory BARs only.
hal::PciBar AssignBar(PciFunction& function, int bar, uint64_t wanted) {
  const uint32_t reg = pci::kBar0 + 4 * static_cast<uint32_t>(bar);
  pci::ConfigWrite32(function, reg, 0xFFFFFFFF);
  const uint32_t answer = pci::ConfigRead32(function, reg);
  const uint32_t mask = answer & ~pci::kBarFlagsMask;
  if (mask == 0 || (answer & pci::kBarIoSpace) != 0) return {};  // not implemented, or I/O space
  hal::PciBar assigned;
  assigned.size = uint64_t{~mask} + 1;
  assigned.prefetchable = (answer & pci::kBarPrefetchable) != 0;
  const uint64_t base = (wanted + assigned.size - 1) & ~(assigned.size - 1);
  pci::ConfigWrite32(function, reg, static_cast<uint32_t>(base));
  return assigned;
}

// Runs the devices' events when the clock reaches them. A simulated thread
// for its whole life: it waits for the first event's due time, or with no
// deadline when there is none (ke/clock.h, note 1).
void CardEventThread(KernelState* k, hal::HalState* h) {
  pthread_setname_np(pthread_self(), "wdmsim-cards");  // for profilers
  k->clock.AdoptCount(Clock::Role::CardEvents);
  std::unique_lock lock(h->eventLock);
  while (!h->eventsStopping) {
    if (h->events.empty()) {
      k->clock.WaitOnce(h->EventChannel(), lock, Clock::kNever);
      continue;
    }
    auto first = h->events.begin();
    const uint64_t due = first->first;
    if (k->clock.NowNs() < due) {
      // The real-time clock reads in 100 ns steps: wake on the step after.
      k->clock.WaitOnce(h->EventChannel(), lock, k->clock.simulated() ? due : (due / 100 + 1) * 100);
      continue;
    }
    std::function<void()> fn = std::move(first->second);
    h->events.erase(first);
    if (k->crashed) continue;  // a stopped machine's devices do nothing the host sees
    lock.unlock();
    fn();  // no wdmsim lock held: the device calls the host from here
    lock.lock();
  }
  lock.unlock();
  k->clock.Leave();
}

}  // namespace

namespace hal {

void StartCardEvents(KernelState& k, HalState& h) {
  k.clock.CountStartingThread();
  h.eventThread = std::thread(CardEventThread, &k, &h);
}

void ScheduleCardEvent(uint64_t delayNs, std::function<void()> fn) {
  KernelState& k = K();
  HalState& h = *k.hal;
  {
    std::lock_guard lock(h.eventLock);
    h.events.emplace(k.clock.NowNs() + delayNs, std::move(fn));
    k.clock.Kick(h.EventChannel());  // the thread's deadline may be earlier now
  }
  h.eventCv.notify_all();
}

}  // namespace hal

namespace pnp {

// Puts a new device model in the slot and does what firmware and the bus
// driver do before any function driver sees it: windows assigned, decoding
// and bus mastering enabled, the line routed to a system vector.
void AttachFunction(KernelState& k, Slot& slot, PdoExtension& ext, const PciFunctionFactory& make,
                    const Slot* lineOf) {
  hal::HalState& h = *k.hal;
  auto record = std::make_unique<hal::CardSlot>();
  record->number = slot.number;
  record->port = std::make_unique<SlotHost>(k, slot.number);
  record->function = make(*record->port);
  if (!record->function) throw std::invalid_argument("wdmsim: the device factory made no device");
  PciFunction& function = *record->function;

  // Each implemented BAR gets its own aligned window, past the previous
  // one; windows of up to kBarSpacing each stay inside the slot's.
  const uint64_t window = kBarWindowBase + uint64_t{slot.number} * kBarWindowPerSlot;
  uint64_t next = window;
  for (int bar = 0; bar < pci::kBarCount; ++bar) {
    const uint64_t wanted = std::max(next, window + uint64_t(bar) * kBarSpacing);
    record->bars[bar] = AssignBar(function, bar, wanted);
    if (record->bars[bar].size != 0) next = pci::BarBase(function, bar) + record->bars[bar].size;
  }
  uint16_t command = 0;
  function.ConfigRead(pci::kCommand, &command, sizeof(command));
  command |= pci::kCommandMemory | pci::kCommandBusMaster;
  function.ConfigWrite(pci::kCommand, &command, sizeof(command));

  uint8_t line = 0;
  function.ConfigRead(pci::kInterruptLine, &line, 1);
  record->line = line;
  record->vector = kFirstVector + (lineOf != nullptr ? lineOf->number : slot.number);
  record->irql = static_cast<KIRQL>(record->vector >> 4);  // the vector's priority class
  record->pdo = slot.pdo;
  record->msiSupported = slot.driver != nullptr && slot.driver->impl().msiSupported;

  slot.function = record->function;
  slot.interruptVector = record->vector;
  slot.interruptIrql = record->irql;
  ext.config = std::make_shared<FunctionConfigSpace>(record->function);

  std::lock_guard lock(h.lock);
  for (auto& [number, other] : h.cards) {
    if (other->pdo == slot.pdo) other->pdo = nullptr;  // a deleted device's address, reused
  }
  h.cards[slot.number] = std::move(record);
}

}  // namespace pnp

ResourceLists Kernel::DefaultResources(const Slot& slot) const {
  ResourceLists lists;
  if (!slot.function) return lists;
  std::array<hal::PciBar, pci::kBarCount> bars{};
  {
    hal::HalState& h = *state_->hal;
    std::lock_guard lock(h.lock);
    auto it = h.cards.find(slot.number);
    if (it == h.cards.end()) return lists;
    bars = it->second->bars;
  }
  PciFunction& function = *slot.function;
  auto memory = [&](int bar) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    if (bars[bar].prefetchable) d.Flags |= kMemoryPrefetchable;
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(pci::BarBase(function, bar));
    d.u.Memory.Length = static_cast<ULONG>(bars[bar].size);
    return d;
  };
  CM_PARTIAL_RESOURCE_DESCRIPTOR raw{};
  raw.Type = CmResourceTypeInterrupt;
  raw.ShareDisposition = CmResourceShareShared;
  raw.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  uint8_t line = 0;
  function.ConfigRead(pci::kInterruptLine, &line, 1);
  raw.u.Interrupt.Level = raw.u.Interrupt.Vector = line;
  raw.u.Interrupt.Affinity = static_cast<KAFFINITY>(-1);
  CM_PARTIAL_RESOURCE_DESCRIPTOR translated = raw;
  translated.u.Interrupt.Level = slot.interruptIrql;
  translated.u.Interrupt.Vector = slot.interruptVector;
  const unsigned processors = state_->options.processors;
  translated.u.Interrupt.Affinity = processors >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << processors) - 1;

  for (auto* list : {&lists.raw, &lists.translated}) {
    for (int bar = 0; bar < pci::kBarCount; ++bar) {
      if (bars[bar].size != 0) list->push_back(memory(bar));
    }
  }
  lists.raw.push_back(raw);
  lists.translated.push_back(translated);
  return lists;
}

}  // namespace wdmsim
