#include "card/card.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "interface/registers.h"
#include "tests/card/fake_host.h"

namespace {

using card::Card;
using card::CardOptions;
using card::MmioAccess;

uint32_t Swap(uint32_t v) { return __builtin_bswap32(v); }

using cardtest::FakeHost;

class CardTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kArea = FakeHost::kMemBase + 0x40;

  Card& Make(CardOptions o = {}) {
    card = std::make_unique<Card>(host, o);
    return *card;
  }
  void Write(uint32_t reg, uint32_t v) { card->MmioWrite32(2, reg, Swap(v)); }
  uint32_t Read(uint32_t reg) { return Swap(card->MmioRead32(2, reg)); }
  void EnableWriteBack(uint64_t a = kArea) {
    Write(regs::kWriteBackAddrHigh, static_cast<uint32_t>(a >> 32));
    Write(regs::kWriteBackAddrLow, static_cast<uint32_t>(a) | regs::kWriteBackEnable);
  }
  void Request(uint32_t reg) { Write(reg | regs::kRegReadRequest, 0); }
  uint32_t Value() const { return host.BigEndianAt(kArea); }
  uint32_t Flag() const { return host.BigEndianAt(kArea + 4); }

  FakeHost host;
  std::unique_ptr<Card> card;
};

TEST_F(CardTest, ConfigHeaderIdentityAndReadOnlyFields) {
  Make({.vendorId = 0x1234, .deviceId = 0xABCD, .subsystemVendorId = 0x5678, .subsystemId = 0x9A});
  EXPECT_EQ(card->ConfigRead32(0x00), 0xABCD1234u);
  EXPECT_EQ(card->ConfigRead32(0x08) >> 8, 0x040000u);  // multimedia video
  EXPECT_EQ(card->ConfigRead32(0x2C), 0x009A5678u);
  EXPECT_EQ(card->ConfigRead32(0x3C) & 0xFF00, 0x0100u);  // INTA
  uint8_t bytes[16];  // first an unaligned range straddling vendor and device ids
  EXPECT_EQ(card->ConfigRead(1, bytes, 3), 3u);
  EXPECT_EQ(bytes[0], 0x12);
  EXPECT_EQ(bytes[2], 0xAB);
  card->ConfigWrite32(0x00, 0);
  card->ConfigWrite32(0x08, 0);
  card->ConfigWrite32(0x04, 0xFFFFFFFF);
  EXPECT_EQ(card->ConfigRead32(0x00), 0xABCD1234u);
  EXPECT_EQ(card->ConfigRead32(0x08) >> 8, 0x040000u);
  EXPECT_EQ(card->ConfigRead32(0x04) & 0xFFFF, 0x0547u);  // only the implemented command bits
  EXPECT_EQ(card->ConfigRead32(0x100), 0u);               // empty extended capability list
  EXPECT_EQ(card->ConfigRead(4090, bytes, 10), 6u);
}

TEST_F(CardTest, BarSizingProtocol) {
  Make({.bar2Prefetchable = true});
  for (int bar = 0; bar < 6; ++bar) card->ConfigWrite32(0x10 + 4 * bar, 0xFFFFFFFF);
  EXPECT_EQ(card->ConfigRead32(0x10), 0xFFFF0000u);
  EXPECT_EQ(card->ConfigRead32(0x18), 0xFFFE0008u);
  for (uint32_t unused : {0x14u, 0x1Cu, 0x20u, 0x24u}) EXPECT_EQ(card->ConfigRead32(unused), 0u);
  card->ConfigWrite32(0x10, 0xF0010000);
  card->ConfigWrite32(0x18, 0xF0020000);
  EXPECT_EQ(card->BarBase(0), 0xF0010000u);
  EXPECT_EQ(card->BarBase(2), 0xF0020000u);
  EXPECT_EQ(card->ConfigRead32(0x18), 0xF0020008u);
}

TEST_F(CardTest, RegistersAreBigEndianOnTheBusAndReadOnlyOnesHold) {
  Make({.directRead = true});
  card->MmioWrite32(2, 0x2000, 0x78563412);
  EXPECT_EQ(card->PeekRegister(0x2000), 0x12345678u);
  EXPECT_EQ(card->MmioRead32(2, 0x2000), 0x78563412u);
  Write(regs::kRegCapability, 0);
  Write(regs::kDmaWriteDoneStatus, 5);
  EXPECT_EQ(Read(regs::kRegCapability), 0x801u);
  EXPECT_EQ(Read(regs::kDmaWriteDoneStatus), 0u);
  card->SetCompletionStatus(regs::kDmaReadDoneStatus, 7);
  EXPECT_EQ(Read(regs::kDmaReadDoneStatus), 7u);
  EXPECT_TRUE(card->GuestErrors().empty());
}

