// The control-interface fuzzer, in the spirit of a device path exerciser:
// random and structured control codes, lengths, parameter blocks and user
// addresses sent to started cards, with opens and closes in between and the
// occasional Plug and Play or power event. Shared by the seeded loop that
// CI runs (fuzz_test.cpp) and the libFuzzer target (fuzz_target.cpp): both
// drive it from a Source of numbers, a PRNG or the fuzzer's bytes.
//
// After every request: the request returned, it returned no more bytes than
// the output buffer holds, and the verifier is clean (no finding, no bug
// check). Some handles are opened without read and write access: every
// request through them must be refused with nothing returned. A worker in a
// standard user's process must never open a card at all. Now and then one
// request goes out from several threads at once (a burst), half of the time
// a message-interrupt command. Excluded on purpose (see the hardening report): stores that
// program bus addresses into the card (write-back address registers 0x102C
// and 0x1030, DMA start registers 0x8000..0x8008) through set-register or
// as a transfer's start register, and register-test counts above 64: both
// are commands that do what they are asked, not driver faults.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/machine.h"
#include "support/products.h"
#include "support/session.h"

namespace fuzz {

// Where the numbers come from.
class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t Next() = 0;
  virtual bool Exhausted() const { return false; }
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <typename T, size_t N>
  T Pick(const T (&values)[N]) {
    return values[Below(N)];
  }
};

class PrngSource : public Source {
 public:
  explicit PrngSource(uint64_t seed) : rng_(seed) {}
  uint64_t Next() override { return rng_(); }

 private:
  std::mt19937_64 rng_;
};

