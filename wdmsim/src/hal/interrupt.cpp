// Interrupt objects and delivery: IoConnectInterrupt(Ex),
// IoDisconnectInterrupt(Ex), the card's line and messages.
//
// Notes:
//  1. One kernel interrupt thread delivers everything. A routine runs at its
//     object's SynchronizeIrql with the object's spin lock (the driver's, or
//     the object's own) held, on that thread, never with a wdmsim lock held.
//  2. A line is delivered while it is asserted and someone is connected to
//     its vector (before that the interrupt controller keeps it masked). One
//     delivery walks the connected routines in connection order until one
//     claims the interrupt. A level line that is still asserted after a walk
//     is delivered again after a short pause on the simulated clock (and,
//     on the real-time clock, a few microseconds of real time), so a storm
//     is visible in the counts without spinning a processor. The thread is
//     a simulated thread for its whole life: it waits until the first
//     redelivery is due, or with no deadline (ke/clock.h, note 1).
//  3. A message goes to the routine connected for the card's messages, or is
//     dropped (counted) when none is.
//  4. Disconnecting waits until no delivery that may still call the routine
//     is in progress.
//  5. A level-sensitive line stays asserted while any device on it asserts
//     it, and is delivered again and again while it does. Still asserted
//     after kStormDeliveries deliveries in a row (100 ms of simulated time at
//     the redelivery pause), it is an interrupt storm: bug check 0xF2
//     (HARDWARE_INTERRUPT_STORM), with the routine that claimed the last
//     delivery (parameter 4 = 2) or, when none did, the first on the line (1).
//     A routine that claims interrupts its device did not raise starves the
//     other devices on the line this way.
//  6. Message interrupts are granted only to a device whose registry says
//     MSISupported (what its INF writes under Interrupt Management, key
//     MessageSignaledInterruptProperties); otherwise a message-based
//     connection falls back to the line, as on Windows, and the caller
//     learns so from Version.
//  7. The interrupt thread is processor 0 at device IRQL: while it has
//     interrupts to deliver (messages queued, a line walk), processor 0's
//     DPCs wait, as a processor services its pending interrupts before its
//     IRQL drops to where DPCs run. Messages that arrive together are all
//     delivered before a DPC their routines queued runs.
//     Kernel::MaskInterrupts holds every delivery back, as a processor at
//     HIGH_LEVEL would, and lets the pending ones go together when lifted.
#include <pthread.h>

#include <algorithm>
#include <bit>

#include "hal/hal.h"

