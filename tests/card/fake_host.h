// Host for card tests: one block of bus memory and a manual clock; scheduled
// work runs only when the test advances time.
#ifndef TESTS_CARD_FAKE_HOST_H
#define TESTS_CARD_FAKE_HOST_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "wdmsim/pci.h"

namespace cardtest {

class FakeHost : public wdmsim::PciHost {
 public:
  static constexpr uint64_t kMemBase = 0x1'0000'0000;
  uint64_t base = kMemBase;  // bus address of mem[0]
  std::vector<uint8_t> mem = std::vector<uint8_t>(0x1000);
  int dmaFaults = 0;
  bool line = false;
  int lineEdges = 0;
  std::vector<uint32_t> messages;
  std::function<void(bool)> onLine;  // lets a test play the ISR

  bool DmaToHost(uint64_t a, const void* src, size_t n) override {
    if (!Mapped(a, n)) return ++dmaFaults, false;
    std::memcpy(&mem[a - base], src, n);
    return true;
  }
  bool DmaFromHost(uint64_t a, void* dst, size_t n) override {
    if (!Mapped(a, n)) return ++dmaFaults, false;
    std::memcpy(dst, &mem[a - base], n);
    return true;
  }
  void SetLineInterrupt(bool asserted) override {
    line = asserted;
    ++lineEdges;
    if (onLine) onLine(asserted);
  }
  void SignalMessageInterrupt(uint32_t id) override { messages.push_back(id); }
  uint64_t NowNs() override { return now; }
  void ScheduleAfterNs(uint64_t delay, std::function<void()> fn) override {
    std::lock_guard lock(mu);  // MMIO threads schedule concurrently
    queue.emplace(std::pair{now + delay, seq++}, std::move(fn));
  }
  void Advance(uint64_t ns) {
    const uint64_t end = now + ns;
    for (;;) {
      std::unique_lock lock(mu);
      if (queue.empty() || queue.begin()->first.first > end) break;
      auto node = queue.extract(queue.begin());
      lock.unlock();
      now = node.key().first;
      node.mapped()();
    }
    now = end;
  }
  uint32_t BigEndianAt(uint64_t a) const {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | mem[a - base + i];
    return v;
  }
  void PutBigEndian(uint64_t a, uint32_t v) {
    for (int i = 0; i < 4; ++i) mem[a - base + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  }
  uint8_t* At(uint64_t a) { return &mem[a - base]; }
  bool Mapped(uint64_t a, size_t n) const { return a >= base && a - base + n <= mem.size(); }
  uint64_t now = 1000;
  uint64_t seq = 0;
  std::mutex mu;
  std::multimap<std::pair<uint64_t, uint64_t>, std::function<void()>> queue;
};

}  // namespace cardtest

#endif  // TESTS_CARD_FAKE_HOST_H
