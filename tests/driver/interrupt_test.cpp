// The line interrupt routine and message-signalled interrupts, driven by the
// card's own interrupt lines.
#include <thread>

#include "control_fixture.h"

namespace {

class InterruptTest : public ControlTest {
 protected:
  // Waits (bounded, without sleeping) until the HAL has delivered `n` line
  // interrupts more than `before`.
  bool LineDelivered(uint64_t before, uint64_t n = 1) {
    for (int i = 0; i < 200000; ++i) {
      if (kernel->InterruptCountsFor(*slot).lineDeliveries >= before + n) return true;
      std::this_thread::yield();
    }
    return false;
  }
};

TEST_F(InterruptTest, LineRoutineClaimsOnlyWhileAStatusWordIsSet) {
  auto counts = kernel->InterruptCountsFor(*slot);
  ULONG isrCount = ext()->ulIsrCount;
  slot->card->InjectSpuriousLinePulse();
  ASSERT_TRUE(LineDelivered(counts.lineDeliveries));
  auto after = kernel->InterruptCountsFor(*slot);
  EXPECT_EQ(after.lineClaimed, counts.lineClaimed);  // both status words are 0: not ours
  EXPECT_GT(ext()->ulIsrCount, isrCount);
  EXPECT_EQ(GetRegister(0x7900), ext()->ulIsrCount);

  // A pending completion makes every interrupt on the line the card's.
  KeCancelTimer(&ext()->CheckDpcTimer);  // keep the poll from consuming it
  *static_cast<volatile ULONG*>(ext()->pCommonBuffer_VA_DmaWrite) = 0x02000000;
  slot->card->InjectSpuriousLinePulse();
  ASSERT_TRUE(LineDelivered(after.lineDeliveries));
  EXPECT_GT(kernel->InterruptCountsFor(*slot).lineClaimed, after.lineClaimed);
  *static_cast<volatile ULONG*>(ext()->pCommonBuffer_VA_DmaWrite) = 0;
}

TEST_F(InterruptTest, MessagesSignalTheRegisteredEventAndNothingWithoutOne) {
  SetRegister(0x7941, 0);  // connect, enable at the card
  ASSERT_NE(ext()->pMsiConnectionContext, nullptr);
  // No event registered yet: claimed, no DPC.
  slot->card->InjectSpuriousMessage(0);
  HANDLE event = process().CreateEventW(false, false);
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_SET_EVENT_MSI;
  block.hEvent = reinterpret_cast<uint64_t>(event);
  ASSERT_TRUE(Send(block).ok);
  EXPECT_EQ(process().WaitForSingleObject(event, 20), wdmsim::WAIT_TIMEOUT);
  // Three messages in a row: at least one signal, never more than three.
  for (int i = 0; i < 3; ++i) slot->card->InjectSpuriousMessage(0);
  EXPECT_EQ(process().WaitForSingleObject(event, 2000), wdmsim::WAIT_OBJECT_0);
  // Disabled at the card: the message never arrives.
  SetRegister(0x7942, 0);
  KeFlushQueuedDpcs();  // a DPC of the earlier messages may still be queued
  process().ResetEvent(event);
  slot->card->InjectSpuriousMessage(0);
  EXPECT_EQ(process().WaitForSingleObject(event, 20), wdmsim::WAIT_TIMEOUT);
  process().CloseHandle(event);
  EXPECT_GE(kernel->InterruptCountsFor(*slot).messagesClaimed, 2u);
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
  slot->card->InjectSpuriousMessage(0);
  EXPECT_EQ(process().WaitForSingleObject(event, 20), wdmsim::WAIT_TIMEOUT);
  process().CloseHandle(event);
}

}  // namespace
