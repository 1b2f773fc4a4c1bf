// Simulated card. See REGISTERS.md for the behaviour implemented here.
#include "card/card.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "card/dma_engine.h"
#include "interface/registers.h"

namespace card {
namespace {

constexpr uint32_t FieldMask(unsigned width) {
  return width >= 32 ? ~0u : (1u << width) - 1;
}
constexpr uint32_t Extract(uint32_t value, unsigned shift, unsigned width) {
  return (value >> shift) & FieldMask(width);
}
constexpr uint32_t Deposit(uint32_t value, unsigned shift, unsigned width, uint32_t field) {
  const uint32_t mask = FieldMask(width) << shift;
  return (value & ~mask) | ((field << shift) & mask);
}
constexpr uint32_t ByteSwap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}
void StoreBigEndian32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(Extract(v, 24 - 8 * i, 8));
}

constexpr uint32_t kAllOnes = 0xFFFFFFFF;

// Configuration space layout (type-0 header).
constexpr size_t kCfgHeaderSize = 256;
constexpr size_t kCfgSpaceSize = 4096;
constexpr uint32_t kCfgVendorId = 0x00;
constexpr uint32_t kCfgDeviceId = 0x02;
constexpr uint32_t kCfgCommand = 0x04;
constexpr uint32_t kCfgStatus = 0x06;
constexpr uint32_t kCfgRevision = 0x08;
constexpr uint32_t kCfgClassCode = 0x09;  // 3 bytes: interface, subclass, base
constexpr uint32_t kCfgCacheLineSize = 0x0C;
constexpr uint32_t kCfgLatencyTimer = 0x0D;
constexpr uint32_t kCfgBar0 = 0x10;
constexpr int kBarCount = 6;
constexpr uint32_t kCfgSubsystemVendorId = 0x2C;
constexpr uint32_t kCfgSubsystemId = 0x2E;
constexpr uint32_t kCfgCapabilityPointer = 0x34;
constexpr uint32_t kCfgInterruptLine = 0x3C;
constexpr uint32_t kCfgInterruptPin = 0x3D;
constexpr uint8_t kInterruptPinA = 1;

constexpr uint16_t kCommandWritable = 0x0547;  // I/O, memory, master, parity, SERR, INTx disable
constexpr unsigned kCommandInterruptDisableBit = 10;
constexpr unsigned kStatusInterruptBit = 3;
constexpr uint16_t kStatusCapabilityList = 0x0010;
constexpr uint32_t kBarFlagsWidth = 4;
constexpr uint32_t kBarPrefetchable = 0x8;

constexpr uint32_t kCfgMsi = 0x50;  // ID, next, control, address low/high, data
constexpr uint8_t kCapIdMsi = 0x05;
constexpr uint32_t kMsiControl = kCfgMsi + 2;
constexpr uint32_t kMsiAddressLow = kCfgMsi + 4;
constexpr uint32_t kMsiAddressHigh = kCfgMsi + 8;
constexpr uint32_t kMsiData = kCfgMsi + 12;
constexpr uint16_t kMsiControl64Bit = 0x0080;
constexpr unsigned kMsiCapableShift = 1;   // log2 of the vectors the card can use
constexpr uint16_t kMsiControlWritable = 0x0071;  // enable, vectors granted

// Register window: registers below the read-request alias.
constexpr uint32_t kRegisterSpan = regs::kRegReadRequest;
constexpr uint32_t kRegisterOffsetMask = kRegisterSpan - 1;

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

bool IsDriverReadOnly(uint32_t reg) {
  return reg == regs::kRegCapability || reg == regs::kDmaWriteDoneStatus ||
         reg == regs::kDmaReadDoneStatus || DmaEngine::IsReadOnly(reg);
}

}  // namespace

struct Card::State : CardPort, std::enable_shared_from_this<State> {
  State(wdmsim::PciHost& h, const CardOptions& o) : host(h), options(o), registers(kRegisterSpan / 4) {
    InitConfigSpace();
  }

