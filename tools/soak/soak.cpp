// capture-soak: a long run of every kind of transfer on several simulated
// cards at once, for the lab rather than CI. It boots wdmsim on its
// simulated clock, loads one product's driver, plugs in the cards and, on
// every card at the same time, captures frames from the card's source,
// plays frames out to its sink and sends data round the card's loopback,
// checking each as it arrives, until the simulated duration has passed.
// Sizes, patterns, frame numbers and loopback data come from the seed:
// with the same seed every thread asks for the same sequence. It exits 0
// only if every transfer was verified and the verifier found nothing.
//
// Notes:
//  1. Threads. Each card has two, started with Kernel::StartThread, so the
//     simulated clock counts them as running while they make and check
//     data: time moves only while they wait for the card, and checking a
//     large frame costs no simulated time. The "from card" thread captures;
//     the "to card" thread plays frames out and runs the loopbacks. The
//     driver takes one transfer per direction at a time and keeps one
//     completion event per direction, so the loopback's return leg takes
//     the card-to-host direction in turn with the captures. The turn is an
//     auto-reset wdmsim event, not a host lock: a thread the clock counts
//     must wait through wdmsim, or the clock would stop while it waits.
//  2. The loopback endpoint returns the last block the sink received. Only
//     the "to card" thread plays out, so nothing else reaches the sink
//     between a loopback's outward leg and its return leg.
//  3. Playouts are checked at the card's sink through the driver's register
//     reads (the write-back protocol, or direct loads on cards that announce
//     them): one more good frame, no bad one, this frame's number as the
//     last good one, and the byte count moved on by its length. Those reads
//     also run against transfers in flight on the other direction, where
//     register reads once lost their answers.
//  4. Pacing. Each thread starts one transfer (a loopback counts as one)
//     every 1/fps of simulated time, as a video application does once per
//     frame; when a transfer takes longer, the next one starts at once.
//     Unpaced, the threads would move data as fast as the host can check
//     it, and 30 simulated minutes would take many hours of wall time.
//  5. Odd-numbered cards announce direct register reads (capability bit
//     11), so both of the driver's ways of finding a completion run: the
//     status words in host memory and the status registers.
//  6. What the driver prints (its poll's count every 10 s per card, and
//     anything unusual) is counted and dropped at each progress line rather
//     than kept for hours; a line printed between the read and the drop is
//     missed from the count, nothing else.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "capture/card.h"
#include "capture/products.h"
#include "capture/wdmsim_backend.h"
#include "card/frames.h"
#include "card/plug.h"
#include "interface/dma_registers.h"
#include "wdmsim/kernel.h"

namespace {

namespace frames = card::frames;
namespace dma = regs::dma;
using WallClock = std::chrono::steady_clock;

constexpr auto kTransferTimeout = std::chrono::milliseconds(5000);  // simulated; a transfer takes milliseconds
constexpr auto kTurnTimeout = std::chrono::milliseconds(30000);     // the other thread holds it for one transfer

struct Settings {
  unsigned cards = 4;
  std::string product = "Talvrex";
  uint64_t seed = 0x50A4;
  double seconds = 30 * 60;  // simulated
  uint64_t linkBytesPerSecond = 1'000'000'000;
  uint32_t minSize = 64 * 1024;
  uint32_t maxSize = 2 * 1024 * 1024;
  uint32_t productMax = 0;      // the product's largest transfer
  double fps = 25;              // per thread
  double progressSeconds = 30;  // wall
  std::string imageDir = WDMSIM_IMAGE_DIR;
};

// --- Seeded choices --------------------------------------------------------

// SplitMix64: small, fast, and a good enough stream for sizes and data.
class Random {
 public:
  Random(uint64_t seed, unsigned card, unsigned stream) : state_(seed) {
    state_ ^= Next() + (uint64_t{card} << 32) + stream;
    (void)Next();
  }
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  void Fill(std::span<uint8_t> bytes) {
    size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
      const uint64_t word = Next();
      std::memcpy(bytes.data() + at, &word, 8);
    }
    if (at < bytes.size()) {
      const uint64_t word = Next();
      std::memcpy(bytes.data() + at, &word, bytes.size() - at);
    }
  }

