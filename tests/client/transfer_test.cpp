// The client's transfer, event, status and pool calls against the driver on
// wdmsim and the simulated card's DMA engine (card/REGISTERS.md).
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "capture/card.h"
#include "capture/wdmsim_backend.h"
#include "interface/dma_registers.h"
#include "card/frames.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"
#include "support/machine.h"

namespace {

using capture::Card;
using capture::Direction;
using capture::ErrorKind;
using namespace std::chrono_literals;
namespace dma = regs::dma;
namespace frames = card::frames;

constexpr auto kTimeout = 5000ms;  // simulated time; never reached unless something is broken

class TransferTest : public ::testing::Test, public support::Machine {
 protected:
  void TearDown() override {
    buffers.clear();
    card.reset();
    backend.reset();
    if (kernel) {
      EXPECT_EQ(ShutDown(), "");  // no locked pages left, no leaks
    }
  }

  Card& Start(const std::string& product = "Talvrex", const card::CardOptions& options = {}) {
    Boot({}, product);
    backend = std::make_shared<capture::WdmsimBackend>(*kernel);
    EXPECT_EQ(card::AddAndStartCard(*kernel, *image, &slot, options), STATUS_SUCCESS);
    auto opened = Card::Open(backend, product, 0);
    EXPECT_TRUE(opened.ok()) << opened.error().message();
    card.emplace(std::move(opened).value());
    return *card;
  }

  capture::UserBuffer& Buffer(size_t size) {
    auto buffer = card->AllocateBuffer(size);
    EXPECT_TRUE(buffer.ok()) << buffer.error().message();
    buffers.push_back(std::move(buffer).value());
    return buffers.back();
  }

  uint32_t Counter(uint32_t reg) { return card::CardIn(*slot).PeekRegister(reg); }

  wdmsim::Slot* slot = nullptr;
  std::shared_ptr<capture::Backend> backend;
  std::optional<Card> card;
  std::deque<capture::UserBuffer> buffers;  // references stay valid
};

// Captured frames verify, follow the source's numbering, and carry the pattern asked for.
void ExpectFrames(Card& c, capture::UserBuffer& buffer, uint32_t size, uint32_t first, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    std::memset(buffer.data(), 0xEE, size);
    ASSERT_TRUE(c.CaptureFrame(buffer, size, dma::kStartCapture, frames::kPatternCounter, kTimeout).ok());
    std::span<const uint8_t> bytes(buffer.data(), size);
    auto check = frames::VerifyFrame(bytes);
    ASSERT_EQ(check.verdict, frames::Verdict::kGood) << "frame " << i;
    EXPECT_EQ(check.header.number, first + i);
    EXPECT_EQ(check.header.length, size);
    EXPECT_EQ(check.header.pattern, frames::kPatternCounter);
    EXPECT_TRUE(frames::MatchesPattern(bytes));
  }
}

TEST_F(TransferTest, CapturePlayoutAndLoopbackMoveEveryByte) {
  Card& c = Start();
  auto& buffer = Buffer(1 << 20);
  EXPECT_LT(reinterpret_cast<uintptr_t>(buffer.data()) + buffer.size(), uintptr_t{1} << 32);
  ExpectFrames(c, buffer, 256 * 1024, 0, 3);

  // Playout: good frames count good, a damaged one bad.
  for (uint32_t n = 0; n < 2; ++n) {
    frames::MakeFrame(buffer.bytes().first(65536), 100 + n, frames::kPatternNoise);
    ASSERT_TRUE(c.PlayFrame(buffer, 65536, dma::kStartPlayout, 0x77, kTimeout).ok());
  }
  buffer.data()[1000] ^= 1;
  ASSERT_TRUE(c.PlayFrame(buffer, 65536, dma::kStartPlayout, 0, kTimeout).ok());
  EXPECT_EQ(Counter(dma::kSinkFramesGood), 2u);
  EXPECT_EQ(Counter(dma::kSinkFramesBad), 1u);
  EXPECT_EQ(Counter(dma::kSinkLastFrame), 101u);

  // Loopback: random bytes out and back, through two buffers.
  auto& back = Buffer(777776);
  std::mt19937 random(3);
  for (size_t i = 0; i < 777776; ++i) buffer.data()[i] = static_cast<uint8_t>(random());
  ASSERT_TRUE(c.PlayFrame(buffer, 777776, dma::kStartPlayout, 0, kTimeout).ok());
  ASSERT_TRUE(c.CaptureFrame(back, 777776, dma::kStartLoopback, 0, kTimeout).ok());
  EXPECT_EQ(std::memcmp(buffer.data(), back.data(), 777776), 0);
  EXPECT_EQ(Counter(dma::kDmaFailures), 0u);
}

