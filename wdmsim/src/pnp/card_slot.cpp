// A card in a slot of the simulated PCI bus: the platform side the card
// sees (bus-address DMA, its interrupt line and messages, the clock, timed
// events), the resources the bus driver assigns it through configuration
// space, and the resource lists a start request carries.
#include "hal/hal.h"
#include "pnp/pdo.h"

namespace wdmsim {

namespace {

constexpr uint32_t kCommand = 0x04;
constexpr uint16_t kCommandMemory = 0x0002;
constexpr uint16_t kCommandBusMaster = 0x0004;
constexpr uint32_t kBar0 = 0x10;
constexpr uint32_t kInterruptLine = 0x3C;
constexpr uint64_t kBarWindowBase = 0xE0000000;
constexpr uint64_t kBarWindowPerSlot = 0x100000;
constexpr uint64_t kBar2Offset = 0x40000;
constexpr ULONG kFirstVector = 0x60;
constexpr USHORT kMemoryPrefetchable = 0x0004;  // CM_RESOURCE_MEMORY_PREFETCHABLE

// What the card sees of the host.
class SlotHostPort final : public card::HostPort {
 public:
  SlotHostPort(KernelState& k, unsigned slot) : k_(k), slot_(slot) {}
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

// Configuration-space requests of the physical device object reach the card.
class CardConfigSpace final : public pnp::ConfigSpace {
 public:
  explicit CardConfigSpace(std::shared_ptr<card::Card> card) : card_(std::move(card)) {}
  size_t Read(ULONG offset, void* buffer, ULONG length) override { return card_->ConfigRead(offset, buffer, length); }
  size_t Write(ULONG offset, const void* buffer, ULONG length) override {
    return card_->ConfigWrite(offset, buffer, length);
  }

 private:
  std::shared_ptr<card::Card> card_;
};

// The usual sizing protocol: all ones in, the size mask (flag bits intact)
// out, then the base, aligned to the window's size.
void AssignBar(card::Card& card, int bar, uint64_t wanted) {
  const uint32_t reg = kBar0 + 4 * static_cast<uint32_t>(bar);
  card.ConfigWrite32(reg, 0xFFFFFFFF);
  const uint32_t mask = card.ConfigRead32(reg) & ~0xFu;
  if (mask == 0) return;  // not implemented
  const uint64_t size = uint64_t{~mask} + 1;
  const uint64_t base = (wanted + size - 1) & ~(size - 1);
  card.ConfigWrite32(reg, static_cast<uint32_t>(base));
}

// Runs the cards' events when the clock reaches them. A simulated thread
// for its whole life: it waits for the first event's due time, or with no
// deadline when there is none (ke/clock.h, note 1).
void CardEventThread(KernelState* k, hal::HalState* h) {
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
    fn();  // no wdmsim lock held: the card calls the host from here
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

// Puts a new card in the slot and does what firmware and the bus driver do
// before any function driver sees it: windows assigned, decoding and bus
// mastering enabled, the line routed to a system vector.
void AttachCard(KernelState& k, Slot& slot, PdoExtension& ext, const card::CardOptions& options) {
  hal::HalState& h = *k.hal;
  auto record = std::make_unique<hal::CardSlot>();
  record->number = slot.number;
  record->port = std::make_unique<SlotHostPort>(k, slot.number);
  record->card = std::make_shared<card::Card>(*record->port, options);
  card::Card& card = *record->card;

  const uint64_t window = kBarWindowBase + uint64_t{slot.number} * kBarWindowPerSlot;
  AssignBar(card, card::Card::kUnusedBar, window);
  AssignBar(card, card::Card::kRegisterBar, window + kBar2Offset);
  uint16_t command = 0;
  card.ConfigRead(kCommand, &command, sizeof(command));
  command |= kCommandMemory | kCommandBusMaster;
  card.ConfigWrite(kCommand, &command, sizeof(command));

  uint8_t line = 0;
  card.ConfigRead(kInterruptLine, &line, 1);
  record->line = line;
  record->vector = kFirstVector + slot.number;
  record->irql = static_cast<KIRQL>(record->vector >> 4);  // the vector's priority class
  record->pdo = slot.pdo;

  slot.card = record->card;
  slot.interruptVector = record->vector;
  slot.interruptIrql = record->irql;
  ext.config = std::make_shared<CardConfigSpace>(record->card);

  std::lock_guard lock(h.lock);
  for (auto& [number, other] : h.cards) {
    if (other->pdo == slot.pdo) other->pdo = nullptr;  // a deleted device's address, reused
  }
  h.cards[slot.number] = std::move(record);
}

}  // namespace pnp

ResourceLists Kernel::DefaultResources(const Slot& slot) const {
  ResourceLists lists;
  if (!slot.card) return lists;
  auto memory = [&](int bar) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    if (bar == card::Card::kRegisterBar && slot.card->Options().bar2Prefetchable) d.Flags |= kMemoryPrefetchable;
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(slot.card->BarBase(bar));
    d.u.Memory.Length = static_cast<ULONG>(card::Card::BarSize(bar));
    return d;
  };
  CM_PARTIAL_RESOURCE_DESCRIPTOR raw{};
  raw.Type = CmResourceTypeInterrupt;
  raw.ShareDisposition = CmResourceShareShared;
  raw.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  uint8_t line = 0;
  slot.card->ConfigRead(kInterruptLine, &line, 1);
  raw.u.Interrupt.Level = raw.u.Interrupt.Vector = line;
  raw.u.Interrupt.Affinity = static_cast<KAFFINITY>(-1);
  CM_PARTIAL_RESOURCE_DESCRIPTOR translated = raw;
  translated.u.Interrupt.Level = slot.interruptIrql;
  translated.u.Interrupt.Vector = slot.interruptVector;
  const unsigned processors = state_->options.processors;
  translated.u.Interrupt.Affinity = processors >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << processors) - 1;

  for (auto* list : {&lists.raw, &lists.translated}) {
    list->push_back(memory(card::Card::kUnusedBar));
    list->push_back(memory(card::Card::kRegisterBar));
  }
  lists.raw.push_back(raw);
  lists.translated.push_back(translated);
  return lists;
}

}  // namespace wdmsim
