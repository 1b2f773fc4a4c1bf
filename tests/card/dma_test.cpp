// The DMA engine seen from the driver's side: the test plays the driver,
// preparing common buffers in the fake host's memory and storing start
// registers, and checks what lands in host memory, registers and interrupts.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <thread>

#include "card/card.h"
#include "interface/dma_registers.h"
#include "card/frames.h"
#include "interface/registers.h"
#include "tests/card/fake_host.h"

namespace {

using card::Card;
using card::CardOptions;
using card::Faults;
using cardtest::FakeHost;
namespace dma = regs::dma;
namespace frames = card::frames;

constexpr uint64_t kMemBase = 0x8000'0000;  // common buffers live below 4 GiB
constexpr uint64_t kSmallBuffer = 0x10000;
constexpr uint64_t kLong = 1'000'000'000;   // simulated time that outlasts any transfer here

class DmaTest : public ::testing::Test {
 protected:
  void SetUp() override { Layout(kSmallBuffer); }

  // Two common buffers of `size` bytes each: host-to-card, then card-to-host.
  void Layout(uint64_t size) {
    host.base = kMemBase;
    host.mem.assign(2 * size, 0);
    toCard = kMemBase;
    toHost = kMemBase + size;
  }
  Card& Make(CardOptions o = {}) {
    card = std::make_unique<Card>(host, o);
    return *card;
  }
  void Write(uint32_t reg, uint32_t v) { card->MmioWrite32(2, reg, __builtin_bswap32(v)); }

  // What the driver does: status word cleared, item written, start register,
  // then the descriptor registers (after the start, as the driver orders them).
  void Submit(uint32_t startReg, uint64_t buffer, size_t length, uint32_t param = 0) {
    host.PutBigEndian(buffer + cbuf::kStatusWord, 0);
    host.PutBigEndian(buffer + cbuf::kSglItem, static_cast<uint32_t>(length / 4) & 0x3FFFFF);
    host.PutBigEndian(buffer + cbuf::kSglItem + 4, param);
    host.PutBigEndian(buffer + cbuf::kSglItem + 8, 0);
    host.PutBigEndian(buffer + cbuf::kSglItem + 12, static_cast<uint32_t>(buffer + cbuf::kData));
    Write(startReg, static_cast<uint32_t>(buffer));
    const uint32_t first = startReg == dma::kStartPlayout ? regs::kDmaReadDesc0 : regs::kDmaWriteDesc0;
    const uint32_t values[4] = {param, static_cast<uint32_t>(buffer + cbuf::kData), static_cast<uint32_t>(length),
                                static_cast<uint32_t>(buffer)};
    for (uint32_t i = 0; i < 4; ++i) Write(first + 4 * i, values[i]);
  }
  void Play(std::span<const uint8_t> bytes, uint32_t param = 0) {
    std::copy(bytes.begin(), bytes.end(), host.At(toCard + cbuf::kData));
    Submit(dma::kStartPlayout, toCard, bytes.size(), param);
    host.Advance(kLong);
  }
  std::span<const uint8_t> Captured(size_t length, uint32_t param = 0, uint32_t start = dma::kStartCapture) {
    Submit(start, toHost, length, param);
    host.Advance(kLong);
    return {host.At(toHost + cbuf::kData), length};
  }
  uint32_t Status(uint64_t buffer) const { return host.BigEndianAt(buffer + cbuf::kStatusWord); }
  uint32_t Reg(uint32_t reg) const { return card->PeekRegister(reg); }

