// The card's DMA engine; see dma_engine.h and REGISTERS.md ("DMA engine").
#include "card/dma_engine.h"

#include <cstdio>
#include <utility>

#include "interface/dma_registers.h"
#include "interface/registers.h"

namespace card {

namespace dma = regs::dma;
namespace {

constexpr uint32_t kItemWordCountMask = 0x003FFFFF;  // item word 0, bits 21..0
constexpr size_t kItemSize = 16;
constexpr size_t kSpareBuffers = 2;
constexpr uint64_t kNsPerSecond = 1'000'000'000;
// Where the broken address decoder of Faults::dmaUnmappedData sends data:
// far above any host memory.
constexpr uint64_t kUnmappedBits = 0xFFFF'0000'0000'0000;

// Completion status registers, by direction.
constexpr std::array<uint32_t, 2> kDoneStatus = {regs::kDmaReadDoneStatus, regs::kDmaWriteDoneStatus};

uint32_t LoadBigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

DmaEngine::DmaEngine(wdmsim::PciHost& host, const CardOptions& options, std::weak_ptr<CardPort> card)
    : host_(host), options_(options), card_(std::move(card)) {}

bool DmaEngine::IsReadOnly(uint32_t reg) { return reg >= dma::kFirstCounter && reg <= dma::kLastCounter; }

std::optional<DmaEngine::Endpoint> DmaEngine::EndpointAt(uint32_t reg) {
  switch (reg) {
    case dma::kStartPlayout: return Endpoint::kPlayout;
    case dma::kStartCapture: return Endpoint::kCapture;
    case dma::kStartLoopback: return Endpoint::kLoopback;
    default: return std::nullopt;
  }
}

void DmaEngine::OnRegisterWrite(uint32_t reg, uint32_t value) {
  if (reg == dma::kCounterReset) return ResetCounters();
  if (const auto endpoint = EndpointAt(reg)) Start(*endpoint, value);
}

// Every step holds only a weak reference: a card destroyed with transfers
// in flight leaves callbacks that do nothing.
template <typename Fn>
void DmaEngine::Later(uint64_t delayNs, Fn fn) {
  host_.ScheduleAfterNs(delayNs, [weak = weak_from_this(), fn = std::move(fn)]() mutable {
    if (auto self = weak.lock()) fn(*self);
  });
}

// A start supersedes whatever the direction was doing, clears the
// direction's completion status register and drops INTA; the item is
// fetched after dmaLatencyNs.
void DmaEngine::Start(Endpoint endpoint, uint32_t base) {
  const auto card = card_.lock();
  if (!card) return;
  const Direction direction = endpoint == Endpoint::kPlayout ? kHostToCard : kCardToHost;
  Transfer t{endpoint, direction, 0, base};
  {
    std::lock_guard lock(mu_);
    t.generation = ++generation_[direction];
    ++lineGeneration_;
    card->SetEngineRegister(kDoneStatus[direction], 0);
    card->RequestLine(false);
  }
  card->SyncLine();
  if (card->TakeStall()) return;
  Later(options_.dmaLatencyNs, [t](DmaEngine& e) { e.FetchItem(t); });
}

// The item alone describes the transfer: the descriptor registers may be
// written after the start register, or not at all when unchanged.
void DmaEngine::FetchItem(Transfer t) {
  const auto card = card_.lock();
  if (!card || card->Vanished()) return;
  {
    std::lock_guard lock(mu_);
    if (!CurrentLocked(t)) return;
  }
  std::array<uint8_t, kItemSize> item{};
  const uint64_t itemAddress = uint64_t{t.base} + cbuf::kSglItem;
  if (!host_.DmaFromHost(itemAddress, item.data(), item.size()))
    return Fail(*card, "scatter/gather item read", itemAddress, item.size());
  t.bytes = size_t{LoadBigEndian32(&item[0]) & kItemWordCountMask} * 4;
  t.param = LoadBigEndian32(&item[4]);
  t.data = uint64_t{LoadBigEndian32(&item[8])} << 32 | LoadBigEndian32(&item[12]);
  const Faults faults = card->CurrentFaults();
  if (faults.dmaUnmappedData) t.data |= kUnmappedBits;
  uint64_t delay = faults.dmaExtraDelayNs;
  if (options_.linkBytesPerSecond != 0) delay += t.bytes * kNsPerSecond / options_.linkBytesPerSecond;
  Later(delay, [t](DmaEngine& e) { e.Complete(t); });
}

// Moves the data, as one burst at the end of the transfer time.
void DmaEngine::Complete(Transfer t) {
  const auto card = card_.lock();
  if (!card || card->Vanished()) return;
  std::vector<uint8_t> buffer;
  std::optional<CaptureSource::Frame> frame;
  bool noSignal = false;
  {
    std::lock_guard lock(mu_);
    if (!CurrentLocked(t)) return;
    noSignal = t.endpoint == Endpoint::kCapture && card->CurrentFaults().captureNoSignal;
    if (!noSignal) {
      buffer = TakeBufferLocked();
      if (t.endpoint == Endpoint::kCapture) {
        frame = capture_.Take(t.param);
        PublishLocked(*card);
      } else if (t.endpoint == Endpoint::kLoopback) {
        sink_.CopyLastBlock(buffer, t.bytes);
      }
    }
  }
  if (noSignal) return Finish(*card, t, dma::kStatusNoSignal);  // no frame: nothing moves, numbering holds
  buffer.resize(t.bytes);
  bool moved = true;
  if (t.direction == kCardToHost) {
    if (frame) frames::MakeFrame(buffer, frame->number, frame->pattern);
    moved = t.bytes == 0 || host_.DmaToHost(t.data, buffer.data(), t.bytes);
  } else {
    moved = t.bytes == 0 || host_.DmaFromHost(t.data, buffer.data(), t.bytes);
  }
  if (!moved) {
    {
      std::lock_guard lock(mu_);
      GiveBufferLocked(std::move(buffer));
    }
    return Fail(*card, t.direction == kCardToHost ? "data write" : "data read", t.data, t.bytes);
  }
  const frames::Check check =
      t.direction == kHostToCard ? frames::VerifyFrame(buffer) : frames::Check{};
  {
    std::lock_guard lock(mu_);
    if (t.direction == kHostToCard) {
      sink_.Accept(buffer, t.param, check);  // hands back the previous block
      PublishLocked(*card);
    }
    GiveBufferLocked(std::move(buffer));
  }
  Finish(*card, t, dma::kStatusDone);
}

// Status word, then (on register-mode cards) the status register, then the
// interrupts. A transfer superseded meanwhile reports nothing.
void DmaEngine::Finish(CardPort& card, const Transfer& t, uint32_t status) {
  {
    std::lock_guard lock(mu_);
    if (!CurrentLocked(t)) return;
  }
  const std::array<uint8_t, 4> word = {static_cast<uint8_t>(status >> 24), static_cast<uint8_t>(status >> 16),
                                       static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status)};
  const uint64_t statusAddress = uint64_t{t.base} + cbuf::kStatusWord;
  if (!host_.DmaToHost(statusAddress, word.data(), word.size()))
    return Fail(card, "status word write", statusAddress, word.size());
  statusWrittenNs_[t.direction].store(host_.NowNs());
  uint64_t lineGeneration = 0;
  {
    std::lock_guard lock(mu_);
    if (options_.directRead) card.SetEngineRegister(kDoneStatus[t.direction], status);
    lineGeneration = ++lineGeneration_;
    card.RequestLine(true);
  }
  card.SyncLine();
  card.SendMessage(dma::kCompletionMessage);
  if (options_.dmaLineHoldNs != 0)
    Later(options_.dmaLineHoldNs, [lineGeneration](DmaEngine& e) { e.ReleaseLine(lineGeneration); });
}

void DmaEngine::ReleaseLine(uint64_t generation) {
  const auto card = card_.lock();
  if (!card) return;
  {
    std::lock_guard lock(mu_);
    if (lineGeneration_ != generation) return;  // a later completion or start owns the line
    card->RequestLine(false);
  }
  card->SyncLine();
}

// A DMA the host refused: the transfer ends here, without a status word.
void DmaEngine::Fail(CardPort& card, const char* what, uint64_t address, size_t length) {
  {
    std::lock_guard lock(mu_);
    ++failures_;
    PublishLocked(card);
  }
  card.ReportGuestError("DMA " + std::string(what) + " of " + std::to_string(length) + " bytes at bus address " +
                        Hex(address) + " failed: outside host memory");
}

void DmaEngine::Reset() {
  const auto card = card_.lock();
  if (!card) return;
  {
    std::lock_guard lock(mu_);
    ++generation_[kHostToCard];
    ++generation_[kCardToHost];
    ++lineGeneration_;
    card->RequestLine(false);
  }
  card->SyncLine();
}

void DmaEngine::ResetCounters() {
  const auto card = card_.lock();
  if (!card) return;
  std::lock_guard lock(mu_);
  capture_.ResetCounters();
  sink_.ResetCounters();
  failures_ = 0;
  PublishLocked(*card);
}

std::vector<uint8_t> DmaEngine::TakeBufferLocked() {
  if (spare_.empty()) return {};
  std::vector<uint8_t> buffer = std::move(spare_.back());
  spare_.pop_back();
  return buffer;
}

void DmaEngine::GiveBufferLocked(std::vector<uint8_t> buffer) {
  if (spare_.size() < kSpareBuffers) spare_.push_back(std::move(buffer));
}

void DmaEngine::PublishLocked(CardPort& card) {
  const PlayoutSink::Counters& c = sink_.counters();
  card.SetEngineRegister(dma::kSinkFramesGood, c.framesGood);
  card.SetEngineRegister(dma::kSinkFramesBad, c.framesBad);
  card.SetEngineRegister(dma::kSinkLastFrame, c.lastFrame);
  card.SetEngineRegister(dma::kSinkBytes, static_cast<uint32_t>(c.bytes));
  card.SetEngineRegister(dma::kSinkBlocks, c.blocks);
  card.SetEngineRegister(dma::kSinkLastParam, c.lastParam);
  card.SetEngineRegister(dma::kCaptureNextFrame, capture_.NextNumber());
  card.SetEngineRegister(dma::kCaptureFrames, capture_.FramesMade());
  card.SetEngineRegister(dma::kDmaFailures, failures_);
}

}  // namespace card
