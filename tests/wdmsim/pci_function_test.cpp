// The PCI function interface with a device model that is not the card: one
// BAR with a scratch register and an interrupt register, a line interrupt,
// and optionally a 32-bit message capability behind another capability. It
// is plugged with no driver and driven through the bus driver and the HAL as
// a driver would, to show that wdmsim needs nothing of the card.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "hal/hal.h"  // the message table's layout
#include "wdmsim/kernel.h"
#include "wdmsim/pci.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kVendor = 0x1D0F;
constexpr uint16_t kDevice = 0x7A11;
constexpr uint32_t kWindowSize = 0x1000;
constexpr uint8_t kLine = 0x0A;
constexpr uint32_t kScratch = 0x0;
constexpr uint32_t kInterrupt = 0x4;  // a store of nonzero raises INTA, of zero lowers it
constexpr uint8_t kPowerCap = 0x40;   // a capability the platform must walk past
constexpr uint8_t kMsiCap = 0x48;

class ScratchDevice final : public wdmsim::PciFunction {
 public:
  ScratchDevice(wdmsim::PciHost& host, bool messages) : host_(host) {
    Put(0x00, kVendor, 2);
    Put(0x02, kDevice, 2);
    Put(0x04, 0, 2, 0x0006);  // memory decoding, bus mastering
    Put(0x06, messages ? 0x0010 : 0, 2);
    Put(0x09, 0x058000, 3);  // memory controller, other
    Put(0x10, 0, 4, ~(kWindowSize - 1));
    Put(0x3C, kLine, 1, 0xFF);
    Put(0x3D, 1, 1);
    if (messages) {
      Put(0x34, kPowerCap, 1);
      Put(kPowerCap, 0x01 | kMsiCap << 8, 2);  // power management, next: MSI
      Put(kMsiCap, 0x05, 2);                   // MSI, last
      Put(kMsiCap + 2, 1u << 1, 2, 0x0071);    // 2 messages, 32-bit addresses
      Put(kMsiCap + 4, 0, 4, ~3u);
      Put(kMsiCap + 8, 0, 2, 0xFFFF);
    }
  }

  size_t ConfigRead(uint32_t offset, void* buffer, size_t length) override {
    std::lock_guard lock(mu_);
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    for (; done < length && offset + done < 4096; ++done) {
      out[done] = unplugged_ ? 0xFF : offset + done < config_.size() ? config_[offset + done] : 0;
    }
    return done;
  }
  size_t ConfigWrite(uint32_t offset, const void* buffer, size_t length) override {
    std::lock_guard lock(mu_);
    const auto* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    for (; done < length && offset + done < 4096; ++done) {
      if (unplugged_ || offset + done >= config_.size()) continue;
      uint8_t& b = config_[offset + done];
      b = static_cast<uint8_t>((b & ~writable_[offset + done]) | (in[done] & writable_[offset + done]));
    }
    return done;
  }
  uint32_t MmioRead32(int bar, uint64_t offset) override {
    std::lock_guard lock(mu_);
    return bar == 0 && offset == kScratch && !unplugged_ ? scratch_ : 0xFFFFFFFF;
  }
  void MmioWrite32(int bar, uint64_t offset, uint32_t value) override {
    {
      std::lock_guard lock(mu_);
      if (bar != 0 || unplugged_) return;
      if (offset == kScratch) scratch_ = value;
      if (offset != kInterrupt) return;
    }
    host_.SetLineInterrupt(value != 0);  // no lock held: the interrupt routine may read us
  }
  void PowerStateChanged(wdmsim::PciPowerState state) override {
    std::lock_guard lock(mu_);
    powerStates_.push_back(state);
  }
  void Unplug() override {
    std::lock_guard lock(mu_);
    unplugged_ = true;
  }

  wdmsim::PciHost& host() { return host_; }
  std::vector<wdmsim::PciPowerState> powerStates() {
    std::lock_guard lock(mu_);
    return powerStates_;
  }
  bool unplugged() {
    std::lock_guard lock(mu_);
    return unplugged_;
  }

 private:
  void Put(uint32_t offset, uint32_t value, int bytes, uint32_t writable = 0) {
    for (int i = 0; i < bytes; ++i) {
      config_[offset + i] = static_cast<uint8_t>(value >> 8 * i);
      writable_[offset + i] = static_cast<uint8_t>(writable >> 8 * i);
    }
  }

  wdmsim::PciHost& host_;
  std::mutex mu_;
  std::array<uint8_t, 256> config_{};
  std::array<uint8_t, 256> writable_{};
  uint32_t scratch_ = 0;
  bool unplugged_ = false;
  std::vector<wdmsim::PciPowerState> powerStates_;
};