 private:
  uint64_t state_;
};

// A transfer length in whole 32-bit words (the card moves words): now and
// then exactly the smallest or the largest, and the product's largest
// transfer, which fills the driver's common buffer up to its reserved tail;
// otherwise anything between the smallest and the largest.
uint32_t PickLength(Random& random, const Settings& s) {
  const uint32_t pick = random.Below(64);
  if (pick == 0) return s.productMax;
  if (pick <= 2) return pick == 1 ? s.minSize : s.maxSize;
  return s.minSize + 4 * random.Below((s.maxSize - s.minSize) / 4 + 1);
}

// --- What the run counts -----------------------------------------------------

enum Kind { kCapture, kPlayout, kLoopback, kKinds };
constexpr std::array<const char*, kKinds> kKindNames{"capture", "playout", "loopback"};

struct Tally {
  std::atomic<uint64_t> transfers{0}, bytes{0}, failures{0};
};

// One card and what its threads share.
struct CardRun {
  unsigned index = 0;
  bool directRead = false;
  wdmsim::Slot* slot = nullptr;
  std::unique_ptr<wdmsim::Process> process;  // a capture application of its own
  std::shared_ptr<capture::Backend> backend;
  std::optional<capture::Card> card;
  std::optional<capture::Event> fromCardTurn;  // note 1
  std::array<Tally, kKinds> tally;
};

class Run {
 public:
  Run(wdmsim::Kernel& kernel, const Settings& settings, uint64_t endNs)
      : kernel(kernel), settings(settings), endNs(endNs) {}

  // Counts a failure; the first few of each card and kind are told at once
  // and again in the summary.
  void Fail(CardRun& card, Kind kind, const std::string& what) {
    if (++card.tally[kind].failures > kToldPerKind) return;
    std::lock_guard lock(notesLock_);
    notes_.push_back(fmt::format("card {} {} at {:.6f} s simulated: {}", card.index, kKindNames[kind],
                                 static_cast<double>(kernel.NanosecondsSinceBoot()) / 1e9, what));
    fmt::print("FAILURE {}\n", notes_.back());
    std::fflush(stdout);
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(notesLock_);
    return notes_;
  }

  // Waits in simulated time for the thread's next frame slot (note 4);
  // false once the run is over.
  bool NextSlot(uint64_t& slotNs) {
    if (stop) return false;
    uint64_t now = kernel.NanosecondsSinceBoot();
    if (slotNs > now) {
      if (slotNs >= endNs) return false;
      kernel.RunFor(std::chrono::nanoseconds(slotNs - now));
      now = slotNs;
    }
    slotNs = now + periodNs();
    return now < endNs && !stop;
  }

  wdmsim::Kernel& kernel;
  const Settings& settings;
  const uint64_t endNs;
  std::atomic<bool> stop{false};  // a bug check: the kernel is dead
  // When the last thread finished, in ns since boot: after that the clock
  // runs on idle until the main thread notices.
  std::atomic<uint64_t> lastFinishNs{0};

 private:
  uint64_t periodNs() const { return settings.fps > 0 ? static_cast<uint64_t>(1e9 / settings.fps) : 0; }
  static constexpr uint64_t kToldPerKind = 3;
  std::mutex notesLock_;  // held for a copy only, never across a wdmsim call
  std::vector<std::string> notes_;
};

// The card-to-host direction, taken in turn (note 1).
class Turn {
 public:
  explicit Turn(capture::Event& event) : event_(event) {
    auto woke = event.Wait(kTurnTimeout);
    held_ = woke && *woke == capture::WaitOutcome::kSignalled;
  }
  ~Turn() {
    if (held_) (void)event_.Signal();
  }
  bool held() const { return held_; }

 private:
  capture::Event& event_;
  bool held_ = false;
};