namespace wdmsim::hal {

namespace {

constexpr int64_t kRedeliveryPause100ns = 1000;  // 100 us of simulated time
constexpr uint64_t kStormDeliveries = 1000;       // note 5
constexpr ULONG HARDWARE_INTERRUPT_STORM = 0xF2;
constexpr auto kMinimumRealPause = std::chrono::microseconds(10);
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225L);  // STATUS_NOT_FOUND

constexpr uint32_t kMsiAddress = 0xFEE00000;  // the local interrupt controllers' window
constexpr ULONG kFirstMessageVector = 0xA0;

// Runs one routine (note 1). Returns whether it claimed the interrupt.
bool CallRoutine(KernelState& k, PKINTERRUPT object, ULONG messageId) {
  SetCurrentIrql(object->synchronizeIrql);
  KeAcquireSpinLockAtDpcLevel(object->spinLock);
  BOOLEAN claimed = object->message ? ldr::CallDriver(object->messageService, object, object->context, messageId)
                                    : ldr::CallDriver(object->service, object, object->context);
  if (CurrentIrql() != object->synchronizeIrql) {
    k.Finding("interrupt routine " + Hex(reinterpret_cast<uintptr_t>(object->service != nullptr
                                                                         ? reinterpret_cast<void*>(object->service)
                                                                         : reinterpret_cast<void*>(object->messageService))) +
              " returned at IRQL " + std::to_string(CurrentIrql()) + " instead of " +
              std::to_string(object->synchronizeIrql));
    SetCurrentIrql(object->synchronizeIrql);
  }
  KeReleaseSpinLockFromDpcLevel(object->spinLock);
  SetCurrentIrql(PASSIVE_LEVEL);
  return claimed != FALSE;
}

// Calls `objects` in order until one claims; caller holds `lock`, which is
// released around the calls. Returns the object that claimed, or null.
PKINTERRUPT Walk(KernelState& k, HalState& h, std::unique_lock<std::mutex>& lock,
                 const std::vector<PKINTERRUPT>& objects, ULONG messageId) {
  for (PKINTERRUPT o : objects) ++o->inProgress;
  PKINTERRUPT claimedBy = nullptr;
  for (PKINTERRUPT o : objects) {
    if (!o->connected) continue;
    lock.unlock();
    bool claimed = false;
    try {
      claimed = CallRoutine(k, o, messageId);
    } catch (const BugCheck&) {
      SetCurrentIrql(PASSIVE_LEVEL);  // recorded; the kernel is dead
    }
    lock.lock();
    if (claimed) claimedBy = o;
    if (claimed || k.crashed) break;
  }
  for (PKINTERRUPT o : objects) --o->inProgress;
  k.clock.Kick(h.Channel());
  h.cv.notify_all();
  return claimedBy;
}

// Note 5. Called with `lock` held; returns with it held, true when it
// stopped the machine (`card` may be gone then).
bool StormCheck(KernelState& k, std::unique_lock<std::mutex>& lock, CardSlot& card,
                const std::vector<PKINTERRUPT>& chain, PKINTERRUPT claimedBy) {
  if (!card.lineAsserted) return false;
  if (++card.stormRun < kStormDeliveries || chain.empty()) return false;
  PKINTERRUPT culprit = claimedBy != nullptr ? claimedBy : chain.front();
  const auto routine = reinterpret_cast<ULONG_PTR>(culprit->service);
  lock.unlock();
  try {
    k.RaiseBugCheck(HARDWARE_INTERRUPT_STORM, routine, reinterpret_cast<ULONG_PTR>(culprit->context),
                    reinterpret_cast<ULONG_PTR>(culprit), claimedBy != nullptr ? 2 : 1,
                    "interrupt storm: line vector 0x" + Hex(card.vector).substr(14) + " still asserted after " +
                        std::to_string(kStormDeliveries) + " deliveries in a row; " +
                        (claimedBy != nullptr ? "the routine " + k.CodeName(reinterpret_cast<const void*>(culprit->service)) +
                                                    " claims every one, and whatever asserts the line is never served"
                                              : "no routine on the line claims it"));
  } catch (const BugCheck&) {
    // Recorded; the kernel is dead.
  }
  lock.lock();
  return true;
}

void InterruptThread(KernelState* k, HalState* h) {
  pthread_setname_np(pthread_self(), "wdmsim-irq");  // for profilers
  k->clock.AdoptCount(Clock::Role::Interrupts);
  SetCurrentProcessor(0);
  const bool simulated = k->clock.simulated();
  std::unique_lock lock(h->lock);
  // Note 7: DPCs on this processor wait while it is busy. Returns whether
  // it let go of `lock` (whatever was looked at must be looked at again).
  auto busy = [&](bool on) {
    if (k->interruptsBusy.load() == on) return false;
    lock.unlock();
    {
      std::lock_guard dispatcher(k->dispatcher);
      k->interruptsBusy = on;
      k->clock.Kick(k->DpcChannel());
    }
    k->dpcCv.notify_all();
    lock.lock();
    return true;
  };
  while (!h->stopping) {
    if (k->crashed || h->masked) {
      if (busy(false)) continue;
      k->clock.WaitOnce(h->Channel(), lock, Clock::kNever);
      continue;
    }
    if (!h->messages.empty()) {  // note 3
      if (busy(true)) continue;
      auto [slot, id] = h->messages.front();
      h->messages.pop_front();
      auto it = h->cards.find(slot);
      if (it == h->cards.end()) continue;
      CardSlot& card = *it->second;
      PIO_INTERRUPT_MESSAGE_INFO table = card.messageTable;
      if (table == nullptr) {
        ++card.counts.messagesDropped;
        continue;
      }
      ++card.counts.messages;
      std::vector<PKINTERRUPT> one{table->objects[id % table->MessageCount]};
      if (Walk(*k, *h, lock, one, id) != nullptr) ++card.counts.messagesClaimed;
      continue;
    }
    // Note 2: the line that is due first.
    const auto now = std::chrono::steady_clock::now();
    const uint64_t nowNs = k->clock.NowNs();
    CardSlot* due = nullptr;
    auto earliest = std::chrono::steady_clock::time_point::max();
    uint64_t earliestNs = Clock::kNever;
    for (auto& [number, card] : h->cards) {
      auto chain = h->chains.find(card->vector);
      if (!card->lineAsserted || chain == h->chains.end() || chain->second.empty()) continue;
      if (simulated ? card->nextDeliveryNs <= nowNs : card->nextDelivery <= now) {
        due = card.get();
        break;
      }
      earliest = std::min(earliest, card->nextDelivery);
      earliestNs = std::min(earliestNs, card->nextDeliveryNs);
    }
    if (due == nullptr) {
      if (busy(false)) continue;
      if (simulated) {
        k->clock.WaitOnce(h->Channel(), lock, earliestNs);
      } else if (earliest == std::chrono::steady_clock::time_point::max()) {
        h->cv.wait(lock);
      } else {
        h->cv.wait_until(lock, earliest);
      }
      continue;
    }
    if (busy(true)) continue;  // `due` may have gone meanwhile
    std::vector<PKINTERRUPT> chain = h->chains[due->vector];
    PKINTERRUPT claimedBy = Walk(*k, *h, lock, chain, 0);
    const bool claimed = claimedBy != nullptr;
    // Counted once the routines have run: whoever sees the delivery sees
    // what they did.
    ++due->counts.lineDeliveries;
    if (claimed) {
      ++due->counts.lineClaimed;
    } else {
      ++due->counts.lineUnclaimed;
    }
    if (StormCheck(*k, lock, *due, chain, claimedBy)) continue;
    if (due->lineAsserted) {
      if (simulated) {
        due->nextDeliveryNs = k->clock.NowNs() + kRedeliveryPause100ns * 100;
      } else {
        due->nextDelivery = std::max(k->clock.RealAt(k->clock.Now100ns() + kRedeliveryPause100ns),
                                     std::chrono::steady_clock::now() + kMinimumRealPause);
      }
    }
  }
  busy(false);
  lock.unlock();
  k->clock.Leave();
}

CardSlot* CardForPdo(HalState& h, PDEVICE_OBJECT pdo) {
  for (auto& [number, card] : h.cards) {
    if (card->pdo != nullptr && card->pdo == pdo) return card.get();
  }
  return nullptr;
}

CardSlot* CardForVector(HalState& h, ULONG vector) {
  for (auto& [number, card] : h.cards) {
    if (card->vector == vector) return card.get();
  }
  return nullptr;
}

struct LineRequest {
  PKSERVICE_ROUTINE routine;
  PVOID context;
  PKSPIN_LOCK spinLock;
  ULONG vector;
  KIRQL irql;
  KIRQL synchronizeIrql;
  KINTERRUPT_MODE mode;
  bool share;
  KAFFINITY processors;
  ULONG version;
};

// Connects a routine to a routed line. Returns the status IoConnectInterrupt reports.
NTSTATUS ConnectLine(KernelState& k, const LineRequest& r, const void* caller, PKINTERRUPT* result) {
  DriverImage* const owner = k.ImageForAddress(caller);
  *result = nullptr;
  if (r.routine == nullptr || r.synchronizeIrql < r.irql || r.irql <= DISPATCH_LEVEL) return STATUS_INVALID_PARAMETER;
  const KAFFINITY active = k.options.processors >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << k.options.processors) - 1;
  if ((r.processors & active) == 0) return STATUS_INVALID_PARAMETER;
  HalState& h = H();
  std::lock_guard lock(h.lock);
  CardSlot* card = CardForVector(h, r.vector);
  if (card == nullptr || card->irql != r.irql) return STATUS_INVALID_PARAMETER;  // not a vector the bus routed
  auto& chain = h.chains[r.vector];
  for (PKINTERRUPT other : chain) {
    // Everyone on a line must agree to share it, and on how it signals.
    if (!r.share || !other->share || other->mode != r.mode) return STATUS_INVALID_PARAMETER;
  }
  auto* object = new _KINTERRUPT{};
  object->vector = r.vector;
  object->irql = r.irql;
  object->synchronizeIrql = r.synchronizeIrql;
  object->mode = r.mode;
  object->share = r.share;
  object->service = r.routine;
  object->context = r.context;
  object->spinLock = r.spinLock != nullptr ? r.spinLock : &object->ownLock;
  object->slot = static_cast<int>(card->number);
  object->connectVersion = r.version;
  object->owner = owner;
  object->at = owner != nullptr ? caller : nullptr;
  chain.push_back(object);
  h.objects.insert(object);
  *result = object;
  k.clock.Kick(h.Channel());
  h.cv.notify_all();  // a line that was waiting for a routine
  return STATUS_SUCCESS;
}