TEST_F(TransferTest, MaximumTransferOnFamilyBToo) {
  Card& c = Start("QM4200");
  const uint32_t max = c.product().maxTransfer;
  auto& buffer = Buffer(max);
  ASSERT_TRUE(c.CaptureFrame(buffer, max, dma::kStartCapture, 5, kTimeout).ok());
  EXPECT_EQ(frames::VerifyFrame(buffer.bytes()).verdict, frames::Verdict::kGood);
  EXPECT_TRUE(frames::MatchesPattern(buffer.bytes()));
}

// On cards with direct reads the driver signals on every poll run while the
// status register is set, which lasts past the transfer: every capture must
// still wait for its own frame.
TEST_F(TransferTest, StatusRegisterCardsDoNotWakeForThePreviousTransfer) {
  Card& c = Start("Talvrex", {.directRead = true});
  auto& buffer = Buffer(4096);
  ExpectFrames(c, buffer, 4096, 0, 2);
  // Let the poll signal the finished transfer's register a few times over.
  ASSERT_EQ(c.CompletionEvent(Direction::kCardToHost)->Wait(kTimeout).value(), capture::WaitOutcome::kSignalled);
  ASSERT_EQ(c.CompletionEvent(Direction::kCardToHost)->Wait(kTimeout).value(), capture::WaitOutcome::kSignalled);
  // A slow transfer: a wake that is not its own would leave the buffer as it was.
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.dmaExtraDelayNs = 20'000'000; });
  ExpectFrames(c, buffer, 4096, 2, 16);
}

TEST_F(TransferTest, NoSignalStallsAndTimeOuts) {
  Card& c = Start();
  auto& buffer = Buffer(4096);

  // No signal: the transfer completes with status 2, the flag is taken once.
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.captureNoSignal = true; });
  ASSERT_TRUE(c.CaptureFrame(buffer, 4096, dma::kStartCapture, 0, kTimeout).ok());
  EXPECT_EQ(frames::VerifyFrame(buffer.bytes()).verdict, frames::Verdict::kNotAFrame);
  EXPECT_TRUE(c.TakeStatus2(Direction::kCardToHost).value());
  EXPECT_FALSE(c.TakeStatus2(Direction::kCardToHost).value());
  EXPECT_FALSE(c.TakeStatus2(Direction::kHostToCard).value());
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.captureNoSignal = false; });

  // A transfer that never completes times out, and the buffer is unlocked
  // (the teardown's verifier would report locked pages); the next works.
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.dmaStallNext = 1; });
  auto stalled = c.PlayFrame(buffer, 4096, dma::kStartPlayout, 0, 30ms);
  ASSERT_FALSE(stalled.ok());
  EXPECT_EQ(stalled.error().kind(), ErrorKind::kTimedOut);
  EXPECT_NE(stalled.error().message().find("no completion within 30 ms"), std::string::npos);
  frames::MakeFrame(buffer.bytes(), 9, 0);
  ASSERT_TRUE(c.PlayFrame(buffer, 4096, dma::kStartPlayout, 0, kTimeout).ok());
  EXPECT_EQ(Counter(dma::kSinkFramesGood), 1u);

  // A completion the poll has consumed leaves the status word clear.
  EXPECT_TRUE(c.StatusWordClear(Direction::kHostToCard).value());
  EXPECT_TRUE(c.StatusWordClear(Direction::kCardToHost).value());
}

TEST_F(TransferTest, RefusalsAreValues) {
  Card& c = Start();
  auto& buffer = Buffer(8192);
  auto kindOf = [](const capture::Status& s) { return s.ok() ? std::optional<ErrorKind>{} : s.error().kind(); };
  EXPECT_EQ(kindOf(c.CaptureFrame(buffer, 8193, dma::kStartCapture, 0, kTimeout)), ErrorKind::kClient);  // past the buffer
  EXPECT_EQ(kindOf(c.PlayFrame(buffer, 0, dma::kStartPlayout, 0, kTimeout)), ErrorKind::kClient);
  auto& big = Buffer(c.product().maxTransfer + 4);
  auto tooLong = c.StartTransfer(Direction::kHostToCard, big, c.product().maxTransfer + 4, dma::kStartPlayout, 0);
  EXPECT_EQ(kindOf(tooLong), ErrorKind::kClient);
  EXPECT_NE(tooLong.error().message().find("at most 0x600000 bytes"), std::string::npos);

  // The driver refuses a start register outside the window; nothing started.
  auto outside = c.PlayFrame(buffer, 4096, 0x20000, 0, kTimeout);
  ASSERT_EQ(kindOf(outside), ErrorKind::kSystem);
  EXPECT_EQ(outside.error().win32(), wdmsim::ERROR_INVALID_PARAMETER);

  // A caller's event replaces the card's own one for the direction.
  auto mine = c.NewEvent();
  ASSERT_TRUE(c.RegisterCompletionEvent(Direction::kCardToHost, *mine).ok());
  EXPECT_EQ(c.CompletionEvent(Direction::kCardToHost), nullptr);
  EXPECT_EQ(kindOf(c.WaitForCompletion(Direction::kCardToHost, 0ms)), ErrorKind::kClient);
  ASSERT_TRUE(c.StartTransfer(Direction::kCardToHost, buffer, 4096, dma::kStartCapture, 0).ok());
  EXPECT_EQ(mine->Wait(kTimeout).value(), capture::WaitOutcome::kSignalled);
  ASSERT_TRUE(c.EndTransfer(Direction::kCardToHost).ok());
  EXPECT_EQ(frames::VerifyFrame(buffer.bytes()).verdict, frames::Verdict::kGood);

  // Not an event: the driver cannot reference it.
  auto bogus = c.Execute([] {
    capture::Block b{};
    b.ulCommand = IOCTL_SET_EVENT_MSI;
    b.hEvent = 0x7777;
    return b;
  }(), "register a bogus event");
  EXPECT_EQ(bogus.error().kind(), ErrorKind::kSystem);
}

