// The HAL and memory-manager pieces that other wdmsim components use: the
// device models in the simulated bus's slots, I/O-space mappings, DMA adapters and the bus
// address map, MDLs, interrupt objects and the threads that deliver card
// events and interrupts.
//
// Notes:
//  1. Locks: `HalState::lock` guards every table below. It is never held
//     while driver code or a device model runs (a model calls back into the
//     HAL from MMIO accesses, to move its interrupt line), nor while asking
//     a model about its configuration.
//  2. Records are never freed while the kernel runs when a driver could
//     still hand their address back (adapters that were put, MDLs that were
//     freed sit in quarantine), so that a second release is reported instead
//     of reading freed memory. Everything goes when the kernel does.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hal/pci_config.h"
#include "internal.h"

// The interrupt object (opaque to drivers).
struct _KINTERRUPT {
  ULONG vector = 0;         // line interrupts: the routed system vector
  KIRQL irql = 0;
  KIRQL synchronizeIrql = 0;  // the IRQL the routine runs at
  KINTERRUPT_MODE mode = LevelSensitive;
  bool share = false;
  PKSERVICE_ROUTINE service = nullptr;
  PKMESSAGE_SERVICE_ROUTINE messageService = nullptr;
  PVOID context = nullptr;
  PKSPIN_LOCK spinLock = nullptr;  // the caller's, or &ownLock
  KSPIN_LOCK ownLock = 0;
  int slot = -1;
  bool message = false;
  ULONG messageId = 0;
  ULONG connectVersion = 0;  // 0: IoConnectInterrupt; else the version IoConnectInterruptEx reported
  bool connected = true;
  int inProgress = 0;        // deliveries that may be running its routine
  wdmsim::DriverImage* owner = nullptr;
  const void* at = nullptr;  // where the owner's code connected it
  bool reported = false;
};

// The table a message-based connection hands back (opaque to drivers).
struct _IO_INTERRUPT_MESSAGE_INFO {
  KIRQL UnifiedIrql = 0;
  ULONG MessageCount = 0;
  std::vector<PKINTERRUPT> objects;  // one per message
};

namespace wdmsim::hal {

constexpr ULONG PAGE_FAULT_IN_NONPAGED_AREA = 0x50;
constexpr ULONG DRIVER_VERIFIER_DMA_VIOLATION = 0xE6;
constexpr uint64_t kPageSize = 0x1000;

// A memory window the bus driver assigned (pci_slot.cpp).
struct PciBar {
  uint64_t size = 0;  // 0: not implemented
  bool prefetchable = false;
};

// A device model in a slot of the simulated bus.
struct CardSlot {
  unsigned number = 0;
  std::shared_ptr<PciFunction> function;
  std::unique_ptr<PciHost> port;  // outlives every call the model makes
  std::array<PciBar, pci::kBarCount> bars{};
  PDEVICE_OBJECT pdo = nullptr;
  ULONG line = 0;     // raw: the configuration space's interrupt line
  ULONG vector = 0;   // translated: the system vector
  KIRQL irql = 0;
  bool lineAsserted = false;
  // A line that stays asserted is delivered again only after this instant:
  // real time on the real-time clock, ns since boot on the Simulated one.
  std::chrono::steady_clock::time_point nextDelivery{};
  uint64_t nextDeliveryNs = 0;
  PIO_INTERRUPT_MESSAGE_INFO messageTable = nullptr;
  Kernel::InterruptCounts counts{};
  // Deliveries in a row after which the line was still asserted
  // (interrupt.cpp, note 5).
  uint64_t stormRun = 0;
  // The device's registry says MSISupported: message connections are
  // granted (interrupt.cpp, note 6). From its driver's INF, or set by a test.
  bool msiSupported = false;
};

// One MmMapIoSpace mapping.
struct IoMapping {
  uintptr_t base = 0;  // what the driver got (page offset preserved)
  SIZE_T size = 0;
  uint64_t physical = 0;
  uintptr_t pageStart = 0;
  size_t pageBytes = 0;
  int slot = -1;  // -1: nothing decodes the range (master abort)
  int bar = -1;
  uint64_t barOffset = 0;
  uint64_t barSize = 0;
  std::weak_ptr<PciFunction> function;
  DriverImage* owner = nullptr;
  const void* at = nullptr;  // where the owner's code mapped it
  bool reported = false;
};

struct Adapter {
  DMA_ADAPTER adapter{};  // first: the driver's pointer is this record's address
  DMA_OPERATIONS operations{};
  PDEVICE_OBJECT pdo = nullptr;
  int slot = -1;
  bool dma64 = false;
  bool put = false;
  DriverImage* owner = nullptr;
  const void* at = nullptr;  // where the owner's code got it
  bool reported = false;
};

struct CommonBuffer {
  Adapter* adapter = nullptr;
  ULONG length = 0;
  uint64_t bus = 0;
  void* host = nullptr;
  DriverImage* owner = nullptr;
  const void* at = nullptr;  // where the owner's code allocated it
  bool reported = false;
};

struct MdlRecord {
  uintptr_t va = 0;
  ULONG length = 0;
  DriverImage* owner = nullptr;
  bool reported = false;
  const void* at = nullptr;  // where the owner's code allocated it
};

struct HalState {
  ~HalState();  // frees every record; no driver code runs