TEST_F(CardTest, BadAccessesAreLoggedNotFatal) {
  Make({.directRead = true});
  EXPECT_EQ(card->MmioRead32(2, 0x20000), 0xFFFFFFFFu);
  EXPECT_EQ(card->MmioRead32(2, 0x2002), 0xFFFFFFFFu);
  EXPECT_EQ(card->MmioRead32(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(card->MmioRead32(5, 0), 0xFFFFFFFFu);
  card->MmioWrite32(2, 0x2001, 1);
  card->MmioWrite32(0, 0x2000, 1);
  card->MmioWrite32(2, ~0ull, 1);
  EXPECT_EQ(card->PeekRegister(0x2000), 0u);
  EXPECT_EQ(card->GuestErrors().size(), 7u);
  EXPECT_EQ(card->AccessLog().size(), 7u);

  Make();  // without kCapDirectRead a plain load is the wrong read path
  Read(0x2000);
  ASSERT_EQ(card->GuestErrors().size(), 1u);
  EXPECT_NE(card->GuestErrors()[0].find("direct"), std::string::npos);
}

TEST_F(CardTest, WriteBackAnswerArrivesAfterLatencyBigEndian) {
  Make({.writeBackLatencyNs = 2000});
  EnableWriteBack();
  Write(0x1234, 0xCAFEF00D);
  Request(0x1234);
  host.Advance(1999);
  EXPECT_EQ(Flag(), 0u);
  host.Advance(1);
  const uint8_t expected[8] = {0xCA, 0xFE, 0xF0, 0x0D, 0x12, 0x34, 0x00, 0x01};
  EXPECT_EQ(std::memcmp(&host.mem[0x40], expected, 8), 0);
  EXPECT_TRUE(card->GuestErrors().empty());
}

TEST_F(CardTest, CapabilityThroughWriteBackAndItsAccessPattern) {
  for (bool direct : {false, true}) {
    Make({.directRead = direct});
    EnableWriteBack();
    card->ClearAccessLog();
    Request(regs::kRegCapability);
    host.Advance(2000);
    EXPECT_EQ(Value(), direct ? 0x801u : 0x1u);
    const auto log = card->AccessLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], (MmioAccess{MmioAccess::Kind::kWrite, 2, 0x16008, 0, host.now - 2000}));
  }
}

TEST_F(CardTest, AnswerContentFaults) {
  Make({.directRead = true, .echoZeroOffset = true});
  EnableWriteBack();
  Request(0x1780);
  host.Advance(2000);
  EXPECT_EQ(Flag(), 0x00000001u);
  card->UpdateFaults([](card::Faults& f) { f.flagOffset = 0x6074; });
  Request(0x1780);
  host.Advance(2000);
  EXPECT_EQ(Flag(), 0x60740001u);
  card->SetFaults({.readsAllOnes = true});
  Request(0x2000);
  host.Advance(2000);
  EXPECT_EQ(Value(), 0xFFFFFFFFu);
  EXPECT_EQ(Flag(), 0x00000001u);  // the flag word is not a register value
  EXPECT_EQ(Read(0x2000), 0xFFFFFFFFu);
}

TEST_F(CardTest, DroppedAndDelayedAnswers) {
  Make();
  EnableWriteBack();
  Write(0x2000, 1);
  card->UpdateFaults([](card::Faults& f) { f.dropNextWriteBacks = 2; });
  Request(0x2000);
  Request(0x2000);
  host.Advance(5000);
  EXPECT_EQ(Flag(), 0u);
  Request(0x2000);
  host.Advance(2000);
  EXPECT_EQ(Flag(), 0x20000001u);

  std::fill(host.mem.begin(), host.mem.end(), 0);
  card->UpdateFaults([](card::Faults& f) { f.dropAllWriteBacks = true; });
  Request(0x2000);
  host.Advance(100000);
  EXPECT_EQ(Flag(), 0u);

  card->SetFaults({.writeBackExtraDelayNs = 1'000'000});
  Request(0x2000);
  host.Advance(1'001'999);
  EXPECT_EQ(Flag(), 0u);
  host.Advance(1);
  EXPECT_EQ(Flag(), 0x20000001u);
}