// On a device whose registry says MSISupported (the products' INFs do not:
// there the connection falls back to the line, and the line routine claims
// the completions first).
TEST_F(TransferTest, MessageEventSignalsOnCompletions) {
  Card& c = Start();
  kernel->SetMsiSupported(*slot, true);
  ASSERT_TRUE(c.ConnectMessageInterrupts().ok());
  auto message = c.NewEvent();
  ASSERT_TRUE(c.RegisterMessageEvent(*message).ok());
  EXPECT_EQ(message->Wait(0ms).value(), capture::WaitOutcome::kTimedOut);
  auto& buffer = Buffer(4096);
  ASSERT_TRUE(c.CaptureFrame(buffer, 4096, dma::kStartCapture, 0, kTimeout).ok());
  EXPECT_EQ(message->Wait(kTimeout).value(), capture::WaitOutcome::kSignalled);
  ASSERT_TRUE(c.DisconnectMessageInterrupts().ok());
}

TEST_F(TransferTest, PoolListsWritesAndReadsBack) {
  Card& c = Start();
  auto pool = c.BufferPool();
  ASSERT_TRUE(pool.ok()) << pool.error().message();
  ASSERT_EQ(pool->size(), capture::kPoolEntries);
  for (const auto& entry : *pool) {
    EXPECT_NE(entry.busAddress, 0u);
    EXPECT_EQ(entry.size, c.product().commonBuffer);
  }
  auto& out = Buffer(4096);
  auto& in = Buffer(4096);
  for (int i = 0; i < 4096; ++i) out.data()[i] = static_cast<uint8_t>(i * 31 + 7);
  const uint64_t key = (*pool)[5].busAddress;
  ASSERT_TRUE(c.WritePool(key, 0x1234, out, 4096).ok());
  ASSERT_TRUE(c.ReadPool(key, 0x1234, in, 4096).ok());
  EXPECT_EQ(std::memcmp(in.data(), out.data(), 4096), 0);
  // Another entry holds its own bytes.
  ASSERT_TRUE(c.ReadPool((*pool)[4].busAddress, 0x1234, in, 4096).ok());
  EXPECT_NE(std::memcmp(in.data(), out.data(), 4096), 0);

  auto outOfBounds = c.ReadPool(key, (*pool)[5].size - 16, in, 17);
  ASSERT_FALSE(outOfBounds.ok());
  EXPECT_EQ(outOfBounds.error().kind(), ErrorKind::kCommand);
  EXPECT_EQ(outOfBounds.error().result(), RESULT_POOL_NO_COPY);
  EXPECT_EQ(c.ReadPool(key + 8, 0, in, 16).error().result(), RESULT_POOL_NO_COPY);
  EXPECT_EQ(c.WritePool(key, 0, in, 4097).error().kind(), ErrorKind::kClient);  // past the user buffer
}

TEST_F(TransferTest, FamilyBRefusesThePoolInTheClient) {
  Card& c = Start("QM4200");
  auto& buffer = Buffer(4096);
  auto pool = c.BufferPool();
  ASSERT_FALSE(pool.ok());
  EXPECT_EQ(pool.error().kind(), ErrorKind::kClient);
  EXPECT_NE(pool.error().message().find("family A products only (QM4200 is family B)"), std::string::npos);
  EXPECT_EQ(c.ReadPool(0x1000, 0, buffer, 16).error().kind(), ErrorKind::kClient);
  EXPECT_EQ(c.WritePool(0x1000, 0, buffer, 16).error().kind(), ErrorKind::kClient);
}

}  // namespace
