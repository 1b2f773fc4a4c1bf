// Simulated capture/playout card: configuration space, the BAR2 register
// window with its write-back read engine, the DMA engine (dma_engine.h),
// interrupts and fault injection. The register map is described in
// card/REGISTERS.md. It is a PCI function of wdmsim's bus (wdmsim/pci.h);
// card/plug.h plugs it in.
//
// Thread model: MMIO, config accesses, fault changes and interrupt requests
// may arrive from any thread at once. The card never calls the PciHost while
// it holds its internal lock, so the host may call back into the card from
// any PciHost call (an ISR reading registers from SetLineInterrupt, say).
#ifndef CARD_CARD_H
#define CARD_CARD_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wdmsim/pci.h"

namespace card {

// Fixed at power-up.
struct CardOptions {
  // Identity in configuration space.
  uint16_t vendorId = 0xFEED;
  uint16_t deviceId = 0x0001;
  uint16_t subsystemVendorId = 0xFEED;
  uint16_t subsystemId = 0x0001;
  uint8_t revisionId = 0x01;
  uint32_t classCode = 0x040000;  // base class, subclass, interface: multimedia video
  uint8_t interruptLine = 0x0B;
  bool bar2Prefetchable = false;
  uint8_t msiMessages = 1;  // 1, 2, 4 .. 32; 0 leaves out the MSI capability

  // Register behaviour.
  bool directRead = false;                // announce kCapDirectRead in 0x6008
  uint32_t capabilityValue = 0x00000001;  // 0x6008; bit 11 follows directRead
  uint64_t writeBackLatencyNs = 2000;     // request store to answer in host memory
  bool echoZeroOffset = false;            // flag word carries 0 instead of the offset
  uint64_t linePulseWidthNs = 1000;       // width of a spurious INTA pulse
  size_t logCapacity = 1u << 16;          // oldest log entries are dropped beyond this

  // DMA engine: a transfer of n bytes completes dmaLatencyNs +
  // n * 1e9 / linkBytesPerSecond after its start register store.
  uint64_t dmaLatencyNs = 2000;
  uint64_t linkBytesPerSecond = 1'000'000'000;  // 0 = moves take no time
  uint64_t dmaLineHoldNs = 10'000;              // INTA after a completion; 0 = until the next start
};

// Misbehaviour switched on and off while the card runs.
struct Faults {
  bool dropAllWriteBacks = false;
  uint32_t dropNextWriteBacks = 0;         // counts down, one per accepted request
  uint64_t writeBackExtraDelayNs = 0;      // added to writeBackLatencyNs
  std::optional<uint16_t> flagOffset{};    // offset echoed in every flag word
  bool readsAllOnes = false;               // loads and answers carry 0xFFFFFFFF
  uint64_t spuriousLinePeriodNs = 0;       // 0 = off; otherwise a pulse every period
  uint64_t spuriousMessagePeriodNs = 0;    // 0 = off
  uint32_t spuriousMessageId = 0;
  bool vanished = false;                   // surprise removal

  // DMA engine.
  bool dmaStallAll = false;        // transfers started while set never complete
  uint32_t dmaStallNext = 0;       // counts down, one per start: that transfer never completes
  uint64_t dmaExtraDelayNs = 0;    // added to every transfer's time
  bool captureNoSignal = false;    // captures end with status 2 and move no data
  bool dmaUnmappedData = false;    // data moved at an address outside host memory
};

struct MmioAccess {
  enum class Kind { kRead, kWrite };
  Kind kind;
  int bar;
  uint64_t offset;
  uint32_t value;  // host order: the register's value, not the raw bus bytes
  uint64_t timeNs;
  bool operator==(const MmioAccess&) const = default;
};

class Card : public wdmsim::PciFunction {
 public:
  static constexpr int kUnusedBar = 0;
  static constexpr int kRegisterBar = 2;
  static constexpr uint64_t kUnusedBarSize = 0x10000;
  static constexpr uint64_t kRegisterBarSize = 0x20000;

  Card(wdmsim::PciHost& host, const CardOptions& options = {});
  ~Card() override;
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  const CardOptions& Options() const;

  // Configuration space, any byte range. Bytes past 4 KiB are not
  // transferred; the return value is the number of bytes that were.
  size_t ConfigRead(uint32_t offset, void* buf, size_t len) override;
  size_t ConfigWrite(uint32_t offset, const void* buf, size_t len) override;
  uint32_t ConfigRead32(uint32_t offset);
  void ConfigWrite32(uint32_t offset, uint32_t value);
  // Decoded from the BARs as they stand (0 for unimplemented BARs).
  uint64_t BarBase(int bar) const;
  static uint64_t BarSize(int bar);

  // 32-bit MMIO within a BAR. `raw` is the integer the CPU stores/loads.
  uint32_t MmioRead32(int bar, uint64_t offset) override;
  void MmioWrite32(int bar, uint64_t offset, uint32_t raw) override;

  // Surprise removal: the card vanishes (Faults::vanished).
  void Unplug() override;
  // D1-D3: the register window is dead and the registers are lost; D0:
  // back, with every register at its reset value (0).
  void PowerStateChanged(wdmsim::PciPowerState state) override;

  // Interrupts, for the DMA engine (and tests).
  void AssertLine();
  void DeassertLine();
  bool LineLevel() const;               // what the host currently sees
  bool RaiseMessage(uint32_t messageId);  // false when 0x6074 masks it
  void InjectSpuriousLinePulse();
  void InjectSpuriousMessage(uint32_t messageId);

  // Fault injection.
  Faults GetFaults() const;
  void SetFaults(const Faults& faults);
  // Atomic read-modify-write; `edit` runs under the card's lock and must not
  // call back into the card.
  void UpdateFaults(const std::function<void(Faults&)>& edit);

  // Seam for the DMA engine: register state without a bus access, no log,
  // no injected faults.
  uint32_t PeekRegister(uint32_t reg) const;
  void SetCompletionStatus(uint32_t reg, uint32_t value);  // 0x1780 / 0x1B80

  // Simulated time (PciHost::NowNs) of the DMA engine's latest status word
  // write for a direction; 0 before the first. For latency measurements.
  uint64_t LastStatusWriteNs(bool cardToHost) const;

  // Logs for tests.
  std::vector<MmioAccess> AccessLog() const;
  std::vector<MmioAccess> AccessLogFor(int bar, uint64_t offset) const;
  void ClearAccessLog();
  std::vector<std::string> GuestErrors() const;
  void ClearGuestErrors();

 protected:
  // Called after the driver stores `value` into register `reg` (< 0x10000),
  // without the card's lock held, also for read-only registers, and after
  // the built-in DMA engine has seen the store (a start register store has
  // already started its transfer). Does nothing by default.
  virtual void OnRegisterWrite(uint32_t reg, uint32_t value);
  wdmsim::PciHost& Host();

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with scheduled callbacks
};

}  // namespace card

#endif  // CARD_CARD_H