// Interrupt routines: read the scratch register, acknowledge, claim.
struct Routine {
  volatile ULONG* regs = nullptr;
  std::atomic<int> calls{0};
  std::atomic<ULONG> seen{0};
  std::atomic<ULONG> messageId{~0u};
};

BOOLEAN NTAPI LineIsr(PKINTERRUPT, PVOID context) {
  auto* r = static_cast<Routine*>(context);
  r->seen = READ_REGISTER_ULONG(r->regs + kScratch / 4);
  WRITE_REGISTER_ULONG(r->regs + kInterrupt / 4, 0);
  ++r->calls;
  return TRUE;
}

BOOLEAN NTAPI MessageIsr(PKINTERRUPT, PVOID context, ULONG id) {
  auto* r = static_cast<Routine*>(context);
  r->messageId = id;
  ++r->calls;
  return TRUE;
}

class PciFunctionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    kernel = std::make_unique<wdmsim::Kernel>();
    slot = &kernel->PlugDeviceWithoutDriver([this](wdmsim::PciHost& host) {
      device = std::make_shared<ScratchDevice>(host, GetParam());
      return device;
    });
    ASSERT_EQ(slot->function, device);
    kernel->SetMsiSupported(*slot, true);  // as if its registry said MSISupported
  }
  void TearDown() override {
    if (regs != nullptr) MmUnmapIoSpace(const_cast<ULONG*>(regs), kWindowSize);
    EXPECT_EQ(kernel->BugCheckReport(), "");
    EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
    kernel.reset();
  }

  // IRP_MN_READ_CONFIG to the bus driver's device, as a function driver asks.
  uint32_t ReadConfig32(ULONG offset) {
    uint32_t value = 0;
    auto result = kernel->SendRequest(slot->pdo, IRP_MJ_PNP, IRP_MN_READ_CONFIG, [&](PIRP, PIO_STACK_LOCATION s) {
      s->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
      s->Parameters.ReadWriteConfig.Buffer = &value;
      s->Parameters.ReadWriteConfig.Offset = offset;
      s->Parameters.ReadWriteConfig.Length = sizeof(value);
    });
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    return value;
  }

  void Map() {
    auto lists = kernel->DefaultResources(*slot);
    ASSERT_EQ(lists.translated.size(), 2u);
    regs = static_cast<volatile ULONG*>(MmMapIoSpace(lists.translated[0].u.Memory.Start, kWindowSize, MmNonCached));
    ASSERT_NE(regs, nullptr);
  }

  bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i) kernel->RunFor(1ms);
    return done();
  }

  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::Slot* slot = nullptr;
  std::shared_ptr<ScratchDevice> device;
  volatile ULONG* regs = nullptr;
};

TEST_P(PciFunctionTest, BusSeesItsIdentityAndAssignsItsOneWindow) {
  EXPECT_EQ(ReadConfig32(0x00), uint32_t{kDevice} << 16 | kVendor);
  EXPECT_EQ(ReadConfig32(0x08) >> 8, 0x058000u);
  EXPECT_EQ(ReadConfig32(0x04) & 0x6, 0x6u);  // decoding and bus mastering enabled
  auto lists = kernel->DefaultResources(*slot);
  ASSERT_EQ(lists.raw.size(), 2u);  // BAR0 and the line: nothing of anyone else's layout
  const auto& window = lists.translated[0];
  EXPECT_EQ(window.Type, CmResourceTypeMemory);
  EXPECT_EQ(window.u.Memory.Length, kWindowSize);
  const uint64_t start = window.u.Memory.Start.QuadPart;  // 4-byte aligned in the packed descriptor
  EXPECT_EQ(start, ReadConfig32(0x10) & ~0xFull);
  EXPECT_NE(start, 0u);
  EXPECT_EQ(lists.raw[1].Type, CmResourceTypeInterrupt);
  EXPECT_EQ(lists.raw[1].u.Interrupt.Vector, kLine);
  EXPECT_EQ(lists.translated[1].u.Interrupt.Vector, slot->interruptVector);
}