// The fuzzer's bytes, eight at a time (zeros once they run out).
class ByteSource : public Source {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Next() override {
    uint64_t v = 0;
    for (int i = 0; i < 8 && pos_ < size_; ++i) v |= static_cast<uint64_t>(data_[pos_++]) << (8 * i);
    return v;
  }
  bool Exhausted() const override { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The block of the product the suite runs on (family A's 136 bytes, or
// family B's 24); random blocks fill family A's, the larger.
inline const uint32_t S = support::BlockSize(support::SuiteProduct());
constexpr uint32_t kHuge = 1u << 20;  // "huge" lengths: the host buffers hold this much

inline bool ProgramsBusAddress(uint32_t offset) {
  const uint32_t reg = offset & 0xFFFF;  // the read-request alias stores nothing
  if ((offset & 0x10000) != 0) return false;
  return reg == 0x102C || reg == 0x1030 || (reg >= 0x8000 && reg <= 0x800B);
}

// One user thread's view: its own handles to the cards and its buffers.
class Worker {
 public:
  Worker(wdmsim::Kernel& kernel, wdmsim::Process& process) : kernel_(kernel), process_(process) {
    in_.resize(kHuge + 64);
    out_.resize(kHuge + 64);
    rw_ = static_cast<uint8_t*>(process.VirtualAlloc(kBuffer));
    ro_ = static_cast<uint8_t*>(process.VirtualAlloc(kBuffer, wdmsim::PAGE_READONLY));
    na_ = static_cast<uint8_t*>(process.VirtualAlloc(kBuffer, wdmsim::PAGE_NOACCESS));
    freed_ = static_cast<uint8_t*>(process.VirtualAlloc(kBuffer));
    process.VirtualFree(freed_);
    event_ = process.CreateEventW(false, false);
    closedEvent_ = process.CreateEventW(false, false);
    process.CloseHandle(closedEvent_);
  }
  ~Worker() {
    CloseAll();
    process_.CloseHandle(event_);
    process_.VirtualFree(rw_);
    process_.VirtualFree(ro_);
    process_.VirtualFree(na_);
  }

  void CloseAll() {
    for (HANDLE h : handles_) process_.CloseHandle(h);
    handles_.clear();
    readWrite_.clear();
  }
  size_t OpenHandles() const { return handles_.size(); }

  // Opens a handle to a random card, mostly for reading and writing. Returns
  // "" or what was wrong: a standard user's open that succeeded.
  std::string Open(Source& src) {
    auto slots = kernel_.Slots();
    if (slots.empty()) return "";
    wdmsim::Slot* slot = slots[src.Below(slots.size())];
    std::u16string name = support::Win32Name(*slot);
    if (name.empty()) return "";
    const uint32_t accesses[] = {0, wdmsim::GENERIC_READ, wdmsim::GENERIC_WRITE, wdmsim::FILE_READ_ATTRIBUTES};
    const uint32_t rw = wdmsim::GENERIC_READ | wdmsim::GENERIC_WRITE;
    const uint32_t access = src.Chance(85) ? rw : src.Pick(accesses);
    if (src.Chance(5)) name += u"\\anything";
    HANDLE h = process_.CreateFileW(name, access);
    const bool standardUser = process_.token() == wdmsim::Token::StandardUser;
    if (h == wdmsim::INVALID_HANDLE_VALUE) {
      if (standardUser && process_.GetLastError() != wdmsim::ERROR_ACCESS_DENIED) {
        return "a standard user's open failed with Win32 error " + std::to_string(process_.GetLastError());
      }
      return "";
    }
    handles_.push_back(h);
    readWrite_.push_back(access == rw);
    if (standardUser) return "a standard user opened a card";
    return "";
  }

  // One step: mostly a control request, sometimes an open or a close.
  // Returns "" or what was wrong with the answer.
  std::string Step(Source& src) {
    if (handles_.empty() || (src.Chance(3) && handles_.size() < 4)) {
      if (std::string problem = Open(src); !problem.empty()) return problem;
      if (handles_.empty()) {
        ++refusedOpens;
        return "";
      }
    }
    if (src.Chance(2) && !handles_.empty()) {
      const size_t i = src.Below(handles_.size());
      process_.CloseHandle(handles_[i]);
      handles_.erase(handles_.begin() + static_cast<long>(i));
      readWrite_.erase(readWrite_.begin() + static_cast<long>(i));
      return "";
    }
    ++requests;
    if (src.Chance(1)) return Burst(src);
    return Request(src);
  }

  // Steps so far, whatever they did.
  uint64_t Steps() const { return requests + refusedOpens; }

  uint64_t requests = 0;
  uint64_t succeeded = 0;     // requests the driver completed with success
  uint64_t refusedOpens = 0;  // steps whose open found no card it could open

 private:
  static constexpr uint32_t kBuffer = 0x20000;

  uint32_t Address(Source& src, uint32_t length) {
    auto low = [](const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); };
    switch (src.Below(10)) {
      case 0: return low(rw_) + static_cast<uint32_t>(src.Below(kBuffer));     // valid, maybe running off the end
      case 1: return low(rw_) + kBuffer - std::min(length, kBuffer);          // ends exactly at the guard page
      case 2: return low(ro_);
      case 3: return low(na_);
      case 4: return low(freed_);
      case 5: return static_cast<uint32_t>(src.Next());                         // unmapped, almost surely
      case 6: return src.Chance(50) ? 0u : 0xFFFFFFFFu;
      case 7: return low(rw_) - 0x1000;                                        // the guard page before it
      default: return low(rw_);
    }
  }
  uint32_t Length(Source& src) {
    const uint32_t values[] = {0, 1, 3, 4, 4096, 4097, 0x10000, kBuffer, kBuffer + 1, DMA_MAX_TRANSFER_SIZE,
                               DMA_MAX_TRANSFER_SIZE + 1, DMA_COMMON_BUFFER_SIZE, 0x7FFFFFFF, 0xFFFFFFFF};
    return src.Chance(70) ? src.Pick(values) : static_cast<uint32_t>(src.Below(kBuffer + 2));
  }
  uint64_t EventHandle(Source& src) {
    switch (src.Below(6)) {
      case 0: return reinterpret_cast<uint64_t>(event_);
      case 1: return reinterpret_cast<uint64_t>(closedEvent_);
      case 2: return handles_.empty() ? 0 : reinterpret_cast<uint64_t>(handles_[0]);  // a file, not an event
      case 3: return 0xFFFF800000001234ull;                                           // kernel-range
      case 4: return src.Next();
      default: return reinterpret_cast<uint64_t>(event_);
    }
  }
  uint32_t Offset(Source& src) {
    const uint32_t values[] = {0,      4,      0x1000, 0x1780, 0x1B80, 0x6008, 0x6074, 0x7900, 0x7901, 0x7910,
                               0x7930, 0x7940, 0x7941, 0x7942, 0x7950, 0x7955, 0x7999, 0x8100, 0x8120, 0x8180,
                               0xFFFC, 0xFFFF, 0x10000, 0x16008, 0x1FFFC, 0x1FFFD, 0x20000, 0xFFFFFFFC, 0xFFFFFFFF};
    uint32_t offset = src.Chance(70) ? src.Pick(values) : static_cast<uint32_t>(src.Next());
    if (src.Chance(30)) offset &= 0x1FFFF;
    return offset;
  }
  uint64_t PoolKey(Source& src) {
    auto slots = kernel_.Slots();
    if (!slots.empty() && src.Chance(60)) {
      wdmsim::Slot* slot = slots[src.Below(slots.size())];
      if (PDEVICE_OBJECT fdo = slot->Fdo()) {
        const auto* ext = static_cast<DEVICE_EXTENSION*>(fdo->DeviceExtension);
        const auto key = ext->CommonBufferPool[src.Below(COMMON_BUFFER_POOL_ENTRIES)].pCommonBuffer_LA.QuadPart;
        return static_cast<uint64_t>(key) + (src.Chance(20) ? 8 : 0);
      }
    }
    return src.Chance(50) ? 0 : src.Next();
  }

  void FillBlock(Source& src, IOCTL_BUFFER_A& b) {
    const uint32_t commands[] = {IOCTL_SET_REGISTER,        IOCTL_GET_REGISTER,        IOCTL_SET_EVENT_DMAREAD,
                                 IOCTL_SET_EVENT_DMAWRITE,  IOCTL_START_DMAREAD,       IOCTL_RELEASE_DMAREAD,
                                 IOCTL_START_DMAWRITE,      IOCTL_FINISH_DMAWRITE,     IOCTL_GET_VERSION,
                                 IOCTL_QUERY_DMAWRITE_CLEAR, IOCTL_QUERY_DMAREAD_CLEAR, IOCTL_GET_BUFFER_POOL,
                                 IOCTL_READ_BUFFER_POOL,    IOCTL_WRITE_BUFFER_POOL,   IOCTL_GET_STATUS2_DMAREAD,
                                 IOCTL_GET_STATUS2_DMAWRITE, IOCTL_TEST_WRITE_REGISTERS, IOCTL_TEST_READ_REGISTER,
                                 IOCTL_READ_WRITEBACK,      IOCTL_SET_EVENT_MSI,       0,
                                 15,                        0xFF,                      0x102,
                                 0x1002,                    0x1011,                    0x80000001,
                                 0xFFFFFFFF};
    if (src.Chance(5)) {  // random bytes
      auto* bytes = reinterpret_cast<uint8_t*>(&b);
      for (uint32_t i = 0; i < IOCTL_BUFFER_SIZE_A; ++i) bytes[i] = static_cast<uint8_t>(src.Next());
      return;
    }
    std::memset(&b, 0, sizeof(b));
    b.ulCommand = src.Chance(90) ? src.Pick(commands) : static_cast<uint32_t>(src.Next());
    b.ulResult = src.Chance(80) ? 0 : static_cast<uint32_t>(src.Next());
    switch (b.ulCommand) {
      case IOCTL_SET_REGISTER:
        b.ulAddr = Offset(src);
        b.ulData = static_cast<uint32_t>(src.Next());
        if (ProgramsBusAddress(b.ulAddr)) b.ulAddr = 0x3000;  // see the header
        if (b.ulAddr == PSEUDO_REG_WRITE_DELAY) b.ulData %= 64;  // keep the run fast
        break;
      case IOCTL_GET_REGISTER:
        b.ulAddr = Offset(src);
        break;
      case IOCTL_SET_EVENT_DMAREAD:
      case IOCTL_SET_EVENT_DMAWRITE:
      case IOCTL_SET_EVENT_MSI:
        b.hEvent = EventHandle(src);
        break;
      case IOCTL_START_DMAREAD:
      case IOCTL_START_DMAWRITE: {
        b.ulData = Length(src);
        b.ulAddr = Address(src, b.ulData);
        const uint32_t starts[] = {regs::dma::kStartPlayout, regs::dma::kStartCapture, regs::dma::kStartLoopback,
                                   0x2000, 0x1FFFC, 0x1FFFD, 0x20000, 0xFFFFFFFC};
        b.ulParam0 = src.Chance(90) ? src.Pick(starts) : static_cast<uint32_t>(src.Next());
        if (ProgramsBusAddress(b.ulParam0) && b.ulParam0 > regs::dma::kStartLoopback) b.ulParam0 = 0x2000;
        if (b.ulParam0 == 0x102C || b.ulParam0 == 0x1030) b.ulParam0 = 0x2000;
        b.ulParam1 = static_cast<uint32_t>(src.Next());
        if (b.ulData > kBuffer && b.ulData <= DMA_MAX_TRANSFER_SIZE && src.Chance(80)) b.ulData = kBuffer;
        break;
      }
      case IOCTL_READ_BUFFER_POOL:
      case IOCTL_WRITE_BUFFER_POOL: {
        b.ulData = Length(src);
        b.ulAddr = Address(src, b.ulData);
        b.ullKey = PoolKey(src);
        const uint32_t offsets[] = {0, 1, 0x1000, DMA_COMMON_BUFFER_SIZE - 16, DMA_COMMON_BUFFER_SIZE,
                                    DMA_COMMON_BUFFER_SIZE + 1, 0xFFFFFFFF};
        b.ulParam2 = src.Chance(80) ? src.Pick(offsets) : static_cast<uint32_t>(src.Next());
        break;
      }
      case IOCTL_TEST_WRITE_REGISTERS:
        b.ulParam0 = static_cast<uint32_t>(src.Below(65));
        break;
      case IOCTL_TEST_READ_REGISTER:
        b.ulAddr = Offset(src);
        b.ulData = static_cast<uint32_t>(src.Next());
        b.ulParam0 = static_cast<uint32_t>(src.Below(5));
        break;
      case IOCTL_READ_WRITEBACK:
        b.ulAddr = src.Chance(50) ? static_cast<uint32_t>(src.Below(32)) : static_cast<uint32_t>(src.Next());
        b.ulData = src.Chance(50) ? static_cast<uint32_t>(src.Below(12)) : static_cast<uint32_t>(src.Next());
        break;
      default:
        b.ulAddr = static_cast<uint32_t>(src.Next());
        b.ulData = static_cast<uint32_t>(src.Next());
        b.ullKey = src.Next();
        break;
    }
  }

  uint32_t Code(Source& src) {
    if (src.Chance(75)) return IOCTL_COMMAND;
    const uint32_t types[] = {0x22, 0x22, 0, 0x8000, 0xFFFF};
    const uint32_t type = src.Chance(80) ? src.Pick(types) : static_cast<uint32_t>(src.Below(0x10000));
    const uint32_t function = static_cast<uint32_t>(src.Below(4096));
    const uint32_t method = static_cast<uint32_t>(src.Below(4));
    const uint32_t access = static_cast<uint32_t>(src.Below(4));
    return (type << 16) | (access << 14) | (function << 2) | method;
  }
  uint32_t BufferLength(Source& src) {
    const uint32_t values[] = {0, S - 1, S, S + 1, IOCTL_BUFFER_SIZE_B, IOCTL_BUFFER_SIZE_B - 1, 4096, kHuge};
    return src.Chance(85) ? src.Pick(values) : static_cast<uint32_t>(src.Below(2 * S));
  }

  // One request, built once, sent by four threads at once through one
  // handle: the commands must be safe against themselves.
  std::string Burst(Source& src) {
    constexpr int kThreads = 4;
    const size_t which = src.Below(handles_.size());
    HANDLE h = handles_[which];
    IOCTL_BUFFER_A block;
    FillBlock(src, block);
    if (src.Chance(50)) {
      const uint32_t msi[] = {PSEUDO_REG_MSI_RECONNECT, PSEUDO_REG_MSI_CONNECT, PSEUDO_REG_MSI_DISCONNECT};
      std::memset(&block, 0, sizeof(block));
      block.ulCommand = IOCTL_SET_REGISTER;
      block.ulAddr = src.Pick(msi);
    }
    std::atomic<int> ready{0};
    std::atomic<int> problems{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        IOCTL_BUFFER_A in = block, out{};
        uint32_t returned = 0;
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        process_.DeviceIoControl(h, IOCTL_COMMAND, &in, S, &out, S, &returned);
        if (returned > S) ++problems;
      });
    }
    for (auto& t : threads) t.join();
    return problems.load() == 0 ? "" : "a burst returned more bytes than the output buffer holds";
  }