// Connects a message routine for every message the device can send, as
// its capability at `msi` announces. Caller holds `lock`; it is released to
// program the device.
NTSTATUS ConnectMessages(const IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS& p, CardSlot& card, uint32_t msi,
                         uint16_t control, const void* caller, std::unique_lock<std::mutex>& lock) {
  DriverImage* const owner = K().ImageForAddress(caller);
  HalState& h = H();
  if (card.messageTable != nullptr) return STATUS_INVALID_PARAMETER;  // connected already
  const ULONG count = 1u << ((control >> pci::kMsiCapableShift) & 0x7);
  const ULONG vector = kFirstMessageVector + card.number;
  auto* table = new _IO_INTERRUPT_MESSAGE_INFO{};
  // The system picks the one IRQL all messages run at (and the spin lock is
  // taken at); a SynchronizeIrql above it raises it.
  table->UnifiedIrql = std::max(card.irql, p.SpinLock != nullptr ? p.SynchronizeIrql : card.irql);
  table->MessageCount = count;
  for (ULONG id = 0; id < count; ++id) {
    auto* object = new _KINTERRUPT{};
    object->vector = vector;
    object->irql = card.irql;
    object->synchronizeIrql = table->UnifiedIrql;
    object->mode = Latched;
    object->messageService = p.MessageServiceRoutine;
    object->context = p.ServiceContext;
    object->spinLock = p.SpinLock != nullptr ? p.SpinLock : &object->ownLock;
    object->slot = static_cast<int>(card.number);
    object->message = true;
    object->messageId = id;
    object->connectVersion = CONNECT_MESSAGE_BASED;
    object->owner = owner;
    object->at = owner != nullptr ? caller : nullptr;
    table->objects.push_back(object);
    h.objects.insert(object);
  }
  card.messageTable = table;
  h.tables.insert(table);
  *p.ConnectionContext.InterruptMessageTable = table;
  // Program the device's message capability as the platform does: where
  // its messages land, how many it may send, and that they are enabled.
  std::shared_ptr<PciFunction> device = card.function;
  lock.unlock();
  const bool wide = (control & pci::kMsiControl64Bit) != 0;
  pci::ConfigWrite32(*device, msi + 4, kMsiAddress);
  if (wide) pci::ConfigWrite32(*device, msi + 8, 0);
  uint16_t data = static_cast<uint16_t>(vector);
  device->ConfigWrite(msi + (wide ? 12 : 8), &data, sizeof(data));
  control = pci::ConfigRead16(*device, msi + pci::kMsiControlOffset);
  const unsigned log2 = static_cast<unsigned>(std::countr_zero(count));
  control = static_cast<uint16_t>((control & ~(0x7u << pci::kMsiGrantedShift)) | (log2 << pci::kMsiGrantedShift) |
                                  pci::kMsiControlEnable);
  device->ConfigWrite(msi + pci::kMsiControlOffset, &control, sizeof(control));
  return STATUS_SUCCESS;
}

