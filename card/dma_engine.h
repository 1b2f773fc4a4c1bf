// The card's DMA engine: transfers between host common buffers and the
// capture source / playout sink, started by a store to a start register.
// Behaviour and timing are described in card/REGISTERS.md ("DMA engine").
//
// Thread model: starts arrive from MMIO threads, every later step runs from
// PciHost::ScheduleAfterNs callbacks. The engine's lock guards its state and
// is never held across a PciHost call; it may be held while calling
// CardPort members that only take the card's lock (the card never calls the
// engine with its own lock held, so the order is always engine, then card).
#ifndef CARD_DMA_ENGINE_H
#define CARD_DMA_ENGINE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/endpoints.h"
#include "wdmsim/pci.h"

namespace card {

// What the engine needs from the rest of the card.
class CardPort {
 public:
  virtual ~CardPort() = default;
  // These take the card's lock briefly and never call the PciHost.
  virtual bool Vanished() const = 0;
  virtual Faults CurrentFaults() const = 0;
  virtual bool TakeStall() = 0;  // true when this start must never complete
  virtual void SetEngineRegister(uint32_t reg, uint32_t value) = 0;
  virtual void ReportGuestError(std::string message) = 0;
  virtual void RequestLine(bool asserted) = 0;  // the engine's wish for INTA
  // These call the PciHost; the engine holds no lock when calling them.
  virtual void SyncLine() = 0;  // hands the wanted INTA level to the host
  virtual bool SendMessage(uint32_t messageId) = 0;
};

class DmaEngine : public std::enable_shared_from_this<DmaEngine> {
 public:
  DmaEngine(wdmsim::PciHost& host, const CardOptions& options, std::weak_ptr<CardPort> card);
  DmaEngine(const DmaEngine&) = delete;
  DmaEngine& operator=(const DmaEngine&) = delete;

  // The driver stored `value` at `reg`. Called without the card's lock.
  void OnRegisterWrite(uint32_t reg, uint32_t value);
  // Power-down: every transfer in flight is dropped without a status word,
  // and the engine lets go of the line.
  void Reset();
  // Engine registers whose driver stores the card drops.
  static bool IsReadOnly(uint32_t reg);
  // Simulated time (PciHost::NowNs) of the latest status word written for
  // direction 0 (host-to-card) or 1 (card-to-host); 0 before the first. For
  // measurements of completion latency.
  uint64_t LastStatusWriteNs(int direction) const { return statusWrittenNs_[direction & 1].load(); }

 private:
  enum class Endpoint { kPlayout, kCapture, kLoopback };
  enum Direction { kHostToCard = 0, kCardToHost = 1 };
  struct Transfer {
    Endpoint endpoint;
    Direction direction;
    uint64_t generation;
    uint32_t base;  // common buffer bus address, from the start register
    uint32_t param = 0;
    uint64_t data = 0;  // bus address of the data, from the item
    size_t bytes = 0;
  };

  static std::optional<Endpoint> EndpointAt(uint32_t reg);
  void Start(Endpoint endpoint, uint32_t base);
  void FetchItem(Transfer t);
  void Complete(Transfer t);
  void Finish(CardPort& card, const Transfer& t, uint32_t status);
  void ReleaseLine(uint64_t generation);
  void Fail(CardPort& card, const char* what, uint64_t address, size_t length);
  void ResetCounters();

  bool CurrentLocked(const Transfer& t) const { return generation_[t.direction] == t.generation; }
  std::vector<uint8_t> TakeBufferLocked();
  void GiveBufferLocked(std::vector<uint8_t> buffer);
  void PublishLocked(CardPort& card);
  template <typename Fn>
  void Later(uint64_t delayNs, Fn fn);

  wdmsim::PciHost& host_;
  const CardOptions options_;
  const std::weak_ptr<CardPort> card_;
  std::mutex mu_;
  // Guarded by mu_.
  std::array<uint64_t, 2> generation_{};  // per direction: a start supersedes older steps
  uint64_t lineGeneration_ = 0;           // a completion or start retires older line releases
  CaptureSource capture_;
  PlayoutSink sink_;
  uint32_t failures_ = 0;
  std::vector<std::vector<uint8_t>> spare_;  // staging buffers, reused across transfers
  std::array<std::atomic<uint64_t>, 2> statusWrittenNs_{};
};

}  // namespace card

#endif  // CARD_DMA_ENGINE_H
