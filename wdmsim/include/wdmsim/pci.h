// The PCI function interface: what sits in a slot of wdmsim's PCI bus.
// wdmsim knows no particular device. A device model implements
// PciFunction (configuration space, the memory its BARs decode, and what it
// does when the platform changes its power state or pulls it out); the
// platform hands it a PciHost for everything it does to the host (DMA to
// bus addresses, its interrupt line, message interrupts, the clock, timed
// events). Modelled on QEMU's device models behind its PCI bus.
//
// Notes:
//  1. The model owns its configuration space, BARs included: the platform
//     assigns windows with the usual sizing protocol (all ones written to a
//     BAR, the size mask read back, then the base written), and decodes a
//     BAR from its register as it stands. 32-bit memory BARs only.
//  2. The platform finds message capabilities through the capability list
//     (status bit 4, pointer at 0x34) and programs them itself when a driver
//     connects message interrupts.
//  3. Threads: every call may come from any thread, several at once. The
//     platform holds none of its locks while calling the model, and the
//     model may call PciHost from inside any PciFunction call (an interrupt
//     routine that reads registers from SetLineInterrupt, say). A model must
//     not call PciHost while holding a lock that its own PciFunction calls
//     take.
#ifndef WDMSIM_PCI_H
#define WDMSIM_PCI_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace wdmsim {

// What a device model sees of the host platform.
class PciHost {
 public:
  virtual ~PciHost() = default;
  // The device writes/reads host memory at a bus address through the
  // platform's bus address map. False when any byte lies outside the map
  // (the platform records a DMA fault).
  virtual bool DmaToHost(uint64_t busAddress, const void* src, size_t length) = 0;
  virtual bool DmaFromHost(uint64_t busAddress, void* dst, size_t length) = 0;
  virtual void SetLineInterrupt(bool asserted) = 0;  // level-sensitive INTA
  virtual void SignalMessageInterrupt(uint32_t messageId) = 0;
  virtual uint64_t NowNs() = 0;  // the simulated clock, nanoseconds since boot
  // Runs fn once at NowNs() + delayNs on the platform's clock, on the
  // platform's event thread; never inline in the caller.
  virtual void ScheduleAfterNs(uint64_t delayNs, std::function<void()> fn) = 0;
};

// Device power states, as the bus driver sets them.
enum class PciPowerState { D0, D1, D2, D3 };

// What a device model implements.
class PciFunction {
 public:
  virtual ~PciFunction() = default;

  // Configuration space (4 KiB, little-endian), any byte range. Returns the
  // number of bytes transferred: bytes past the space are not.
  virtual size_t ConfigRead(uint32_t offset, void* buffer, size_t length) = 0;
  virtual size_t ConfigWrite(uint32_t offset, const void* buffer, size_t length) = 0;

  // A 32-bit load or store inside the window of BAR `bar`, `offset` bytes
  // from its base. `value` is the integer the processor loads or stores.
  virtual uint32_t MmioRead32(int bar, uint64_t offset) = 0;
  virtual void MmioWrite32(int bar, uint64_t offset, uint32_t value) = 0;

  // The bus driver put the function into `state`.
  virtual void PowerStateChanged(PciPowerState state) { (void)state; }
  // The function is pulled out of its slot without warning (surprise
  // removal). From now on it answers as an empty slot does: configuration
  // reads and loads all ones, stores lost, no DMA and no interrupts.
  virtual void Unplug() {}
};

// Makes the device model for a new slot; the PciHost outlives it.
using PciFunctionFactory = std::function<std::shared_ptr<PciFunction>(PciHost& host)>;

}  // namespace wdmsim

#endif  // WDMSIM_PCI_H
