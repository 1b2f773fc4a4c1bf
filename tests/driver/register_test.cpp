// Register reads through the write-back protocol: deadlines, retries,
// re-arming, foreign answers; and direct reads.
#include <thread>

#include "card/plug.h"
#include "control_fixture.h"

namespace {

class WriteBackTest : public ControlTest {
 protected:
  // Simulated time a register read takes, in 100 ns units.
  int64_t TimedRead(uint32_t offset, uint32_t* value) {
    int64_t elapsed = 0;
    kernel->InOneCall([&] {
      int64_t start = kernel->SystemTime100ns();
      *value = GetRegister(offset);
      elapsed = kernel->SystemTime100ns() - start;
    });
    return elapsed;
  }
  void SetUp() override {
    ControlTest::SetUp();
    GetRegister(0x7901);  // the first command re-arms; keep it out of the counts
    card::CardIn(*slot).ClearAccessLog();
  }
};

TEST_F(WriteBackTest, AnsweredReadFirstRequestsTheRegister) {
  SetRegister(0x2010, 0xCAFEF00D);
  card::CardIn(*slot).ClearAccessLog();
  uint32_t marker = ext()->ulReadWriteBackAddr;
  EXPECT_EQ(GetRegister(0x2010), 0xCAFEF00Du);
  auto log = card::CardIn(*slot).AccessLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].kind, card::MmioAccess::Kind::kWrite);
  EXPECT_EQ(log[0].offset, 0x12010u);
  EXPECT_EQ(log[0].value, 0u);
  // Answered on the first attempt, and the slot is clear for the next read.
  EXPECT_EQ(ext()->ulReadWriteBackAddr, marker);
  EXPECT_EQ(ext()->pulGetRegister[0], 0u);
  EXPECT_EQ(ext()->pulGetRegister[1], 0u);
}

TEST_F(WriteBackTest, SilentCoreRegisterTakesTenAttemptsAndReArmsAfterEach) {
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.dropAllWriteBacks = true; });
  uint32_t marker = ext()->ulReadWriteBackAddr;
  uint32_t value = 0;
  int64_t elapsed = TimedRead(0x1FFC, &value);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(CardWrites(0x11FFC), 10u);
  EXPECT_EQ(CardWrites(0x1030), 10u);
  EXPECT_EQ(CardWrites(0x102C), 10u);
  EXPECT_EQ(ext()->ulReadWriteBackAddr, marker + 10);
  // The attempts poll for 20, 120, .. 920 ms (4.7 s). Every pause after
  // them (ten of 10 ms, then 50 ms) ends on the first tick of the driver's
  // 1 ms timer resolution past its due time, which the attempt's clock
  // reads leave just off a tick: about 1 ms more each.
  EXPECT_EQ(elapsed, 48'600'000);
  EXPECT_EQ(CountLines("vantrel  ReadRegister_WriteBack  0x1ffc  fail..."), 1u);
  EXPECT_EQ(CountLines("vantrel  Dispatch_ReadRegister  reg:0x1ffc  --> 0xffffffff"), 1u);
}

TEST_F(WriteBackTest, SilentUpperRegisterTakesThreeAttemptsAndReArmsOnce) {
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.dropAllWriteBacks = true; });
  uint32_t value = 0;
  int64_t elapsed = TimedRead(0x2000, &value);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(CardWrites(0x12000), 3u);
  EXPECT_EQ(CardWrites(0x1030), 1u);
  // Polls of 20, 120 and 220 ms, three 10 ms pauses and 50 ms, each pause
  // ending on the 1 ms tick past its due time.
  EXPECT_EQ(elapsed, 4'430'000);
  EXPECT_EQ(CountLines("Dispatch_ReadRegister"), 0u);  // no value message at or above 0x2000
}

TEST_F(WriteBackTest, AnswerForAnotherRegisterFailsEveryAttempt) {
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.flagOffset = 0x1234; });
  uint32_t marker = ext()->ulReadWriteBackAddr;
  uint32_t value = 0;
  int64_t elapsed = TimedRead(0x1238, &value);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(ext()->ulReadWriteBackAddr, marker + 10);
  // Every attempt ends early on the wrong answer.
  EXPECT_EQ(CountLines("vantrel  ReadRegister_WriteBack  ERROR  t--> 0x1238  ulFlag 0x1234  r--> pulGetRegister[1] "),
            10u);
  // No attempt waits for its deadline: ten 10 ms pauses and 50 ms, each
  // ending on the 1 ms tick past its due time.
  EXPECT_EQ(elapsed, 1'600'000);
  EXPECT_EQ(ext()->pulGetRegister[1], 0u);
}

class EchoZeroTest : public WriteBackTest {
  card::CardOptions Options() override {
    card::CardOptions o;
    o.echoZeroOffset = true;
    return o;
  }
};

TEST_F(EchoZeroTest, AnswerWithoutAnOffsetIsAccepted) {
  SetRegister(0x3000, 77);
  EXPECT_EQ(GetRegister(0x3000), 77u);
}

class DirectReadTest : public ControlTest {
  card::CardOptions Options() override {
    card::CardOptions o;
    o.directRead = true;
    return o;
  }
};

TEST_F(DirectReadTest, RegistersAreLoadedWithoutARequest) {
  EXPECT_EQ(ext()->read_reg_direct, 1u);
  SetRegister(0x2020, 0x10203040);
  card::CardIn(*slot).ClearAccessLog();
  EXPECT_EQ(GetRegister(0x2020), 0x10203040u);
  auto log = card::CardIn(*slot).AccessLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kind, card::MmioAccess::Kind::kRead);
  EXPECT_EQ(log[0].offset, 0x2020u);
  EXPECT_TRUE(card::CardIn(*slot).GuestErrors().empty());
}

}  // namespace