  FakeHost host;
  std::unique_ptr<Card> card;
  uint64_t toCard = 0, toHost = 0;
};

TEST_F(DmaTest, CaptureDeliversNumberedFramesThatVerify) {
  Make();
  for (uint32_t n = 0; n < 3; ++n) {
    const auto frame = Captured(4096, frames::kPatternNoise);
    ASSERT_EQ(Status(toHost), dma::kStatusDone);
    const frames::Check check = frames::VerifyFrame(frame);
    ASSERT_EQ(check.verdict, frames::Verdict::kGood);
    EXPECT_EQ(check.header.number, n);
    EXPECT_EQ(check.header.length, 4096u);
    EXPECT_TRUE(frames::MatchesPattern(frame));
  }
  // Bit 31 restarts numbering at bits 30..8; the pattern is bits 7..0.
  auto check = frames::VerifyFrame(Captured(64, dma::kCaptureSetNumber | 1000u << 8 | frames::kPatternCounter));
  EXPECT_EQ(check.header.number, 1000u);
  EXPECT_EQ(check.header.pattern, frames::kPatternCounter);
  EXPECT_EQ(frames::VerifyFrame(Captured(64)).header.number, 1001u);
  EXPECT_EQ(Reg(dma::kCaptureNextFrame), 1002u);
  EXPECT_EQ(Reg(dma::kCaptureFrames), 5u);
  EXPECT_TRUE(card->GuestErrors().empty());
}

TEST_F(DmaTest, CompletionTimeFollowsLatencyAndLinkBandwidth) {
  Make({.dmaLatencyNs = 3000, .linkBytesPerSecond = 500'000'000});  // 2 ns per byte
  card->UpdateFaults([](Faults& f) { f.dmaExtraDelayNs = 100; });
  Submit(dma::kStartCapture, toHost, 1000);
  host.Advance(3000 + 2000 + 100 - 1);
  EXPECT_EQ(Status(toHost), 0u);
  EXPECT_EQ(host.At(toHost + cbuf::kData)[0], 0);  // data moves with the completion, not before
  host.Advance(1);
  EXPECT_EQ(Status(toHost), dma::kStatusDone);
}

TEST_F(DmaTest, PlayoutSinkCountsGoodAndBadFramesAndPlainData) {
  Make();
  Play(frames::MakeFrame(1024, 41, frames::kPatternRamp), 0xABCD);
  EXPECT_EQ(Status(toCard), dma::kStatusDone);
  Play(frames::MakeFrame(2048, 42, frames::kPatternNoise));
  auto damaged = frames::MakeFrame(512, 43, frames::kPatternNoise);
  damaged[300] ^= 1;
  Play(damaged, 7);
  auto badHeader = frames::MakeFrame(512, 44, frames::kPatternNoise);
  badHeader[5] ^= 1;
  Play(badHeader);
  const std::vector<uint8_t> plain(100, 0x5A);
  Play(plain, 9);

  EXPECT_EQ(Reg(dma::kSinkFramesGood), 2u);
  EXPECT_EQ(Reg(dma::kSinkFramesBad), 2u);
  EXPECT_EQ(Reg(dma::kSinkLastFrame), 42u);
  EXPECT_EQ(Reg(dma::kSinkBlocks), 5u);
  EXPECT_EQ(Reg(dma::kSinkBytes), 1024u + 2048 + 512 + 512 + 100);
  EXPECT_EQ(Reg(dma::kSinkLastParam), 9u);

  Write(dma::kSinkFramesGood, 1234);  // counters are read-only to the driver
  EXPECT_EQ(Reg(dma::kSinkFramesGood), 2u);
  Write(dma::kCounterReset, 0);
  for (uint32_t reg = dma::kFirstCounter; reg <= dma::kLastCounter; reg += 4) EXPECT_EQ(Reg(reg), 0u) << reg;
  EXPECT_TRUE(card->GuestErrors().empty());
}

TEST_F(DmaTest, LoopbackReturnsTheLastBlockWordForWord) {
  Make();
  std::vector<uint8_t> sent(1003);  // not a multiple of 4: the item carries 250 words
  std::iota(sent.begin(), sent.end(), uint8_t{3});
  Play(sent);
  EXPECT_EQ(Reg(dma::kSinkBytes), 1000u);

  auto back = Captured(1000, 0, dma::kStartLoopback);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), sent.begin()));
  EXPECT_EQ(Status(toHost), dma::kStatusDone);

  std::fill_n(host.At(toHost + cbuf::kData), 2000, 0xEE);
  back = Captured(1200, 0, dma::kStartLoopback);  // longer than the block: zero padded
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 1000, sent.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + 1000, back.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(host.At(toHost + cbuf::kData)[1200], 0xEE);  // nothing past the item's words

  std::fill_n(host.At(toHost + cbuf::kData), 2000, 0xEE);
  const auto frame = Captured(70);  // capture of 70 bytes: a 68-byte frame
  EXPECT_EQ(frames::VerifyFrame(frame).header.length, 68u);
  EXPECT_EQ(frames::VerifyFrame(frame).verdict, frames::Verdict::kGood);
  EXPECT_EQ(frame[68], 0xEE);
}

TEST_F(DmaTest, LostSignalEndsCapturesWithStatusTwoAndNoData) {
  Make({.directRead = true});
  Captured(64);
  card->UpdateFaults([](Faults& f) { f.captureNoSignal = true; });
  std::fill_n(host.At(toHost + cbuf::kData), 64, 0xEE);
  Captured(64);
  EXPECT_EQ(Status(toHost), dma::kStatusNoSignal);
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), dma::kStatusNoSignal);
  EXPECT_EQ(host.At(toHost + cbuf::kData)[0], 0xEE);
  Play(frames::MakeFrame(64, 0, 0));  // the playout side is unaffected
  EXPECT_EQ(Status(toCard), dma::kStatusDone);
  card->UpdateFaults([](Faults& f) { f.captureNoSignal = false; });
  EXPECT_EQ(frames::VerifyFrame(Captured(64)).header.number, 1u);  // no frame was lost meanwhile
}