const char* VerdictName(frames::Verdict verdict) {
  switch (verdict) {
    case frames::Verdict::kGood: return "good";
    case frames::Verdict::kNotAFrame: return "no frame header";
    case frames::Verdict::kBadHeader: return "damaged header";
    case frames::Verdict::kBadLength: return "wrong length";
    case frames::Verdict::kBadPayload: return "payload CRC mismatch";
  }
  return "?";
}

// "" when `bytes` is frame `number` of `pattern`, exactly bytes.size() long.
std::string CheckCapturedFrame(std::span<const uint8_t> bytes, uint32_t number, uint32_t pattern) {
  const auto check = frames::VerifyFrame(bytes);
  if (check.verdict != frames::Verdict::kGood) {
    return fmt::format("{}-byte frame {} did not verify: {}", bytes.size(), number, VerdictName(check.verdict));
  }
  if (check.header.length != bytes.size()) {
    return fmt::format("frame {} is {} bytes long, {} were asked for", number, check.header.length, bytes.size());
  }
  if (check.header.number != number) {
    return fmt::format("frame {} arrived where frame {} was due", check.header.number, number);
  }
  if (check.header.pattern != pattern) {
    return fmt::format("frame {} carries pattern {}, {} was asked for", number, check.header.pattern, pattern);
  }
  if (!frames::MatchesPattern(bytes)) return fmt::format("frame {}: the payload is not its pattern", number);
  return "";
}

// --- The threads -------------------------------------------------------------

// Captures from the card's source, frame by frame.
void FromCard(Run& run, CardRun& c) {
  const Settings& s = run.settings;
  Random random(s.seed, c.index, 1);
  auto allocated = c.card->AllocateBuffer(s.productMax);
  if (!allocated) return run.Fail(c, kCapture, allocated.error().message());
  capture::UserBuffer buffer = std::move(allocated).value();
  // The number the source gives the next frame; unknown at first and after
  // a failure (the source counts a frame it made even if its DMA failed),
  // when the capture names the number itself.
  uint32_t next = 0;
  bool known = false;
  for (uint64_t slot = 0; run.NextSlot(slot);) {
    const uint32_t length = PickLength(random, s);
    const uint32_t pattern = random.Below(256);
    uint32_t number = next;
    uint32_t param = pattern;
    if (!known || random.OneIn(64)) {
      number = random.Below(dma::kCaptureNumberMask + 1);
      param |= dma::kCaptureSetNumber | (number << dma::kCaptureNumberShift);
    }
    known = false;
    capture::Status done;
    {
      Turn turn(*c.fromCardTurn);
      if (!turn.held()) {
        run.Fail(c, kCapture, "the card-to-host direction was not handed over within 30 s");
        continue;
      }
      done = c.card->CaptureFrame(buffer, length, dma::kStartCapture, param, kTransferTimeout);
    }
    if (!done) {
      run.Fail(c, kCapture, done.error().message());
      continue;
    }
    if (std::string wrong = CheckCapturedFrame({buffer.data(), length}, number, pattern); !wrong.empty()) {
      run.Fail(c, kCapture, wrong);
      continue;
    }
    next = number + 1;
    known = true;
    ++c.tally[kCapture].transfers;
    c.tally[kCapture].bytes += length;
  }
}

// The sink's counters as the driver reads them (note 3).
struct SinkCounters {
  uint32_t good = 0, bad = 0, last = 0, bytes = 0;
};

std::optional<SinkCounters> ReadSink(capture::Card& card, std::string* error) {
  SinkCounters counters;
  for (auto [offset, value] : {std::pair{dma::kSinkFramesGood, &counters.good}, {dma::kSinkFramesBad, &counters.bad},
                               {dma::kSinkLastFrame, &counters.last}, {dma::kSinkBytes, &counters.bytes}}) {
    auto read = card.ReadRegister(offset);
    if (!read) {
      *error = read.error().message();
      return std::nullopt;
    }
    if (*read == 0xFFFFFFFF) {
      *error = fmt::format("the register read of 0x{:04X} was not answered", offset);
      return std::nullopt;
    }
    *value = *read;
  }
  return counters;
}