  wdmsim::PciHost& host;
  const CardOptions options;
  std::shared_ptr<DmaEngine> engine;  // set once, right after construction
  mutable std::mutex mu;
  // Everything below is guarded by mu.
  std::array<uint8_t, kCfgHeaderSize> cfg{};
  std::array<uint8_t, kCfgHeaderSize> cfgWritable{};
  std::vector<uint32_t> registers;  // host-order values, index = offset / 4
  Faults faults;
  uint64_t spuriousLineGeneration = 0;
  uint64_t spuriousMessageGeneration = 0;
  bool lineRequested = false;  // the DMA engine wants INTA
  int linePulses = 0;          // spurious pulses in flight
  bool lineDelivering = false;
  bool lineDelivered = false;  // level the host last saw
  std::deque<MmioAccess> accessLog;
  std::deque<std::string> guestErrors;
  // In D1-D3 the card has lost its register contents: loads read all-ones,
  // stores are dropped, no DMA moves and no interrupt is raised. Only its
  // configuration space answers, as PCI requires. D0 brings it back with
  // reset registers.
  bool poweredDown = false;

  // Gone from the bus, or powered down: the register window is dead.
  bool DeadLocked() const { return faults.vanished || poweredDown; }

  void Put(uint32_t offset, uint32_t value, int bytes, uint32_t writable = 0) {
    for (int i = 0; i < bytes; ++i) {
      cfg[offset + i] = static_cast<uint8_t>(Extract(value, 8 * i, 8));
      cfgWritable[offset + i] = static_cast<uint8_t>(Extract(writable, 8 * i, 8));
    }
  }
  uint32_t Get32Locked(uint32_t offset) const {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = Deposit(v, 8 * i, 8, CfgByteLocked(offset + i));
    return v;
  }

  void InitConfigSpace() {
    const CardOptions& o = options;
    Put(kCfgVendorId, o.vendorId, 2);
    Put(kCfgDeviceId, o.deviceId, 2);
    Put(kCfgCommand, 0, 2, kCommandWritable);
    Put(kCfgStatus, o.msiMessages ? kStatusCapabilityList : 0, 2);
    Put(kCfgRevision, o.revisionId, 1);
    Put(kCfgClassCode, o.classCode, 3);
    Put(kCfgCacheLineSize, 0, 1, 0xFF);
    Put(kCfgLatencyTimer, 0, 1, 0xFF);
    for (int bar = 0; bar < kBarCount; ++bar) {
      const uint64_t size = BarSize(bar);
      if (size == 0) continue;  // unimplemented: reads 0, ignores writes
      const uint32_t flags = bar == kRegisterBar && o.bar2Prefetchable ? kBarPrefetchable : 0;
      Put(kCfgBar0 + 4 * bar, flags, 4, static_cast<uint32_t>(~(size - 1)));
    }
    Put(kCfgSubsystemVendorId, o.subsystemVendorId, 2);
    Put(kCfgSubsystemId, o.subsystemId, 2);
    Put(kCfgInterruptLine, o.interruptLine, 1, 0xFF);
    Put(kCfgInterruptPin, kInterruptPinA, 1);
    if (o.msiMessages) {
      unsigned log2 = 0;
      while ((2u << log2) <= o.msiMessages && log2 < 5) ++log2;
      Put(kCfgCapabilityPointer, kCfgMsi, 1);
      Put(kCfgMsi, kCapIdMsi, 2);  // next pointer 0: last capability
      Put(kMsiControl, Deposit(kMsiControl64Bit, kMsiCapableShift, 3, log2), 2,
          kMsiControlWritable);
      Put(kMsiAddressLow, 0, 4, ~3u);
      Put(kMsiAddressHigh, 0, 4, kAllOnes);
      Put(kMsiData, 0, 2, 0xFFFF);
    }
  }

  bool LinePendingLocked() const { return lineRequested || linePulses > 0; }
  bool InterruptDisabledLocked() const {
    return Extract(Get32Locked(kCfgCommand), kCommandInterruptDisableBit, 1) != 0;
  }
  bool LineWantedLocked() const {
    return LinePendingLocked() && !InterruptDisabledLocked() && !DeadLocked();
  }