// Takes a line object off its chain and waits for deliveries that may be
// running it (note 4). Caller holds `lock` and has checked the object.
void DisconnectLocked(HalState& h, PKINTERRUPT object, std::unique_lock<std::mutex>& lock) {
  object->connected = false;
  auto& chain = h.chains[object->vector];
  chain.erase(std::remove(chain.begin(), chain.end(), object), chain.end());
  h.objects.erase(object);
  K().clock.Wait(h.Channel(), lock, Clock::kNever, [&] { return object->inProgress == 0; });
}

void DisconnectTableLocked(HalState& h, PIO_INTERRUPT_MESSAGE_INFO table, std::unique_lock<std::mutex>& lock) {
  for (PKINTERRUPT object : table->objects) {
    object->connected = false;
    h.objects.erase(object);
  }
  for (auto& [number, card] : h.cards) {
    if (card->messageTable == table) card->messageTable = nullptr;
  }
  h.tables.erase(table);
  K().clock.Wait(h.Channel(), lock, Clock::kNever, [&] {
    return std::all_of(table->objects.begin(), table->objects.end(), [](PKINTERRUPT o) { return o->inProgress == 0; });
  });
}

[[noreturn]] void BadDisconnect(const char* routine, const void* what, std::unique_lock<std::mutex>& lock,
                                const std::string& why) {
  lock.unlock();
  K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x69, reinterpret_cast<ULONG_PTR>(what), 0, 0,
                    std::string(routine) + ": " + why);
}

}  // namespace