  std::string Request(Source& src) {
    const size_t which = src.Below(handles_.size());
    HANDLE h = handles_[which];
    const uint32_t code = Code(src);
    const uint32_t inLength = BufferLength(src);
    const uint32_t outLength = src.Chance(70) ? S : BufferLength(src);
    IOCTL_BUFFER_A block;
    FillBlock(src, block);
    std::memset(in_.data(), 0, std::min<size_t>(in_.size(), 2 * S));
    std::memcpy(in_.data(), &block, sizeof(block));
    const void* in = src.Chance(3) ? nullptr : in_.data();
    void* out = src.Chance(3) ? nullptr : out_.data();
    uint32_t returned = 0xDEADBEEF;
    const bool ok = process_.DeviceIoControl(h, code, in, inLength, out, out == nullptr ? 0 : outLength, &returned);
    succeeded += ok ? 1 : 0;
    if (!readWrite_[which] &&
        (ok || process_.GetLastError() != wdmsim::ERROR_ACCESS_DENIED || (out != nullptr && returned != 0))) {
      return "a handle without read and write access was served";
    }
    if (out == nullptr) return "";
    if (returned > outLength) return "returned " + std::to_string(returned) + " bytes into " + std::to_string(outLength);
    if (ok && code == IOCTL_COMMAND && returned != std::min(outLength, S)) {
      return "command succeeded with " + std::to_string(returned) + " bytes returned";
    }
    if (ok && code == IOCTL_COMMAND && block.ulCommand == IOCTL_GET_VERSION && inLength >= 4 && in != nullptr &&
        returned >= 16) {
      IOCTL_BUFFER_A answer;
      std::memcpy(&answer, out_.data(), sizeof(answer));
      if (answer.ulData != DRIVER_INTERFACE_VERSION) return "wrong version";
    }
    return "";
  }