  uint8_t CfgByteLocked(uint32_t offset) const {
    if (offset >= kCfgHeaderSize) return 0;
    uint8_t b = cfg[offset];
    if (offset == kCfgStatus)
      b = static_cast<uint8_t>(Deposit(b, kStatusInterruptBit, 1, LinePendingLocked()));
    return b;
  }

  void GuestErrorLocked(std::string message) {
    guestErrors.push_back(std::move(message));
    if (guestErrors.size() > options.logCapacity) guestErrors.pop_front();
  }
  void LogAccessLocked(MmioAccess::Kind kind, int bar, uint64_t offset, uint32_t value,
                       uint64_t now) {
    accessLog.push_back({kind, bar, offset, value, now});
    if (accessLog.size() > options.logCapacity) accessLog.pop_front();
  }

  uint32_t CapabilityValue() const {
    return Deposit(options.capabilityValue, 11, 1, options.directRead ? 1 : 0);
  }
  uint32_t StoredValueLocked(uint32_t reg) const {
    return reg == regs::kRegCapability ? CapabilityValue() : registers[reg / 4];
  }
  // What a load of `reg` returns, in host order.
  uint32_t RegisterValueLocked(uint32_t reg) const {
    return faults.readsAllOnes ? kAllOnes : StoredValueLocked(reg);
  }
  bool MessageEnabledLocked(uint32_t id) const {
    return !DeadLocked() && Extract(registers[regs::kRegMsiEnable / 4], id % 32, 1) != 0;
  }

  // Brings the host's view of INTA up to date. Whoever finds no delivery in
  // progress becomes the deliverer and keeps going until the level it last
  // handed to the host matches the wanted one; callers arriving meanwhile
  // (other threads, or the host re-entering from SetLineInterrupt) only
  // change the wanted level. This keeps the host's view ordered without
  // holding the lock across the call.
  void UpdateLine() {
    std::unique_lock lock(mu);
    if (lineDelivering) return;
    lineDelivering = true;
    for (bool want = LineWantedLocked(); want != lineDelivered; want = LineWantedLocked()) {
      lineDelivered = want;
      lock.unlock();
      host.SetLineInterrupt(want);
      lock.lock();
    }
    lineDelivering = false;
  }

  void PulseLine() {
    {
      std::lock_guard lock(mu);
      if (DeadLocked()) return;
      ++linePulses;
    }
    UpdateLine();
    host.ScheduleAfterNs(options.linePulseWidthNs, [weak = weak_from_this()] {
      if (auto s = weak.lock()) {
        {
          std::lock_guard lock(s->mu);
          --s->linePulses;
        }
        s->UpdateLine();
      }
    });
  }

  // The read engine accepted a request for `reg`; answers land at `target`.
  void DeliverWriteBack(uint32_t reg, uint64_t target) {
    std::array<uint8_t, 4> value{}, flag{};
    {
      std::lock_guard lock(mu);
      if (DeadLocked()) return;
      const uint32_t echoed = faults.flagOffset.value_or(options.echoZeroOffset ? 0 : reg);
      uint32_t flagWord = Deposit(0, regs::kWriteBackOffsetShift, 16, echoed);
      flagWord = Deposit(flagWord, 0, 8, regs::kWriteBackReady);
      StoreBigEndian32(value.data(), RegisterValueLocked(reg));
      StoreBigEndian32(flag.data(), flagWord);
    }
    // Value first: a host that sees the flag must find the value in place.
    if (host.DmaToHost(target, value.data(), value.size()) &&
        host.DmaToHost(target + 4, flag.data(), flag.size()))
      return;
    std::lock_guard lock(mu);
    GuestErrorLocked("write-back answer for register " + Hex(reg) + " to bus address " +
                     Hex(target) + " failed: outside host memory");
  }