void StartInterrupts(KernelState& k, HalState& h) {
  k.clock.CountStartingThread();
  h.interruptThread = std::thread(InterruptThread, &k, &h);
}

void SetLine(unsigned slot, bool asserted) {
  KernelState& k = K();
  HalState& h = H();
  {
    std::lock_guard lock(h.lock);
    auto it = h.cards.find(slot);
    if (it == h.cards.end()) return;
    it->second->lineAsserted = asserted;
    if (!asserted) {  // a new assertion is a new interrupt
      it->second->nextDelivery = {};
      it->second->nextDeliveryNs = 0;
      it->second->stormRun = 0;
    }
    k.clock.Kick(h.Channel());
  }
  h.cv.notify_all();
}

void SignalMessage(unsigned slot, ULONG messageId) {
  KernelState& k = K();
  HalState& h = H();
  {
    std::lock_guard lock(h.lock);
    h.messages.emplace_back(slot, messageId);
    k.clock.Kick(h.Channel());
  }
  h.cv.notify_all();
}

void ForceDisconnect(PKINTERRUPT object) {
  HalState& h = H();
  std::unique_lock lock(h.lock);
  if (h.objects.count(object) == 0) return;
  if (object->message) {
    for (PIO_INTERRUPT_MESSAGE_INFO table : h.tables) {
      if (std::find(table->objects.begin(), table->objects.end(), object) != table->objects.end()) {
        DisconnectTableLocked(h, table, lock);
        h.retired.insert(h.retired.end(), table->objects.begin(), table->objects.end());
        delete table;  // a later disconnect with it is recognised as stale without reading it
        return;
      }
    }
    return;
  }
  DisconnectLocked(h, object, lock);
  h.retired.push_back(object);
}

}  // namespace wdmsim::hal

