// The line interrupt routine and message-signalled interrupts, driven by the
// card's own interrupt lines.
#include <thread>

#include "card/plug.h"
#include "control_fixture.h"
#include "support/line_device.h"

namespace {

class InterruptTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    // The products' INFs do not say MSISupported; these tests play a
    // device whose registry does.
    if (MsiSupported()) kernel->SetMsiSupported(*slot, true);
  }
  virtual bool MsiSupported() { return true; }
  void TearDown() override {
    if (never_ != nullptr) process().CloseHandle(never_);
    ControlTest::TearDown();
  }
  // An event nobody signals: waiting on it lets simulated time pass.
  HANDLE writeDoneNever() {
    if (never_ == nullptr) never_ = process().CreateEventW(true, false);
    return never_;
  }
  HANDLE never_ = nullptr;
  // Spurious line pulses long enough to be seen (a level line that drops
  // before the processor gets to it raises nothing, as on real hardware).
  card::CardOptions Options() override {
    card::CardOptions o;
    o.linePulseWidthNs = 20'000'000;
    return o;
  }
  // A spurious pulse, raised inside one call: outside one the test thread
  // holds no time back, and the line could be delivered for as long as the
  // thread is descheduled before the pulse's end is even scheduled.
  void Pulse() {
    kernel->InOneCall([&] { card::CardIn(*slot).InjectSpuriousLinePulse(); });
  }
  bool MessagesHandled(uint64_t n) {
    return kernel->RunUntil([&] { return kernel->InterruptCountsFor(*slot).messagesClaimed >= n; });
  }

  // Lets simulated time pass (up to 5 s) until the HAL has delivered `n` line
  // interrupts more than `before`.
  bool LineDelivered(uint64_t before, uint64_t n = 1) {
    return kernel->RunUntil([&] { return kernel->InterruptCountsFor(*slot).lineDeliveries >= before + n; });
  }
};

TEST_F(InterruptTest, LineRoutineClaimsOnlyWhileAStatusWordIsSet) {
  auto counts = kernel->InterruptCountsFor(*slot);
  ULONG isrCount = ext()->ulIsrCount;
  Pulse();
  ASSERT_TRUE(LineDelivered(counts.lineDeliveries));
  auto after = kernel->InterruptCountsFor(*slot);
  EXPECT_EQ(after.lineClaimed, counts.lineClaimed);  // both status words are 0: not ours
  EXPECT_GT(ext()->ulIsrCount, isrCount);
  uint32_t viaPseudoRegister = GetRegister(0x7900);  // the line may still be firing
  EXPECT_GT(viaPseudoRegister, isrCount);
  EXPECT_LE(viaPseudoRegister, ext()->ulIsrCount);

  // A pending completion makes every interrupt on the line the card's.
  KeCancelTimer(&ext()->CheckDpcTimer);  // keep the poll from consuming it
  *static_cast<volatile ULONG*>(ext()->pCommonBuffer_VA_DmaWrite) = 0x02000000;
  Pulse();
  EXPECT_TRUE(kernel->RunUntil([&] { return kernel->InterruptCountsFor(*slot).lineClaimed > after.lineClaimed; }));
  *static_cast<volatile ULONG*>(ext()->pCommonBuffer_VA_DmaWrite) = 0;
}

TEST_F(InterruptTest, MessagesSignalTheRegisteredEventAndNothingWithoutOne) {
  SetRegister(0x7941, 0);  // connect, enable at the card
  ASSERT_NE(ext()->pMsiConnectionContext, nullptr);
  // No event registered yet: claimed, no DPC.
  card::CardIn(*slot).InjectSpuriousMessage(0);
  ASSERT_TRUE(MessagesHandled(1));
  HANDLE event = process().CreateEventW(false, false);
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_SET_EVENT_MSI;
  block.hEvent = reinterpret_cast<uint64_t>(event);
  ASSERT_TRUE(Send(block).ok);
  EXPECT_EQ(process().WaitForSingleObject(event, 20), wdmsim::WAIT_TIMEOUT);
  // Three messages that reach the processor together: the routine runs for
  // each, its DPC once (a queued DPC is not queued again), one signal.
  kernel->InOneCall([&] {
    kernel->MaskInterrupts(true);
    for (int i = 0; i < 3; ++i) card::CardIn(*slot).InjectSpuriousMessage(0);
    kernel->MaskInterrupts(false);
  });
  EXPECT_EQ(process().WaitForSingleObject(event, 2000), wdmsim::WAIT_OBJECT_0);
  ASSERT_TRUE(MessagesHandled(4));  // every message so far has been claimed
  EXPECT_EQ(process().TimesSet(event), 1u);
  // One more, on its own: one more signal.
  card::CardIn(*slot).InjectSpuriousMessage(0);
  EXPECT_EQ(process().WaitForSingleObject(event, 2000), wdmsim::WAIT_OBJECT_0);
  ASSERT_TRUE(MessagesHandled(5));
  EXPECT_EQ(process().TimesSet(event), 2u);
  // Disabled at the card and disconnected: a message never reaches the host.
  SetRegister(0x7942, 0);
  auto before = kernel->InterruptCountsFor(*slot);
  card::CardIn(*slot).InjectSpuriousMessage(0);
  EXPECT_EQ(process().WaitForSingleObject(writeDoneNever(), 20), wdmsim::WAIT_TIMEOUT);
  auto after = kernel->InterruptCountsFor(*slot);
  EXPECT_EQ(after.messages, before.messages);
  EXPECT_EQ(after.messagesDropped, before.messagesDropped);
  process().CloseHandle(event);
}