  std::mutex lock;               // note 1
  std::condition_variable cv;    // interrupt thread, disconnect waits

  std::map<unsigned, std::unique_ptr<CardSlot>> cards;

  // I/O space: a reserved no-access region, one sub-range per mapping.
  uintptr_t regionBegin = 0, regionEnd = 0, regionNext = 0;
  std::map<uintptr_t, IoMapping> mappings;  // by pageStart

  // DMA: adapters and the bus address map.
  std::vector<std::unique_ptr<Adapter>> adapters;
  std::map<uint64_t, CommonBuffer> buffers;  // by bus address
  uint64_t nextBus32 = 0x10000000;
  // Freed 32-bit bus ranges (start, bytes with the guard page), reused only
  // once the bump allocator has reached 4 GiB (dma.cpp, note 1).
  std::map<uint64_t, uint64_t> freedBus32;
  uint64_t nextBus64 = 0x100000000;

  // MDLs (note 2)
  std::map<PMDL, MdlRecord> mdls;
  std::deque<PMDL> freedMdls;

  // Interrupts
  std::map<ULONG, std::vector<PKINTERRUPT>> chains;  // line vector -> connected objects
  std::set<PKINTERRUPT> objects;                     // every object not yet disconnected
  std::set<PIO_INTERRUPT_MESSAGE_INFO> tables;
  std::vector<PKINTERRUPT> retired;                  // disconnected at unload, freed at shutdown
  std::deque<std::pair<unsigned, ULONG>> messages;   // (slot, message id) waiting for delivery
  bool stopping = false;
  bool masked = false;  // Kernel::MaskInterrupts (interrupt.cpp, note 7)
  std::thread interruptThread;
  Clock::Channel Channel() { return {&lock, &cv}; }

  // Card events: callbacks the cards scheduled on the simulated clock.
  std::mutex eventLock;
  std::condition_variable eventCv;
  std::multimap<uint64_t, std::function<void()>> events;  // by due time, ns
  bool eventsStopping = false;
  std::thread eventThread;
  Clock::Channel EventChannel() { return {&eventLock, &eventCv}; }
};

HalState& H();

// Boot and shutdown (kernel.cpp): the reserved I/O region, the fault
// handler, the card-event and interrupt threads. Stop runs before the cards
// go; the state itself goes with the kernel.
void Boot(KernelState& k);
void Stop(KernelState& k);

// pnp/pci_slot.cpp
void StartCardEvents(KernelState& k, HalState& h);
void ScheduleCardEvent(uint64_t delayNs, std::function<void()> fn);

// hal/mmio.cpp
void ReserveIoRegion(HalState& h);
void ReleaseIoRegion(HalState& h);

// hal/dma.cpp: a device reaches host memory only through the bus address map.
bool BusWrite(unsigned slot, uint64_t bus, const void* src, size_t length);
bool BusRead(unsigned slot, uint64_t bus, void* dst, size_t length);

// hal/interrupt.cpp
void StartInterrupts(KernelState& k, HalState& h);
void SetLine(unsigned slot, bool asserted);
void SignalMessage(unsigned slot, ULONG messageId);
// Disconnects an object without the driver's help (its image is going).
void ForceDisconnect(PKINTERRUPT object);

// Verifier: what a card's drivers still hold of the card's resources
// (mapped windows, DMA adapters, common buffers, MDLs over them, interrupt
// connections), one line each. Called once the card's device stack has
// processed its remove request.
std::vector<std::string> LeaksForSlot(const Slot& slot);
// Verifier: what an image still holds as it unloads, one line each. Its
// interrupt connections are disconnected, so no routine of the unmapped
// image runs again.
std::vector<std::string> LeaksForImage(DriverImage& image);

}  // namespace wdmsim::hal