namespace wdmsim {

void Kernel::MaskInterrupts(bool masked) {
  hal::HalState& h = *state_->hal;
  {
    std::lock_guard lock(h.lock);
    h.masked = masked;
    state_->clock.Kick(h.Channel());
  }
  h.cv.notify_all();
}

Kernel::InterruptCounts Kernel::InterruptCountsFor(const Slot& slot) const {
  hal::HalState& h = *state_->hal;
  std::lock_guard lock(h.lock);
  auto it = h.cards.find(slot.number);
  return it == h.cards.end() ? InterruptCounts{} : it->second->counts;
}

}  // namespace wdmsim

using namespace wdmsim;
using namespace wdmsim::hal;

extern "C" {

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave) {
  RequirePassive("IoConnectInterrupt");
  (void)FloatingSave;
  KernelState& k = K();
  *InterruptObject = nullptr;
  if (k.ShouldFail("IoConnectInterrupt")) return STATUS_INSUFFICIENT_RESOURCES;
  LineRequest r{ServiceRoutine, ServiceContext, SpinLock, Vector, Irql, SynchronizeIrql, InterruptMode,
                ShareVector != FALSE, ProcessorEnableMask, 0};
  return ConnectLine(k, r, WDMSIM_CALLER(), InterruptObject);
}

VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  RequirePassive("IoDisconnectInterrupt");
  HalState& h = H();
  std::unique_lock lock(h.lock);
  if (h.objects.count(InterruptObject) == 0 || InterruptObject->message) {
    BadDisconnect("IoDisconnectInterrupt", InterruptObject, lock, "not a connected line interrupt object");
  }
  if (InterruptObject->connectVersion != 0 && InterruptObject->connectVersion != CONNECT_FULLY_SPECIFIED) {
    BadDisconnect("IoDisconnectInterrupt", InterruptObject, lock,
                  "the object was connected with IoConnectInterruptEx; disconnect it with IoDisconnectInterruptEx");
  }
  DisconnectLocked(h, InterruptObject, lock);
  lock.unlock();
  delete InterruptObject;
}