TEST_F(CardTest, MisprogrammedWriteBackIsReportedNotAnswered) {
  Make();
  Request(0x2000);  // engine not enabled yet
  host.Advance(10000);
  EXPECT_EQ(Flag(), 0u);
  EnableWriteBack(0x8000'0000);  // outside host memory
  Request(0x2000);
  host.Advance(2000);
  EXPECT_EQ(host.dmaFaults, 1);
  const auto errors = card->GuestErrors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("disabled"), std::string::npos);
  EXPECT_NE(errors[1].find("0x80000000"), std::string::npos);
}

TEST_F(CardTest, MessagesGatedByEnableRegister) {
  Make();
  EXPECT_FALSE(card->RaiseMessage(0));
  Write(regs::kRegMsiEnable, regs::kMsiEnableAll);
  EXPECT_TRUE(card->RaiseMessage(1));
  card->InjectSpuriousMessage(2);
  Write(regs::kRegMsiEnable, regs::kMsiDisableAll);
  EXPECT_FALSE(card->RaiseMessage(3));
  EXPECT_EQ(host.messages, (std::vector<uint32_t>{1, 2}));
}

TEST_F(CardTest, LineLevelPulsesAndDisableBit) {
  Make({.linePulseWidthNs = 500});
  card->AssertLine();
  EXPECT_TRUE(host.line);
  EXPECT_TRUE(card->ConfigRead32(0x04) & (0x8u << 16));  // status: interrupt pending
  card->ConfigWrite32(0x04, 0x0400);                      // interrupt disable
  EXPECT_FALSE(host.line);
  card->ConfigWrite32(0x04, 0);
  card->InjectSpuriousLinePulse();  // overlapping a real assertion keeps the line up
  host.Advance(500);
  EXPECT_TRUE(host.line);
  card->DeassertLine();
  EXPECT_FALSE(host.line);

  card->SetFaults({.spuriousLinePeriodNs = 10000});
  host.Advance(10000);
  EXPECT_TRUE(host.line);
  host.Advance(500);
  EXPECT_FALSE(host.line);
  const int edges = host.lineEdges;
  card->SetFaults({});
  host.Advance(100000);
  EXPECT_EQ(host.lineEdges, edges);
}

TEST_F(CardTest, IsrReenteringFromLineCallbackDoesNotDeadlock) {
  Make({.directRead = true});
  host.onLine = [this](bool asserted) {
    if (asserted) {
      Read(0x2000);  // the ISR reads a register, then the engine drops the line
      card->DeassertLine();
    }
  };
  card->AssertLine();
  EXPECT_FALSE(host.line);
  EXPECT_EQ(host.lineEdges, 2);
}

TEST_F(CardTest, VanishedCard) {
  Make({.directRead = true});
  EnableWriteBack();
  Write(regs::kRegMsiEnable, regs::kMsiEnableAll);
  Write(0x2000, 42);
  card->AssertLine();
  Request(0x2000);  // pending when the card disappears
  card->SetFaults({.vanished = true});
  EXPECT_FALSE(host.line);
  EXPECT_EQ(card->MmioRead32(2, 0x2000), 0xFFFFFFFFu);
  EXPECT_EQ(card->ConfigRead32(0), 0xFFFFFFFFu);
  Write(0x2000, 7);
  card->ConfigWrite32(0x3C, 0);
  Request(0x2000);
  EXPECT_FALSE(card->RaiseMessage(0));
  card->InjectSpuriousLinePulse();
  host.Advance(100000);
  EXPECT_FALSE(host.line);
  EXPECT_EQ(Flag(), 0u);
  EXPECT_TRUE(host.messages.empty());
  card->SetFaults({});
  EXPECT_EQ(Read(0x2000), 42u);
  EXPECT_EQ(card->ConfigRead32(0x3C) & 0xFF, 0x0Bu);
}

TEST_F(CardTest, PendingAnswerAfterCardDestroyedIsHarmless) {
  Make();
  EnableWriteBack();
  Request(0x2000);
  card.reset();
  host.Advance(2000);
  EXPECT_EQ(Flag(), 0u);
}

TEST_F(CardTest, ConcurrentAccessKeepsEveryStore) {
  Make({.directRead = true});
  EnableWriteBack();
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t)
    threads.emplace_back([this, t] {
      for (uint32_t i = 0; i < 500; ++i) {
        Write(0x3000 + 4 * t, i);
        Request(0x3000 + 4 * t);
      }
    });
  for (auto& th : threads) th.join();
  for (uint32_t t = 0; t < 4; ++t) EXPECT_EQ(card->PeekRegister(0x3000 + 4 * t), 499u);
  EXPECT_EQ(host.queue.size(), 2000u);
}

}  // namespace