// "" when the sink moved from `before` to `after` as one block of `length`
// bytes: a good frame numbered `number`, or plain data when there is none.
std::string CheckSink(const SinkCounters& before, const SinkCounters& after, uint32_t length,
                      std::optional<uint32_t> number) {
  const uint32_t good = before.good + (number ? 1 : 0);
  if (after.good != good || after.bad != before.bad) {
    return fmt::format("the sink counted {} good and {} bad frames, {} and {} were due", after.good, after.bad, good,
                       before.bad);
  }
  if (number && after.last != *number) {
    return fmt::format("the sink's last good frame is {}, frame {} was sent", after.last, *number);
  }
  if (after.bytes != before.bytes + length) {
    return fmt::format("the sink received {} bytes, {} were sent", after.bytes - before.bytes, length);
  }
  return "";
}

// Plays frames out to the card's sink, and runs the loopbacks.
void ToCard(Run& run, CardRun& c) {
  const Settings& s = run.settings;
  Random random(s.seed, c.index, 2);
  auto out = c.card->AllocateBuffer(s.productMax);
  auto back = c.card->AllocateBuffer(s.productMax);
  if (!out || !back) return run.Fail(c, kPlayout, (out ? back.error() : out.error()).message());
  capture::UserBuffer sent = std::move(out).value();
  capture::UserBuffer received = std::move(back).value();
  uint32_t number = random.Below(1u << 24);
  std::optional<SinkCounters> sink;
  std::string error;
  for (uint64_t slot = 0; run.NextSlot(slot);) {
    const Kind kind = random.OneIn(4) ? kLoopback : kPlayout;
    const uint32_t length = PickLength(random, s);
    const std::span<uint8_t> data{sent.data(), length};
    if (kind == kPlayout) {
      frames::MakeFrame(data, number, random.Below(256));
    } else {
      random.Fill(data);
      // Plain data: without the frame magic the sink does not judge it.
      if (length >= 4 && std::memcmp(data.data(), &frames::kMagic, 4) == 0) data[0] ^= 0xFF;
    }
    if (!sink && !(sink = ReadSink(*c.card, &error))) {
      run.Fail(c, kind, error);
      continue;
    }
    if (auto played = c.card->PlayFrame(sent, length, dma::kStartPlayout, number, kTransferTimeout); !played) {
      run.Fail(c, kind, played.error().message());
      sink.reset();
      continue;
    }
    const auto after = ReadSink(*c.card, &error);
    if (!after) {
      run.Fail(c, kind, error);
      sink.reset();
      continue;
    }
    std::string wrong = CheckSink(*sink, *after, length, kind == kPlayout ? std::optional(number) : std::nullopt);
    sink = after;
    if (kind == kPlayout) {
      ++number;
      if (!wrong.empty()) {
        run.Fail(c, kind, wrong);
      } else {
        ++c.tally[kind].transfers;
        c.tally[kind].bytes += length;
      }
      continue;
    }
    if (!wrong.empty()) {
      run.Fail(c, kind, "outward leg: " + wrong);
      continue;
    }
    // The return leg (note 2). The buffer is spoilt first, so that a
    // transfer that delivered nothing cannot pass on what was there.
    std::memset(received.data(), 0xA5, length);
    capture::Status returned;
    {
      Turn turn(*c.fromCardTurn);
      if (!turn.held()) {
        run.Fail(c, kind, "the card-to-host direction was not handed over within 30 s");
        continue;
      }
      returned = c.card->CaptureFrame(received, length, dma::kStartLoopback, 0, kTransferTimeout);
    }
    if (!returned) {
      run.Fail(c, kind, "return leg: " + returned.error().message());
      continue;
    }
    if (std::memcmp(received.data(), sent.data(), length) != 0) {
      const auto at = std::mismatch(sent.data(), sent.data() + length, received.data()).first - sent.data();
      run.Fail(c, kind, fmt::format("{} bytes went out and came back different from byte {}", length, at));
      continue;
    }
    ++c.tally[kind].transfers;
    c.tally[kind].bytes += length;
  }
}