// Stop drops the message event's reference and disconnects; a message that
// arrives after that reaches nothing.
TEST_F(InterruptTest, StopReleasesTheMessageEventAndTheConnection) {
  SetRegister(0x7941, 0);
  HANDLE event = process().CreateEventW(false, false);
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_SET_EVENT_MSI;
  block.hEvent = reinterpret_cast<uint64_t>(event);
  ASSERT_TRUE(Send(block).ok);
  ASSERT_EQ(kernel->Rebalance(*slot), STATUS_SUCCESS);
  EXPECT_EQ(ext()->pMsiEvent, nullptr);
  EXPECT_EQ(ext()->pMsiConnectionContext, nullptr);
  card::CardIn(*slot).InjectSpuriousMessage(0);
  EXPECT_EQ(process().WaitForSingleObject(event, 20), wdmsim::WAIT_TIMEOUT);
  process().CloseHandle(event);
}

// A card without message interrupts: the connection falls back to the line,
// where the fallback routine follows the line routine. An interrupt the card
// did not raise (no status word set) is left to the line's other devices,
// and signals nothing.
class LineOnlyTest : public InterruptTest {
 protected:
  card::CardOptions Options() override {
    card::CardOptions o = InterruptTest::Options();
    o.msiMessages = 0;
    return o;
  }
};

// A second device shares the card's line and holds it until its own routine
// acknowledges it. The card's routines (the line routine and the fallback
// routine the message connect put on the line) leave its interrupts alone,
// so it is served each time; a routine that claimed them would starve it
// into an interrupt storm.
TEST_F(LineOnlyTest, AnotherDeviceOnTheCardsLineIsServed) {
  SetRegister(0x7941, 0);
  ASSERT_EQ(ext()->MsiConnectParameters.Version, static_cast<ULONG>(CONNECT_LINE_BASED));
  PKINTERRUPT object = nullptr;
  support::LineDevice* neighbour = support::PlugNeighbour(*kernel, *slot, &object);
  ASSERT_NE(object, nullptr);
  for (int i = 1; i <= 3; ++i) {
    kernel->InOneCall([&] { neighbour->Raise(); });
    ASSERT_TRUE(kernel->RunUntil([&] { return neighbour->served() == i || !kernel->BugCheckReport().empty(); }));
    ASSERT_EQ(kernel->BugCheckReport(), "");
  }
  IoDisconnectInterrupt(object);
}

// The products' INFs do not say MSISupported: a message connect falls back
// to the line although the card offers messages.
class ProductRegistryTest : public InterruptTest {
 protected:
  bool MsiSupported() override { return false; }
};

TEST_F(ProductRegistryTest, MessageConnectFallsBackToTheLine) {
  SetRegister(0x7941, 0);
  ASSERT_NE(ext()->pMsiConnectionContext, nullptr);
  EXPECT_EQ(ext()->MsiConnectParameters.Version, static_cast<ULONG>(CONNECT_LINE_BASED));
}

TEST_F(LineOnlyTest, TheFallbackRoutineClaimsOnlyWhatTheCardRaised) {
  SetRegister(0x7941, 0);
  ASSERT_NE(ext()->pMsiConnectionContext, nullptr);
  EXPECT_EQ(ext()->MsiConnectParameters.Version, static_cast<ULONG>(CONNECT_LINE_BASED));
  HANDLE event = process().CreateEventW(false, false);
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_SET_EVENT_MSI;
  block.hEvent = reinterpret_cast<uint64_t>(event);
  ASSERT_TRUE(Send(block).ok);
  const auto before = kernel->InterruptCountsFor(*slot);
  Pulse();
  ASSERT_TRUE(LineDelivered(before.lineDeliveries));
  EXPECT_EQ(kernel->InterruptCountsFor(*slot).lineClaimed, before.lineClaimed);
  EXPECT_EQ(process().WaitForSingleObject(event, 20), wdmsim::WAIT_TIMEOUT);
  process().CloseHandle(event);
}

}  // namespace