  wdmsim::Kernel& kernel_;
  wdmsim::Process& process_;
  std::vector<HANDLE> handles_;
  std::vector<bool> readWrite_;  // per handle: opened for reading and writing
  std::vector<uint8_t> in_, out_;
  uint8_t *rw_ = nullptr, *ro_ = nullptr, *na_ = nullptr, *freed_ = nullptr;
  HANDLE event_ = nullptr, closedEvent_ = nullptr;
};

// Plug and Play and power events on a random card. With `quiet` set no
// handle is open anywhere, so the orderly removals may run too.
inline void PnpEvent(wdmsim::Kernel& kernel, Source& src, bool quiet) {
  auto slots = kernel.Slots();
  if (slots.empty()) return;
  wdmsim::Slot& slot = *slots[src.Below(slots.size())];
  switch (src.Below(quiet ? 6 : 3)) {
    case 0: kernel.QueryStopThenCancel(slot); break;
    case 1: kernel.QueryRemoveThenCancel(slot); break;
    case 2: kernel.SleepAndResume(); break;
    case 3: kernel.Rebalance(slot); break;  // control requests are refused afterwards, until disable and enable
    default:
      if (slot.Fdo() != nullptr) kernel.DisableCard(slot);
      kernel.EnableCard(slot);
      break;
  }
}

}  // namespace fuzz