TEST_P(PciFunctionTest, ScratchRegisterAndPastTheWindowThroughTheHal) {
  Map();
  WRITE_REGISTER_ULONG(regs + kScratch / 4, 0xC0FFEE01);
  EXPECT_EQ(READ_REGISTER_ULONG(regs + kScratch / 4), 0xC0FFEE01u);
  // A mapping that starts past the window reaches nothing: a master abort.
  PHYSICAL_ADDRESS past = kernel->DefaultResources(*slot).translated[0].u.Memory.Start;
  past.QuadPart += kWindowSize;
  auto* beyond = static_cast<volatile ULONG*>(MmMapIoSpace(past, 4, MmNonCached));
  ASSERT_NE(beyond, nullptr);
  EXPECT_EQ(READ_REGISTER_ULONG(beyond), 0xFFFFFFFFu);
  MmUnmapIoSpace(const_cast<ULONG*>(beyond), 4);
}

TEST_P(PciFunctionTest, RegisterWriteRaisesItsLineAndTheRoutineSeesTheDevice) {
  Map();
  Routine routine;
  routine.regs = regs;
  PKINTERRUPT object = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&object, LineIsr, &routine, nullptr, slot->interruptVector, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  WRITE_REGISTER_ULONG(regs + kScratch / 4, 0x5A5A0001);
  WRITE_REGISTER_ULONG(regs + kInterrupt / 4, 1);
  ASSERT_TRUE(WaitFor([&] { return routine.calls == 1; }));
  EXPECT_EQ(routine.seen, 0x5A5A0001u);
  auto counts = kernel->InterruptCountsFor(*slot);
  EXPECT_EQ(counts.lineDeliveries, 1u);  // the routine's acknowledgement lowered the line
  EXPECT_EQ(counts.lineClaimed, 1u);
  IoDisconnectInterrupt(object);
}

TEST_P(PciFunctionTest, MessagesOnlyThroughACapabilityTheBusFinds) {
  const bool messages = GetParam();
  Routine routine;
  PVOID context = nullptr;
  IO_CONNECT_INTERRUPT_PARAMETERS p{};
  p.Version = CONNECT_MESSAGE_BASED;
  p.MessageBased.PhysicalDeviceObject = slot->pdo;
  p.MessageBased.ConnectionContext.Generic = &context;
  p.MessageBased.MessageServiceRoutine = MessageIsr;
  p.MessageBased.ServiceContext = &routine;
  p.MessageBased.FallBackServiceRoutine = LineIsr;
  ASSERT_EQ(IoConnectInterruptEx(&p), STATUS_SUCCESS);
  IO_DISCONNECT_INTERRUPT_PARAMETERS d{};
  d.Version = p.Version;
  if (!messages) {
    EXPECT_EQ(p.Version, static_cast<ULONG>(CONNECT_LINE_BASED));
    d.ConnectionContext.InterruptObject = static_cast<PKINTERRUPT>(context);
    IoDisconnectInterruptEx(&d);
    return;
  }
  ASSERT_EQ(p.Version, static_cast<ULONG>(CONNECT_MESSAGE_BASED));
  auto* table = static_cast<PIO_INTERRUPT_MESSAGE_INFO>(context);
  EXPECT_EQ(table->MessageCount, 2u);
  // The 32-bit layout: address at +4, data at +8; enabled, both granted.
  EXPECT_EQ(ReadConfig32(kMsiCap + 4), 0xFEE00000u);
  EXPECT_NE(ReadConfig32(kMsiCap + 8) & 0xFFFF, 0u);
  EXPECT_EQ(ReadConfig32(kMsiCap) >> 16 & 0x71, 0x11u);
  EXPECT_EQ(ReadConfig32(kPowerCap), 0x01u | kMsiCap << 8);  // the other capability untouched
  device->host().SignalMessageInterrupt(1);
  ASSERT_TRUE(WaitFor([&] { return routine.calls == 1; }));
  EXPECT_EQ(routine.messageId, 1u);
  d.ConnectionContext.InterruptMessageTable = table;
  IoDisconnectInterruptEx(&d);
}

TEST_P(PciFunctionTest, PowerChangesAndSurpriseRemovalReachTheModel) {
  for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
    auto result = kernel->SendRequest(slot->pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [&](PIRP, PIO_STACK_LOCATION s) {
      s->Parameters.Power.Type = DevicePowerState;
      s->Parameters.Power.State.DeviceState = state;
    });
    EXPECT_EQ(result.status, STATUS_SUCCESS);
  }
  EXPECT_EQ(device->powerStates(), (std::vector{wdmsim::PciPowerState::D3, wdmsim::PciPowerState::D0}));
  EXPECT_FALSE(device->unplugged());
  EXPECT_EQ(kernel->SurpriseRemove(*slot), STATUS_SUCCESS);
  EXPECT_TRUE(device->unplugged());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutMessages, PciFunctionTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Messages" : "LineOnly"; });

}  // namespace