TEST_F(DmaTest, StalledTransfersNeverCompleteUntilSuperseded) {
  Make({.dmaLineHoldNs = 0});
  Write(regs::kRegMsiEnable, regs::kMsiEnableAll);
  card->UpdateFaults([](Faults& f) { f.dmaStallNext = 1; });
  Captured(64);
  EXPECT_EQ(Status(toHost), 0u);
  EXPECT_FALSE(host.line);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(card->GetFaults().dmaStallNext, 0u);
  Captured(64);  // the next start supersedes the stalled one and completes
  EXPECT_EQ(Status(toHost), dma::kStatusDone);
  EXPECT_EQ(host.messages.size(), 1u);

  card->UpdateFaults([](Faults& f) { f.dmaStallAll = true; });
  Play(frames::MakeFrame(64, 0, 0));
  EXPECT_EQ(Status(toCard), 0u);
  EXPECT_EQ(Reg(dma::kSinkBlocks), 0u);

  // A start while a transfer is in flight: only the newer one reports.
  card->SetFaults({});
  Submit(dma::kStartCapture, toHost, 64, dma::kCaptureSetNumber | 50u << 8);
  Submit(dma::kStartCapture, toHost, 64, dma::kCaptureSetNumber | 60u << 8);
  host.Advance(kLong);
  EXPECT_EQ(frames::VerifyFrame({host.At(toHost + cbuf::kData), 64}).header.number, 60u);
  EXPECT_EQ(host.messages.size(), 2u);
}

TEST_F(DmaTest, DmaOutsideHostMemoryWritesNoStatusAndIsReported) {
  Make();
  // A start register pointing outside host memory: the item cannot be read.
  Write(dma::kStartCapture, 0x1000);
  host.Advance(kLong);
  // An item whose data address lies outside host memory.
  host.PutBigEndian(toHost + cbuf::kSglItem, 16);
  host.PutBigEndian(toHost + cbuf::kSglItem + 12, 0x10);
  Write(dma::kStartCapture, static_cast<uint32_t>(toHost));
  host.Advance(kLong);
  // The card's own address decoder broken.
  card->UpdateFaults([](Faults& f) { f.dmaUnmappedData = true; });
  std::fill_n(host.At(toCard + cbuf::kData), 64, 0);
  Play(std::vector<uint8_t>(64, 1));

  EXPECT_EQ(Status(toHost), 0u);
  EXPECT_EQ(Status(toCard), 0u);
  EXPECT_FALSE(host.line);
  EXPECT_EQ(host.dmaFaults, 3);
  EXPECT_EQ(Reg(dma::kDmaFailures), 3u);
  EXPECT_EQ(Reg(dma::kSinkBlocks), 0u);
  const auto errors = card->GuestErrors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[0].find("item"), std::string::npos);
  EXPECT_NE(errors[0].find("0x1200"), std::string::npos);
  EXPECT_NE(errors[1].find("0x10 "), std::string::npos);
  EXPECT_NE(errors[2].find("0xffff0000"), std::string::npos);

  card->SetFaults({});  // the engine is not wedged by failures
  Play(std::vector<uint8_t>(64, 1));
  EXPECT_EQ(Status(toCard), dma::kStatusDone);
}

TEST_F(DmaTest, RegisterModeSetsCompletionStatusUntilTheNextStart) {
  Make();  // memory mode: the status registers stay 0
  Play(std::vector<uint8_t>(16, 1));
  Captured(16);
  EXPECT_EQ(Reg(regs::kDmaReadDoneStatus), 0u);
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), 0u);

  Make({.directRead = true});
  Play(std::vector<uint8_t>(16, 1));
  EXPECT_EQ(Reg(regs::kDmaReadDoneStatus), dma::kStatusDone);
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), 0u);
  Captured(16);
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), dma::kStatusDone);
  Write(regs::kDmaWriteDoneStatus, 0);  // the driver cannot clear it
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), dma::kStatusDone);
  Submit(dma::kStartLoopback, toHost, 16);  // a start of the same direction does
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), 0u);
  EXPECT_EQ(Reg(regs::kDmaReadDoneStatus), dma::kStatusDone);
  host.Advance(kLong);
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), dma::kStatusDone);
}