  // Handles a store at reg | kRegReadRequest.
  void RequestWriteBack(uint32_t reg) {
    uint64_t target = 0;
    uint64_t delay = 0;
    {
      std::lock_guard lock(mu);
      if (DeadLocked()) return;
      const uint32_t low = registers[regs::kWriteBackAddrLow / 4];
      if (Extract(low, 0, 1) != regs::kWriteBackEnable) {
        GuestErrorLocked("read request for register " + Hex(reg) +
                         " while the write-back engine is disabled");
        return;
      }
      if (faults.dropAllWriteBacks) return;
      if (faults.dropNextWriteBacks > 0) {
        --faults.dropNextWriteBacks;
        return;
      }
      target = (uint64_t{registers[regs::kWriteBackAddrHigh / 4]} << 32) |
               (low & ~uint32_t{regs::kWriteBackEnable});
      delay = options.writeBackLatencyNs + faults.writeBackExtraDelayNs;
    }
    host.ScheduleAfterNs(delay, [weak = weak_from_this(), reg, target] {
      if (auto s = weak.lock()) s->DeliverWriteBack(reg, target);
    });
  }

  // Periodic spurious interrupts: each tick checks that the setting that
  // scheduled it is still the current one, so changing a period retires the
  // old chain of ticks.
  void ScheduleSpurious(bool line, uint64_t generation, uint64_t period) {
    host.ScheduleAfterNs(period, [weak = weak_from_this(), line, generation] {
      auto s = weak.lock();
      if (!s) return;
      uint64_t next = 0;
      uint32_t id = 0;
      {
        std::lock_guard lock(s->mu);
        const uint64_t current = line ? s->spuriousLineGeneration : s->spuriousMessageGeneration;
        if (current != generation) return;
        next = line ? s->faults.spuriousLinePeriodNs : s->faults.spuriousMessagePeriodNs;
        id = s->faults.spuriousMessageId;
      }
      if (line)
        s->PulseLine();
      else
        s->SendMessage(id);
      s->ScheduleSpurious(line, generation, next);
    });
  }

  void ApplyFaults(const std::function<void(Faults&)>& edit) {
    uint64_t lineGen = 0, messageGen = 0, linePeriod = 0, messagePeriod = 0;
    {
      std::lock_guard lock(mu);
      const Faults old = faults;
      edit(faults);
      if (faults.spuriousLinePeriodNs != old.spuriousLinePeriodNs) {
        lineGen = ++spuriousLineGeneration;
        linePeriod = faults.spuriousLinePeriodNs;
      }
      if (faults.spuriousMessagePeriodNs != old.spuriousMessagePeriodNs) {
        messageGen = ++spuriousMessageGeneration;
        messagePeriod = faults.spuriousMessagePeriodNs;
      }
    }
    if (linePeriod) ScheduleSpurious(true, lineGen, linePeriod);
    if (messagePeriod) ScheduleSpurious(false, messageGen, messagePeriod);
    UpdateLine();  // vanishing drops the line, returning restores it
  }

  // CardPort: the DMA engine's view of the card.
  bool Vanished() const override {
    std::lock_guard lock(mu);
    return DeadLocked();
  }
  Faults CurrentFaults() const override {
    std::lock_guard lock(mu);
    return faults;
  }
  bool TakeStall() override {
    std::lock_guard lock(mu);
    if (faults.dmaStallAll) return true;
    if (faults.dmaStallNext == 0) return false;
    --faults.dmaStallNext;
    return true;
  }
  void SetEngineRegister(uint32_t reg, uint32_t value) override {
    std::lock_guard lock(mu);
    registers[(reg & kRegisterOffsetMask) / 4] = value;
  }
  void ReportGuestError(std::string message) override {
    std::lock_guard lock(mu);
    GuestErrorLocked(std::move(message));
  }
  void RequestLine(bool asserted) override {
    std::lock_guard lock(mu);
    lineRequested = asserted;
  }
  void SyncLine() override { UpdateLine(); }
  bool SendMessage(uint32_t id) override {
    {
      std::lock_guard lock(mu);
      if (!MessageEnabledLocked(id)) return false;
    }
    host.SignalMessageInterrupt(id);
    return true;
  }
};