// Runs `body` and turns what it throws into a failure; a bug check stops
// the whole run, since the kernel is dead.
void Guarded(Run& run, CardRun& c, Kind kind, void (*body)(Run&, CardRun&)) {
  try {
    body(run, c);
  } catch (const wdmsim::BugCheck& e) {
    run.stop = true;
    run.Fail(c, kind, fmt::format("bug check 0x{:X}: {}", e.code(), e.what()));
  } catch (const std::exception& e) {
    run.Fail(c, kind, fmt::format("thread stopped: {}", e.what()));
  }
}

// --- Output ------------------------------------------------------------------

std::string Thousands(uint64_t n) {
  std::string digits = std::to_string(n), text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string Bytes(uint64_t n) {
  if (n >= (uint64_t{1} << 30)) return fmt::format("{:.2f} GiB", static_cast<double>(n) / (1 << 30));
  if (n >= (uint64_t{1} << 20)) return fmt::format("{:.1f} MiB", static_cast<double>(n) / (1 << 20));
  return fmt::format("{:.1f} KiB", static_cast<double>(n) / 1024);
}

std::string Hms(double seconds) {
  const auto whole = static_cast<uint64_t>(std::llround(seconds));
  return fmt::format("{:02}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60);
}

// "30m", "20s", "1.5h", "1800" (seconds); nullopt when it is none of these.
std::optional<double> ParseDuration(const std::string& text) {
  size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const std::string unit = text.substr(used);
  for (auto [name, scale] : {std::pair{"", 1.0}, {"s", 1.0}, {"m", 60.0}, {"h", 3600.0}, {"ms", 1e-3}}) {
    if (unit == name && value > 0) return value * scale;
  }
  return std::nullopt;
}

// "4096", "64K", "2M" (binary multiples), "0x1000".
std::optional<uint64_t> ParseSize(const std::string& text, uint64_t k) {
  size_t used = 0;
  uint64_t value = 0;
  try {
    value = std::stoull(text, &used, 0);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const std::string unit = text.substr(used);
  for (auto [name, scale] : {std::pair{"", uint64_t{1}}, {"K", k}, {"k", k}, {"M", k * k}, {"G", k * k * k}}) {
    if (unit == name) return value * scale;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  std::string durationText = "30m", linkText = "1G", minText = "64K", maxText = "2M";
  CLI::App app{"Soak run: captures, playouts and loopbacks on every simulated card at once, each verified, on "
               "wdmsim's simulated clock, until the simulated duration has passed.",
               "capture-soak"};
  app.add_option("--cards", s.cards, "Simulated cards")->check(CLI::Range(1u, 16u))->capture_default_str();
  app.add_option("--product", s.product, "Product whose driver runs")->capture_default_str();
  app.add_option("--seed", s.seed, "Seed of every size, pattern and byte sent (decimal or 0x..)")
      ->capture_default_str();
  app.add_option("--duration", durationText, "Simulated time to run: 20s, 30m, 1.5h, or seconds")
      ->capture_default_str();
  app.add_option("--link-rate", linkText,
                 "Card link rate in bytes per second; K, M, G are powers of 1000 (1G = 1,000,000,000 B/s)")
      ->capture_default_str();
  app.add_option("--min-size", minText, "Smallest transfer in bytes; K, M are powers of 1024")->capture_default_str();
  app.add_option("--max-size", maxText, "Largest transfer in bytes; K, M are powers of 1024")->capture_default_str();
  app.add_option("--fps", s.fps, "Transfers each thread starts per simulated second; 0: back to back")
      ->check(CLI::Range(0.0, 100000.0))
      ->capture_default_str();
  app.add_option("--progress", s.progressSeconds, "Wall seconds between progress lines")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--image-dir", s.imageDir, "Directory of <Product>.sys.so")->capture_default_str();
  app.footer("Exit codes: 0 every transfer verified and the verifier found nothing; 1 otherwise; 2 usage error.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  const capture::Product* product = capture::FindProduct(s.product);
  const auto seconds = ParseDuration(durationText);
  const auto link = ParseSize(linkText, 1000);
  const auto minSize = ParseSize(minText, 1024);
  const auto maxSize = ParseSize(maxText, 1024);
  std::string usage;
  if (product == nullptr) usage = fmt::format("unknown product '{}'", s.product);
  if (!seconds) usage = fmt::format("--duration {}: give a positive time such as 20s, 30m or 2h", durationText);
  if (!link || *link == 0) usage = fmt::format("--link-rate {}: give bytes per second, such as 1G or 500M", linkText);
  if (!minSize || !maxSize || *minSize < frames::kHeaderSize + 4 || *minSize > *maxSize ||
      (product != nullptr && *maxSize > product->maxTransfer)) {
    usage = fmt::format("--min-size {} --max-size {}: need {} <= min <= max <= {} (the product's largest transfer)",
                        minText, maxText, frames::kHeaderSize + 4, product != nullptr ? product->maxTransfer : 0);
  }
  if (!usage.empty()) {
    fmt::print(stderr, "capture-soak: {}\n", usage);
    return 2;
  }
  s.product = std::string(product->name);
  s.seconds = *seconds;
  s.linkBytesPerSecond = *link;
  s.minSize = static_cast<uint32_t>(*minSize + 3) & ~3u;  // whole words: the card moves words
  s.maxSize = static_cast<uint32_t>(*maxSize) & ~3u;
  s.productMax = product->maxTransfer & ~3u;

  const double mean = (61.0 * (s.minSize + s.maxSize) / 2 + s.minSize + s.maxSize + s.productMax) / 64;  // PickLength
  fmt::print("capture-soak: {} cards of {} (family {}), seed 0x{:X}, {} of simulated time\n", s.cards, s.product,
             product->FamilyLetter(), s.seed, Hms(s.seconds));
  fmt::print("  card link: {:.3f} GB/s ({} bytes/s); a {} transfer moves in {:.2f} ms\n",
             static_cast<double>(s.linkBytesPerSecond) / 1e9, Thousands(s.linkBytesPerSecond),
             Bytes(static_cast<uint64_t>(mean)), mean * 1e3 / static_cast<double>(s.linkBytesPerSecond));
  fmt::print("  transfers: {} to {} bytes in whole words (mean {}); 1 in 32 exactly the smallest or the largest,\n"
             "  1 in 64 the product's largest transfer ({} bytes)\n",
             Thousands(s.minSize), Thousands(s.maxSize), Bytes(static_cast<uint64_t>(mean)), Thousands(s.productMax));
  if (s.fps > 0) {
    fmt::print("  pacing: each of 2 threads per card starts {} transfers per simulated second ({:.2f} ms apart)\n",
               s.fps, 1e3 / s.fps);
  } else {
    fmt::print("  pacing: none, each of 2 threads per card starts its next transfer at once\n");
  }
  fmt::print("  per card: one thread captures frames (verified by header, CRC-32 and pattern); one plays frames out\n"
             "  (verified at the card's sink) and, one time in 4, sends seeded data round the loopback (compared\n"
             "  byte for byte); odd cards announce direct register reads; the wdmsim verifier is always on\n");
  std::fflush(stdout);

  const auto wallStart = WallClock::now();
  wdmsim::Kernel kernel(wdmsim::Options{.clock = wdmsim::ClockMode::Simulated});
  const std::string imagePath = s.imageDir + "/" + s.product + ".sys.so";
  wdmsim::DriverImage* image = nullptr;
  try {
    image = &kernel.LoadDriver(imagePath);
  } catch (const std::exception& e) {
    fmt::print(stderr, "capture-soak: cannot load {}: {}\n", imagePath, e.what());
    return 1;
  }

  std::vector<std::unique_ptr<CardRun>> cards;
  for (unsigned i = 0; i < s.cards; ++i) {
    auto c = std::make_unique<CardRun>();
    c->index = i;
    c->directRead = i % 2 == 1;  // note 5
    card::CardOptions options;
    options.linkBytesPerSecond = s.linkBytesPerSecond;
    options.directRead = c->directRead;
    options.logCapacity = 1024;  // nothing reads the card's access log here
    const NTSTATUS started = card::AddAndStartCard(kernel, *image, &c->slot, options);
    if (started != STATUS_SUCCESS) {
      fmt::print(stderr, "capture-soak: card {} did not start: status 0x{:08X}\n", i, static_cast<uint32_t>(started));
      return 1;
    }
    c->process = kernel.CreateProcess();
    c->backend = std::make_shared<capture::WdmsimBackend>(kernel, *c->process);
    auto opened = capture::Card::Open(c->backend, s.product, i);
    if (!opened) {
      fmt::print(stderr, "capture-soak: {}\n", opened.error().message());
      return 1;
    }
    c->card.emplace(std::move(opened).value());
    // Before the threads start: both would otherwise create them on first use.
    auto registered = c->card->RegisterCompletionEvents();
    auto turn = capture::Event::Create(c->backend, false, true);
    if (!registered || !turn) {
      fmt::print(stderr, "capture-soak: card {}: {}\n", i,
                 (!registered ? registered.error() : turn.error()).message());
      return 1;
    }
    c->fromCardTurn.emplace(std::move(turn).value());
    cards.push_back(std::move(c));
  }

  const uint64_t startNs = kernel.NanosecondsSinceBoot();
  Run run(kernel, s, startNs + static_cast<uint64_t>(s.seconds * 1e9));
  std::atomic<unsigned> running{0};
  std::vector<std::thread> threads;
  for (auto& c : cards) {
    for (const Kind kind : {kCapture, kPlayout}) {
      ++running;
      threads.push_back(kernel.StartThread([&run, &running, card = c.get(), kind] {
        Guarded(run, *card, kind, kind == kCapture ? &FromCard : &ToCard);
        const uint64_t now = run.kernel.NanosecondsSinceBoot();
        for (uint64_t seen = run.lastFinishNs; seen < now && !run.lastFinishNs.compare_exchange_weak(seen, now);) {
        }
        --running;
      }));
    }
  }

  auto totals = [&] {
    std::array<uint64_t, 3> t{};
    for (auto& c : cards) {
      for (auto& k : c->tally) {
        t[0] += k.transfers;
        t[1] += k.bytes;
        t[2] += k.failures;
      }
    }
    return t;
  };
  uint64_t driverLines = 0;
  auto takeDriverOutput = [&] {  // note 6
    driverLines += image->DbgLines().size();
    image->ClearDbgOutput();
  };
  auto nextProgress = wallStart + std::chrono::duration_cast<WallClock::duration>(
                                      std::chrono::duration<double>(s.progressSeconds));
  while (running > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (WallClock::now() < nextProgress) continue;
    nextProgress += std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(s.progressSeconds));
    takeDriverOutput();
    const double sim = static_cast<double>(kernel.NanosecondsSinceBoot() - startNs) / 1e9;
    const double wall = std::chrono::duration<double>(WallClock::now() - wallStart).count();
    const auto [transfers, bytes, failures] = totals();
    const double rate = sim / wall;
    fmt::print("[{} wall] simulated {} of {} ({:.0f}%), {} transfers, {}, {} failures, {} findings; {:.3f} simulated s "
               "per wall s, about {} wall to go\n",
               Hms(wall), Hms(sim), Hms(s.seconds), 100 * sim / s.seconds, Thousands(transfers), Bytes(bytes),
               failures, kernel.Findings().size(), rate, rate > 0 ? Hms((s.seconds - sim) / rate) : "?");
    std::fflush(stdout);
  }
  for (auto& t : threads) t.join();
  const double simulated = static_cast<double>(run.lastFinishNs - startNs) / 1e9;

  // The card side: the sink's damaged frames, refused DMA, and what the
  // card saw the driver do wrong.
  std::vector<std::string> cardProblems;
  const bool dead = !kernel.BugCheckReport().empty();
  for (auto& c : cards) {
    c->fromCardTurn.reset();
    c->card.reset();
    c->backend.reset();
    c->process.reset();
    if (dead) continue;
    card::Card& model = card::CardIn(*c->slot);
    if (uint32_t bad = model.PeekRegister(dma::kSinkFramesBad); bad != 0) {
      cardProblems.push_back(fmt::format("card {}: the sink counted {} damaged frames", c->index, bad));
    }
    if (uint32_t refused = model.PeekRegister(dma::kDmaFailures); refused != 0) {
      cardProblems.push_back(fmt::format("card {}: {} transfers ended on a refused DMA", c->index, refused));
    }
    for (const auto& e : model.GuestErrors()) cardProblems.push_back(fmt::format("card {}: {}", c->index, e));
  }
  if (!dead) {
    takeDriverOutput();
    for (auto* slot : kernel.Slots()) kernel.RemoveCard(*slot);
    const std::string rest = kernel.UnloadDriver(*image);
    driverLines += static_cast<uint64_t>(std::count(rest.begin(), rest.end(), '\n'));
  }
  const double wall = std::chrono::duration<double>(WallClock::now() - wallStart).count();
  const std::vector<std::string> findings = kernel.Findings();
  const std::string bugCheck = kernel.BugCheckReport();

  fmt::print("\n{:<6}{:<10}{:>14}{:>16}{:>10}\n", "card", "kind", "transfers", "bytes", "failures");
  uint64_t failures = 0, transfers = 0, bytes = 0;
  for (auto& c : cards) {
    for (int k = 0; k < kKinds; ++k) {
      const Tally& t = c->tally[k];
      fmt::print("{:<6}{:<10}{:>14}{:>16}{:>10}\n", fmt::format("{}{}", c->index, c->directRead ? "*" : ""),
                 kKindNames[k], Thousands(t.transfers), Bytes(t.bytes), Thousands(t.failures));
      failures += t.failures;
      transfers += t.transfers;
      bytes += t.bytes;
    }
  }
  fmt::print("{:<16}{:>14}{:>16}{:>10}\n", "all", Thousands(transfers), Bytes(bytes), Thousands(failures));
  fmt::print("(* announces direct register reads; a loopback counts once, its bytes once)\n\n");
  for (const auto& note : run.Notes()) fmt::print("failure: {}\n", note);
  if (failures > run.Notes().size()) fmt::print("(the first 3 failures of each card and kind are shown)\n");
  for (const auto& problem : cardProblems) fmt::print("card side: {}\n", problem);
  fmt::print("verifier: {}\n", findings.empty() ? "nothing held, nothing leaked, no request lost" :
                                                  fmt::format("{} findings", findings.size()));
  for (const auto& f : findings) fmt::print("  {}\n", f);
  if (!bugCheck.empty()) fmt::print("bug check: {}\n", bugCheck);
  fmt::print("driver output: {} lines\n", Thousands(driverLines));
  fmt::print("seed 0x{:X}; simulated {} ({:.1f} s), wall {} ({:.1f} s): {:.3f} simulated s per wall s, "
             "{:.0f} transfers per wall s\n",
             s.seed, Hms(simulated), simulated, Hms(wall), wall, simulated / wall,
             static_cast<double>(transfers) / wall);
  const bool clean = failures == 0 && findings.empty() && bugCheck.empty() && cardProblems.empty() && transfers > 0;
  fmt::print("{}\n", clean ? "Soak passed: every transfer verified, the verifier found nothing."
                           : "Soak FAILED.");
  return clean ? 0 : 1;
}