NTSTATUS IoConnectInterruptEx(PIO_CONNECT_INTERRUPT_PARAMETERS Parameters) {
  RequirePassive("IoConnectInterruptEx");
  KernelState& k = K();
  const void* caller = WDMSIM_CALLER();
  if (k.ShouldFail("IoConnectInterruptEx")) return STATUS_INSUFFICIENT_RESOURCES;
  HalState& h = H();
  switch (Parameters->Version) {
    case CONNECT_FULLY_SPECIFIED: {
      auto& p = Parameters->FullySpecified;
      if (p.InterruptObject == nullptr) return STATUS_INVALID_PARAMETER;
      LineRequest r{p.ServiceRoutine, p.ServiceContext, p.SpinLock, p.Vector, p.Irql, p.SynchronizeIrql,
                    p.InterruptMode, p.ShareVector != FALSE, p.ProcessorEnableMask, CONNECT_FULLY_SPECIFIED};
      return ConnectLine(k, r, caller, p.InterruptObject);
    }
    case CONNECT_LINE_BASED: {
      auto& p = Parameters->LineBased;
      if (p.InterruptObject == nullptr) return STATUS_INVALID_PARAMETER;
      LineRequest r{p.ServiceRoutine, p.ServiceContext, p.SpinLock, 0, 0, p.SynchronizeIrql, LevelSensitive, true,
                    ~KAFFINITY{0}, CONNECT_LINE_BASED};
      {
        std::lock_guard lock(h.lock);
        CardSlot* card = CardForPdo(h, p.PhysicalDeviceObject);
        if (card == nullptr) return STATUS_INVALID_PARAMETER;
        r.vector = card->vector;
        r.irql = card->irql;
      }
      r.synchronizeIrql = std::max(r.irql, p.SpinLock != nullptr ? p.SynchronizeIrql : r.irql);
      return ConnectLine(k, r, caller, p.InterruptObject);
    }
    case CONNECT_MESSAGE_BASED: {
      auto& p = Parameters->MessageBased;
      if (p.ConnectionContext.Generic == nullptr || p.MessageServiceRoutine == nullptr) return STATUS_INVALID_PARAMETER;
      std::unique_lock lock(h.lock);
      CardSlot* card = CardForPdo(h, p.PhysicalDeviceObject);
      if (card == nullptr) return STATUS_INVALID_PARAMETER;
      // The capability is read without the lock (hal.h, note 1).
      std::shared_ptr<PciFunction> device = card->function;
      lock.unlock();
      const uint32_t msi = pci::FindCapability(*device, pci::kCapIdMsi);
      const uint16_t control = msi != 0 ? pci::ConfigRead16(*device, msi + pci::kMsiControlOffset) : 0;
      lock.lock();
      card = CardForPdo(h, p.PhysicalDeviceObject);
      if (card == nullptr) return STATUS_INVALID_PARAMETER;
      if (msi != 0 && card->msiSupported) return ConnectMessages(p, *card, msi, control, caller, lock);  // note 6
      // The device has only its line, or may not use messages (note 6):
      // the fallback routine serves it, and the caller learns so from
      // Version.
      if (p.FallBackServiceRoutine == nullptr) return kStatusNotFound;
      LineRequest r{p.FallBackServiceRoutine, p.ServiceContext, p.SpinLock, card->vector, card->irql,
                    std::max(card->irql, p.SpinLock != nullptr ? p.SynchronizeIrql : card->irql), LevelSensitive,
                    true, ~KAFFINITY{0},
                    CONNECT_LINE_BASED};
      lock.unlock();
      NTSTATUS status = ConnectLine(k, r, caller, p.ConnectionContext.InterruptObject);
      if (NT_SUCCESS(status)) Parameters->Version = CONNECT_LINE_BASED;
      return status;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

VOID IoDisconnectInterruptEx(PIO_DISCONNECT_INTERRUPT_PARAMETERS Parameters) {
  RequirePassive("IoDisconnectInterruptEx");
  HalState& h = H();
  std::unique_lock lock(h.lock);
  const ULONG version = Parameters->Version;
  if (version == CONNECT_MESSAGE_BASED) {
    PIO_INTERRUPT_MESSAGE_INFO table = Parameters->ConnectionContext.InterruptMessageTable;
    if (h.tables.count(table) == 0) {
      BadDisconnect("IoDisconnectInterruptEx", table, lock,
                    "CONNECT_MESSAGE_BASED with " + Hex(reinterpret_cast<uintptr_t>(table)) +
                        ", which is not a connected message table");
    }
    DisconnectTableLocked(h, table, lock);
    std::vector<PKINTERRUPT> objects = std::move(table->objects);
    lock.unlock();
    for (PKINTERRUPT o : objects) delete o;
    delete table;
    return;
  }
  PKINTERRUPT object = Parameters->ConnectionContext.InterruptObject;
  const bool live = h.objects.count(object) != 0 && !object->message;
  const bool matches = live && (object->connectVersion == version ||
                                (version == CONNECT_FULLY_SPECIFIED && object->connectVersion == 0));
  if (!matches) {
    BadDisconnect("IoDisconnectInterruptEx", object, lock,
                  "version " + std::to_string(version) + " with " + Hex(reinterpret_cast<uintptr_t>(object)) +
                      (live ? ", which was connected with version " + std::to_string(object->connectVersion)
                            : ", which is not a connected interrupt object"));
  }
  DisconnectLocked(h, object, lock);
  lock.unlock();
  delete object;
}

}  // extern "C"