Card::Card(wdmsim::PciHost& host, const CardOptions& options)
    : state_(std::make_shared<State>(host, options)) {
  state_->engine = std::make_shared<DmaEngine>(host, options, state_);
}

Card::~Card() = default;

const CardOptions& Card::Options() const { return state_->options; }
wdmsim::PciHost& Card::Host() { return state_->host; }
void Card::OnRegisterWrite(uint32_t, uint32_t) {}

size_t Card::ConfigRead(uint32_t offset, void* buf, size_t len) {
  if (offset >= kCfgSpaceSize) return 0;
  len = std::min<size_t>(len, kCfgSpaceSize - offset);
  auto* out = static_cast<uint8_t*>(buf);
  std::lock_guard lock(state_->mu);
  for (size_t i = 0; i < len; ++i)
    out[i] = state_->faults.vanished ? 0xFF : state_->CfgByteLocked(offset + i);
  return len;
}

size_t Card::ConfigWrite(uint32_t offset, const void* buf, size_t len) {
  if (offset >= kCfgSpaceSize) return 0;
  len = std::min<size_t>(len, kCfgSpaceSize - offset);
  const auto* in = static_cast<const uint8_t*>(buf);
  {
    std::lock_guard lock(state_->mu);
    if (state_->faults.vanished) return len;
    for (size_t i = 0; i < len && offset + i < kCfgHeaderSize; ++i) {
      uint8_t& b = state_->cfg[offset + i];
      const uint8_t w = state_->cfgWritable[offset + i];
      b = static_cast<uint8_t>((b & ~w) | (in[i] & w));
    }
  }
  state_->UpdateLine();  // the interrupt-disable bit may have changed
  return len;
}

uint32_t Card::ConfigRead32(uint32_t offset) {
  std::array<uint8_t, 4> b{};
  ConfigRead(offset, b.data(), b.size());
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = Deposit(v, 8 * i, 8, b[i]);
  return v;
}

void Card::ConfigWrite32(uint32_t offset, uint32_t value) {
  std::array<uint8_t, 4> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(Extract(value, 8 * i, 8));
  ConfigWrite(offset, b.data(), b.size());
}

uint64_t Card::BarSize(int bar) {
  if (bar == kUnusedBar) return kUnusedBarSize;
  if (bar == kRegisterBar) return kRegisterBarSize;
  return 0;
}

uint64_t Card::BarBase(int bar) const {
  if (BarSize(bar) == 0) return 0;
  std::lock_guard lock(state_->mu);
  return Deposit(state_->Get32Locked(kCfgBar0 + 4 * bar), 0, kBarFlagsWidth, 0);
}

uint32_t Card::MmioRead32(int bar, uint64_t offset) {
  State& s = *state_;
  const uint64_t now = s.host.NowNs();
  std::lock_guard lock(s.mu);
  uint32_t value = kAllOnes;
  if (bar != kRegisterBar || offset >= kRegisterBarSize || offset % 4 != 0) {
    s.GuestErrorLocked("load from BAR" + std::to_string(bar) + " offset " + Hex(offset) +
                       " outside the register window or misaligned");
  } else if (!s.DeadLocked()) {
    const auto reg = static_cast<uint32_t>(offset);
    if (reg >= kRegisterSpan) {
      s.GuestErrorLocked("load from read-request offset " + Hex(reg));
      value = 0;
    } else {
      if (!s.options.directRead)
        s.GuestErrorLocked("plain load of register " + Hex(reg) +
                           " on a card without direct reads");
      value = s.RegisterValueLocked(reg);
    }
  }
  s.LogAccessLocked(MmioAccess::Kind::kRead, bar, offset, value, now);
  return ByteSwap32(value);
}

