// The card's view of the host platform.
#ifndef CARD_HOST_PORT_H
#define CARD_HOST_PORT_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace card {
// What the card sees of the host: bus-address DMA, interrupts and the simulated clock.
class HostPort {
 public:
  virtual ~HostPort() = default;
  // Card writes/reads host memory at a bus address through the platform's bus address map.
  // Returns false when any byte lies outside the map (the platform records a DMA fault).
  virtual bool DmaToHost(uint64_t busAddress, const void* src, size_t length) = 0;
  virtual bool DmaFromHost(uint64_t busAddress, void* dst, size_t length) = 0;
  virtual void SetLineInterrupt(bool asserted) = 0;   // level-sensitive line
  virtual void SignalMessageInterrupt(uint32_t messageId) = 0;
  virtual uint64_t NowNs() = 0;                          // simulated clock, nanoseconds
  // Run fn once at NowNs() + delayNs on the platform's clock; never inline in the caller.
  virtual void ScheduleAfterNs(uint64_t delayNs, std::function<void()> fn) = 0;
};
}  // namespace card

#endif  // CARD_HOST_PORT_H