TEST_F(DmaTest, LineHeldAfterCompletionAndMessagesOnlyWhenEnabled) {
  Make({.dmaLatencyNs = 1000, .linkBytesPerSecond = 0, .dmaLineHoldNs = 5000});
  Submit(dma::kStartCapture, toHost, 64);
  host.Advance(1000);
  EXPECT_TRUE(host.line);
  host.Advance(4999);
  EXPECT_TRUE(host.line);
  host.Advance(1);
  EXPECT_FALSE(host.line);
  EXPECT_TRUE(host.messages.empty());  // 0x6074 is 0 at power-up

  // A completion inside another's hold restarts the hold: the older
  // release must not drop the newer assertion.
  Submit(dma::kStartCapture, toHost, 64);
  host.Advance(1000);
  Submit(dma::kStartPlayout, toCard, 64);
  EXPECT_FALSE(host.line);  // any new start drops the line
  host.Advance(1000);
  EXPECT_TRUE(host.line);
  host.Advance(4000);  // the first completion's hold is over
  EXPECT_TRUE(host.line);
  host.Advance(1000);
  EXPECT_FALSE(host.line);

  Write(regs::kRegMsiEnable, regs::kMsiEnableAll);
  Submit(dma::kStartCapture, toHost, 64);
  host.Advance(1000);
  EXPECT_EQ(host.messages, std::vector<uint32_t>{dma::kCompletionMessage});

  Make({.dmaLineHoldNs = 0});  // held until the next start
  Captured(64);
  EXPECT_TRUE(host.line);
  Submit(dma::kStartCapture, toHost, 64);
  EXPECT_FALSE(host.line);
}

TEST_F(DmaTest, EightMebibytesInBothDirections) {
  constexpr size_t kMax = 8u << 20;
  Layout(cbuf::kData + kMax);
  Make();
  const auto frame = Captured(kMax, frames::kPatternNoise);
  EXPECT_TRUE(frames::MatchesPattern(frame));
  const auto sent = frames::MakeFrame(kMax, 7, frames::kPatternCounter);
  Play(sent);
  EXPECT_EQ(Reg(dma::kSinkFramesGood), 1u);
  const auto back = Captured(kMax, 0, dma::kStartLoopback);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), sent.begin()));
  EXPECT_TRUE(card->GuestErrors().empty());
}

TEST_F(DmaTest, StartRegistersStayClearOfTheDestructiveRegisterTest) {
  Make();
  for (uint32_t reg = regs::kRandomTestBase; reg < regs::kRandomTestBase + regs::kRandomTestSpan; reg += 4)
    if (reg != regs::kRandomTestAvoid) Write(reg, 0xFFFFFFFF);
  host.Advance(kLong);
  EXPECT_EQ(host.dmaFaults, 0);
  EXPECT_TRUE(card->GuestErrors().empty());
}

TEST_F(DmaTest, ConcurrentStartsLeaveOneCompletionPerDirection) {
  Make({.directRead = true});
  Write(regs::kRegMsiEnable, regs::kMsiEnableAll);
  frames::MakeFrame(std::span(host.At(toCard + cbuf::kData), 64), 0, 0);
  Submit(dma::kStartPlayout, toCard, 64);  // items in place; the threads only store start registers
  Submit(dma::kStartCapture, toHost, 64);
  std::vector<std::thread> threads;
  for (uint32_t reg : {dma::kStartPlayout, dma::kStartCapture, dma::kStartLoopback, dma::kStartCapture})
    threads.emplace_back([this, reg] {
      for (int i = 0; i < 200; ++i) {
        Write(reg, static_cast<uint32_t>(reg == dma::kStartPlayout ? toCard : toHost));
        card->UpdateFaults([](Faults& f) { f.dmaExtraDelayNs = 1; });
      }
    });
  for (auto& t : threads) t.join();
  host.Advance(kLong);
  EXPECT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(Status(toCard), dma::kStatusDone);
  EXPECT_EQ(Status(toHost), dma::kStatusDone);
  EXPECT_EQ(Reg(regs::kDmaReadDoneStatus), dma::kStatusDone);
  EXPECT_EQ(Reg(regs::kDmaWriteDoneStatus), dma::kStatusDone);
  EXPECT_EQ(Reg(dma::kSinkBlocks), 1u);
  EXPECT_TRUE(card->GuestErrors().empty());
}

TEST_F(DmaTest, TransferInFlightWhenTheCardGoesIsHarmless) {
  Make();
  Submit(dma::kStartCapture, toHost, 64);
  card->UpdateFaults([](Faults& f) { f.vanished = true; });
  host.Advance(kLong);
  EXPECT_EQ(Status(toHost), 0u);
  card->SetFaults({});
  Submit(dma::kStartCapture, toHost, 64);
  card.reset();
  host.Advance(kLong);
  EXPECT_EQ(Status(toHost), 0u);
  EXPECT_EQ(host.dmaFaults, 0);
}

}  // namespace