void Card::MmioWrite32(int bar, uint64_t offset, uint32_t raw) {
  State& s = *state_;
  const uint64_t now = s.host.NowNs();
  const uint32_t value = ByteSwap32(raw);
  const auto reg = static_cast<uint32_t>(offset & kRegisterOffsetMask);
  {
    std::lock_guard lock(s.mu);
    s.LogAccessLocked(MmioAccess::Kind::kWrite, bar, offset, value, now);
    if (bar != kRegisterBar || offset >= kRegisterBarSize || offset % 4 != 0) {
      s.GuestErrorLocked("store to BAR" + std::to_string(bar) + " offset " + Hex(offset) +
                         " outside the register window or misaligned");
      return;
    }
    if (s.DeadLocked()) return;
    if (offset < kRegisterSpan && !IsDriverReadOnly(reg)) s.registers[reg / 4] = value;
  }
  if (offset >= kRegisterSpan) {
    s.RequestWriteBack(reg);
  } else {
    s.engine->OnRegisterWrite(reg, value);
    OnRegisterWrite(reg, value);
  }
}

void Card::AssertLine() {
  {
    std::lock_guard lock(state_->mu);
    state_->lineRequested = true;
  }
  state_->UpdateLine();
}

void Card::DeassertLine() {
  {
    std::lock_guard lock(state_->mu);
    state_->lineRequested = false;
  }
  state_->UpdateLine();
}

bool Card::LineLevel() const {
  std::lock_guard lock(state_->mu);
  return state_->lineDelivered;
}

bool Card::RaiseMessage(uint32_t messageId) { return state_->SendMessage(messageId); }
void Card::InjectSpuriousLinePulse() { state_->PulseLine(); }
void Card::InjectSpuriousMessage(uint32_t messageId) { state_->SendMessage(messageId); }

Faults Card::GetFaults() const {
  std::lock_guard lock(state_->mu);
  return state_->faults;
}

void Card::SetFaults(const Faults& faults) {
  state_->ApplyFaults([&faults](Faults& f) { f = faults; });
}

void Card::UpdateFaults(const std::function<void(Faults&)>& edit) { state_->ApplyFaults(edit); }

void Card::Unplug() { UpdateFaults([](Faults& f) { f.vanished = true; }); }

void Card::PowerStateChanged(wdmsim::PciPowerState state) {
  State& s = *state_;
  const bool down = state != wdmsim::PciPowerState::D0;
  {
    std::lock_guard lock(s.mu);
    if (down == s.poweredDown) return;
    s.poweredDown = down;
    if (!down) std::fill(s.registers.begin(), s.registers.end(), 0u);  // reset values
  }
  if (down) s.engine->Reset();  // what was in flight never finishes
  s.UpdateLine();
}

uint32_t Card::PeekRegister(uint32_t reg) const {
  std::lock_guard lock(state_->mu);
  return state_->StoredValueLocked(reg & kRegisterOffsetMask & ~3u);
}

void Card::SetCompletionStatus(uint32_t reg, uint32_t value) {
  std::lock_guard lock(state_->mu);
  if (reg == regs::kDmaWriteDoneStatus || reg == regs::kDmaReadDoneStatus)
    state_->registers[reg / 4] = value;
  else
    state_->GuestErrorLocked("completion status set on non-status register " + Hex(reg));
}

uint64_t Card::LastStatusWriteNs(bool cardToHost) const {
  return state_->engine ? state_->engine->LastStatusWriteNs(cardToHost ? 1 : 0) : 0;
}

std::vector<MmioAccess> Card::AccessLog() const {
  std::lock_guard lock(state_->mu);
  return {state_->accessLog.begin(), state_->accessLog.end()};
}

std::vector<MmioAccess> Card::AccessLogFor(int bar, uint64_t offset) const {
  std::vector<MmioAccess> out;
  std::lock_guard lock(state_->mu);
  for (const MmioAccess& a : state_->accessLog)
    if (a.bar == bar && a.offset == offset) out.push_back(a);
  return out;
}

void Card::ClearAccessLog() {
  std::lock_guard lock(state_->mu);
  state_->accessLog.clear();
}

std::vector<std::string> Card::GuestErrors() const {
  std::lock_guard lock(state_->mu);
  return {state_->guestErrors.begin(), state_->guestErrors.end()};
}

void Card::ClearGuestErrors() {
  std::lock_guard lock(state_->mu);
  state_->guestErrors.clear();
}

}  // namespace card
