// capture-tool's transfer subcommands: capture, play, loopback, pool, events
// and bench.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include <fmt/format.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

#include "bench_report.h"
#include "commands.h"
#include "interface/dma_registers.h"
#include "png_codec.h"

namespace capture_tool {

namespace {

using capture::Direction;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Mib(double bytes) { return bytes / (1 << 20); }

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

// Processor time of the calling thread, user and kernel, in ns.
double ThreadCpuNs() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) * 100;  // 100 ns units
#else
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
#endif
}

// A one-line progress bar on stderr, drawn only on a terminal.
class Progress {
 public:
  Progress(std::string what, uint64_t total) : what_(std::move(what)), total_(total), shown_(StderrIsTerminal()) {}
  ~Progress() { Done(); }
  void Update(uint64_t done) {
    if (!shown_ || total_ == 0) return;
    constexpr int kWidth = 40;
    int filled = static_cast<int>(done * kWidth / total_);
    fmt::print(stderr, "\r{} [{}{}] {}/{}", what_, std::string(filled, '#'), std::string(kWidth - filled, '.'), done,
               total_);
    std::fflush(stderr);
  }
  void Done() {
    if (shown_) fmt::print(stderr, "\n");
    shown_ = false;
  }

 private:
  std::string what_;
  uint64_t total_;
  bool shown_;
};

int Usage(const std::string& message) {
  std::fflush(stdout);
  fmt::print(stderr, "capture-tool: {}\n", message);
  return kExitUsage;
}

std::chrono::milliseconds Ms(uint32_t ms) { return std::chrono::milliseconds(ms); }

// The start register of `engine` for this card (start_registers.h); a usage
// error names the option that gives it.
std::optional<uint32_t> Start(const Context& context, const capture::Card& card, Engine engine,
                              std::optional<uint32_t> given, const std::string& option, int* code) {
  auto reg = StartRegister(engine, given, context.simulatedStarts, card.product(), option);
  if (reg) return *reg;
  *code = Usage(reg.error().message());
  return std::nullopt;
}

struct Pair {
  uint32_t playout = 0, loopback = 0;
};
std::optional<Pair> StartPair(const Context& context, const capture::Card& card, const LoopbackRegisters& given,
                              int* code) {
  auto playout = Start(context, card, Engine::kPlayout, given.playout, "--playout-register", code);
  if (!playout) return std::nullopt;
  auto loopback = Start(context, card, Engine::kLoopback, given.loopback, "--loopback-register", code);
  if (!loopback) return std::nullopt;
  return Pair{*playout, *loopback};
}

}  // namespace

// --- capture --------------------------------------------------------------------

namespace {

// Writes each captured frame as a picture (--png) and keeps what to report.
class PictureWriter {
 public:
  PictureWriter(const Context& context, const CaptureOptions& options, uint32_t startRegister)
      : options_(options), pattern_(context.pattern) {
    view_ = options.view;
    if (view_ == CaptureOptions::View::kAuto) {
      view_ = pattern_ && startRegister == context.simulatedStarts.capture ? CaptureOptions::View::kPattern
                                                                           : CaptureOptions::View::kRaw;
    }
  }

  // "" or what went wrong.
  std::string Write(uint32_t index, std::span<const uint8_t> frame) {
    const std::filesystem::path path =
        std::filesystem::path(options_.pictureDir) / fmt::format("frame-{:05}.png", index);
    Image image;
    if (view_ == CaptureOptions::View::kPattern) {
      PatternPicture picture = pattern_->draw(frame, options_.pictureWidth, expectedNumber_,
                                              options_.pattern & regs::dma::kCapturePatternMask);
      if (!picture.wrongLines.empty()) wrong_.push_back(path.filename().string() + ": " + picture.summary);
      image = std::move(picture.image);
    } else {
      image = RawPicture(frame, options_.pictureWidth, options_.pixelFormat);
    }
    if (pattern_) expectedNumber_ = pattern_->goodNumber(frame).value_or(expectedNumber_) + 1;
    std::string error;
    const std::vector<uint8_t> png = EncodePng(image, &error);
    if (png.empty()) return path.string() + ": " + error;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    if (!out.flush()) return "cannot write " + path.string();
    if (first_.empty()) first_ = path.string();
    last_ = path.filename().string();
    return "";
  }

  void Report() const {
    if (first_.empty()) return;
    const std::string files = first_ + (last_ == std::filesystem::path(first_).filename() ? "" : " .. " + last_);
    if (view_ == CaptureOptions::View::kPattern) {
      fmt::print("pictures (test pattern, {} bytes a line; margin green: line right, red: line wrong): {}\n",
                 options_.pictureWidth, files);
      for (const auto& line : wrong_) fmt::print("  {}\n", line);
    } else {
      fmt::print("pictures (raw bytes as {} pixels, {} a line; play takes them back): {}\n",
                 PixelFormatName(options_.pixelFormat), options_.pictureWidth, files);
    }
  }

 private:
  const CaptureOptions& options_;
  const std::optional<TestPattern>& pattern_;
  CaptureOptions::View view_;
  uint32_t expectedNumber_ = 0;
  std::string first_, last_;
  std::vector<std::string> wrong_;
};

}  // namespace

int Capture(const Context& context, const CaptureOptions& options) {
  const uint32_t smallest = context.pattern ? context.pattern->headerSize : 4;
  if (options.size < smallest || options.size % 4 != 0) {
    return Usage(fmt::format("--size {}: a frame is at least {} bytes and a multiple of 4", options.size, smallest));
  }
  if (options.view == CaptureOptions::View::kPattern && !context.pattern) {
    return Usage("--png-view pattern: only the simulated card makes the test pattern (--sim)");
  }
  if (!options.pictureDir.empty()) {
    if (options.pictureWidth == 0 || options.pictureWidth > 65536) {
      return Usage(fmt::format("--png-width {}: give 1 to 65536 pixels a line", options.pictureWidth));
    }
    std::error_code error;
    std::filesystem::create_directories(options.pictureDir, error);
    if (error || !std::filesystem::is_directory(options.pictureDir)) {
      return Usage("cannot make the folder " + options.pictureDir);
    }
  }
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  if (options.size > card->product().maxTransfer) {
    return Usage(fmt::format("--size {}: {} transfers at most {} bytes", options.size, card->product().name,
                             card->product().maxTransfer));
  }
  int code = kExitUsage;
  const auto startRegister = Start(context, *card, Engine::kCapture, options.startRegister, "--start-register", &code);
  if (!startRegister) return code;
  std::ofstream out;
  if (!options.output.empty()) {
    out.open(options.output, std::ios::binary | std::ios::trunc);
    if (!out) return Usage("cannot write " + options.output);
  }
  auto buffer = card->AllocateBuffer(options.size);
  if (!buffer) return Fail(buffer.error());

  uint32_t good = 0, bad = 0, noSignal = 0;
  std::optional<PictureWriter> pictures;
  if (!options.pictureDir.empty()) pictures.emplace(context, options, *startRegister);
  Progress progress("capture", options.frames);
  const auto start = Clock::now();
  for (uint32_t i = 0; i < options.frames; ++i) {
    auto captured = card->CaptureFrame(*buffer, options.size, *startRegister,
                                       options.pattern & regs::dma::kCapturePatternMask, Ms(options.timeoutMs));
    if (!captured) {
      progress.Done();
      return Fail(captured.error());
    }
    auto bytes = std::span<const uint8_t>(buffer->data(), options.size);
    // Only the simulated card's frames can be checked: a real card's carry
    // no header the tool reads.
    bool ok = !context.pattern || context.pattern->verify(bytes, options.pattern);
    if (!ok) {
      auto flagged = card->TakeStatus2(Direction::kCardToHost);
      if (flagged && *flagged) ++noSignal;
    }
    (ok ? good : bad) += 1;
    if (out) out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (pictures) {
      if (std::string error = pictures->Write(i, bytes); !error.empty()) {
        progress.Done();
        return Fail(capture::Error::Client("capture --png", error));
      }
    }
    progress.Update(i + 1);
  }
  const double seconds = Seconds(Clock::now() - start);
  progress.Done();
  if (out && !out.flush()) return Fail(capture::Error::Client("write " + options.output, "write failed"));
  const double bytes = static_cast<double>(options.size) * options.frames;
  const std::string verdict = context.pattern ? fmt::format("{} good, {} bad{}", good, bad,
                                                          noSignal != 0 ? fmt::format(" ({} without signal)", noSignal) : "")
                                             : "not verified (no test pattern on a real card)";
  fmt::print("captured {} frames of {} bytes{}: {}; {:.1f} MiB in {:.3f} s, {:.1f} MiB/s\n", options.frames,
             options.size, options.output.empty() ? "" : " to " + options.output, verdict, Mib(bytes), seconds,
             seconds > 0 ? Mib(bytes) / seconds : 0.0);
  if (pictures) pictures->Report();
  return bad == 0 ? kExitSuccess : kExitFailed;
}

// --- play -----------------------------------------------------------------------

int Play(const Context& context, const PlayOptions& options) {
  // Raw-view pictures turn back into the bytes captured; anything else is
  // played as it is.
  std::vector<uint8_t> data;
  for (const std::string& input : options.inputs) {
    std::ifstream in(input, std::ios::binary);
    if (!in) return Usage("cannot read " + input);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (LooksLikePng(bytes)) {
      std::string error;
      auto image = DecodePng(bytes, &error);
      std::optional<std::vector<uint8_t>> frame;
      if (image) frame = BytesOfRawPicture(*image, &error);
      if (!frame) return Usage(input + ": " + error);
      bytes = std::move(*frame);
    }
    data.insert(data.end(), bytes.begin(), bytes.end());
  }
  const std::string source =
      options.inputs.size() == 1 ? options.inputs[0] : fmt::format("{} files", options.inputs.size());
  if (data.empty()) return Usage(source + " is empty");
  uint32_t block = options.size;
  if (block == 0) {
    const std::optional<uint32_t> length = context.pattern ? context.pattern->length(data) : std::nullopt;
    if (!length || *length < context.pattern->headerSize) {
      return Usage(source + " does not start with a frame: give --size");
    }
    block = *length;
  }
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  if (block > card->product().maxTransfer) {
    return Usage(fmt::format("blocks of {} bytes: {} transfers at most {}", block, card->product().name,
                             card->product().maxTransfer));
  }
  int code = kExitUsage;
  const auto startRegister = Start(context, *card, Engine::kPlayout, options.startRegister, "--start-register", &code);
  if (!startRegister) return code;
  auto buffer = card->AllocateBuffer(block);
  if (!buffer) return Fail(buffer.error());

  const size_t blocks = (data.size() + block - 1) / block;
  Progress progress("play", blocks);
  const auto start = Clock::now();
  for (size_t i = 0; i < blocks; ++i) {
    const size_t offset = i * block;
    const auto length = static_cast<uint32_t>(std::min<size_t>(block, data.size() - offset));
    std::memcpy(buffer->data(), data.data() + offset, length);
    if (auto played = card->PlayFrame(*buffer, length, *startRegister, 0, Ms(options.timeoutMs)); !played) {
      progress.Done();
      return Fail(played.error());
    }
    progress.Update(i + 1);
  }
  const double seconds = Seconds(Clock::now() - start);
  progress.Done();
  fmt::print("played {} blocks ({} bytes) from {}: {:.1f} MiB/s\n", blocks, data.size(), source,
             seconds > 0 ? Mib(static_cast<double>(data.size())) / seconds : 0.0);
  if (!context.simulated) return kExitSuccess;
  auto goodFrames = card->ReadRegister(regs::dma::kSinkFramesGood);
  auto badFrames = card->ReadRegister(regs::dma::kSinkFramesBad);
  if (!goodFrames) return Fail(goodFrames.error());
  if (!badFrames) return Fail(badFrames.error());
  fmt::print("the simulated card's sink counted {} good frames, {} bad\n", *goodFrames, *badFrames);
  return *badFrames == 0 ? kExitSuccess : kExitFailed;
}

// --- loopback -------------------------------------------------------------------

int Loopback(const Context& context, const LoopbackOptions& options) {
  if (options.size == 0 || options.size % 4 != 0) {
    return Usage(fmt::format("--size {}: the card moves whole 32-bit words, give a multiple of 4", options.size));
  }
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  int code = kExitUsage;
  const auto starts = StartPair(context, *card, options.registers, &code);
  if (!starts) return code;
  auto out = card->AllocateBuffer(options.size);
  if (!out) return Fail(out.error());
  auto back = card->AllocateBuffer(options.size);
  if (!back) return Fail(back.error());
  std::mt19937 random(options.seed);
  uint32_t intact = 0;
  for (uint32_t round = 0; round < options.rounds; ++round) {
    for (auto& b : out->bytes()) b = static_cast<uint8_t>(random());
    std::memset(back->data(), 0, options.size);
    if (auto played = card->PlayFrame(*out, options.size, starts->playout, round, Ms(options.timeoutMs));
        !played) {
      return Fail(played.error());
    }
    if (auto captured = card->CaptureFrame(*back, options.size, starts->loopback, 0, Ms(options.timeoutMs));
        !captured) {
      return Fail(captured.error());
    }
    auto mismatch = std::mismatch(out->data(), out->data() + options.size, back->data());
    if (mismatch.first == out->data() + options.size) {
      ++intact;
    } else {
      fmt::print("round {}: first difference at byte {} (sent 0x{:02X}, got 0x{:02X})\n", round,
                 mismatch.first - out->data(), *mismatch.first, *mismatch.second);
    }
  }
  fmt::print("loopback: {} of {} rounds of {} random bytes came back intact\n", intact, options.rounds, options.size);
  return intact == options.rounds ? kExitSuccess : kExitFailed;
}

// --- pool -----------------------------------------------------------------------

namespace {

capture::Result<capture::PoolEntry> PoolEntryAt(capture::Card& card, uint32_t index) {
  auto pool = card.BufferPool();
  if (!pool) return pool.error();
  if (index >= pool->size()) {
    return capture::Error::Client("pool", fmt::format("entry {} out of range (0..{})", index, pool->size() - 1));
  }
  if ((*pool)[index].busAddress == 0) {
    return capture::Error::Client("pool", fmt::format("entry {} has no buffer (the driver could not allocate it)", index));
  }
  return (*pool)[index];
}

}  // namespace

int PoolList(const Context& context) {
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  auto pool = card->BufferPool();
  if (!pool) return Fail(pool.error());
  fmt::print("Buffer pool of {}:\n", card->name().Link());
  for (size_t i = 0; i < pool->size(); ++i) {
    const auto& e = (*pool)[i];
    if (e.busAddress == 0) {
      fmt::print("  {}  (no buffer)\n", i);
    } else {
      fmt::print("  {}  bus 0x{:016X}  {} bytes (0x{:X})\n", i, e.busAddress, e.size, e.size);
    }
  }
  return kExitSuccess;
}

int PoolRead(const Context& context, uint32_t index, uint32_t offset, uint32_t length, const std::string& output) {
  if (length == 0) return Usage("--length must be at least 1");
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  auto entry = PoolEntryAt(*card, index);
  if (!entry) return Fail(entry.error());
  auto buffer = card->AllocateBuffer(length);
  if (!buffer) return Fail(buffer.error());
  if (auto read = card->ReadPool(entry->busAddress, offset, *buffer, length); !read) return Fail(read.error());
  if (!output.empty()) {
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(buffer->data()), length);
    if (!out.flush()) return Usage("cannot write " + output);
    fmt::print("read {} bytes of pool entry {} at offset 0x{:X} to {}\n", length, index, offset, output);
    return kExitSuccess;
  }
  for (uint32_t line = 0; line < length; line += 16) {
    std::string hex;
    for (uint32_t i = line; i < std::min(length, line + 16); ++i) hex += fmt::format(" {:02X}", buffer->data()[i]);
    fmt::print("{:08X}{}\n", offset + line, hex);
  }
  return kExitSuccess;
}

int PoolWrite(const Context& context, uint32_t index, uint32_t offset, const std::string& input, bool verify) {
  std::ifstream in(input, std::ios::binary);
  if (!in) return Usage("cannot read " + input);
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
  if (data.empty() || data.size() > UINT32_MAX) return Usage(input + ": empty or too large");
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  auto entry = PoolEntryAt(*card, index);
  if (!entry) return Fail(entry.error());
  auto buffer = card->AllocateBuffer(data.size());
  if (!buffer) return Fail(buffer.error());
  std::memcpy(buffer->data(), data.data(), data.size());
  const auto length = static_cast<uint32_t>(data.size());
  if (auto written = card->WritePool(entry->busAddress, offset, *buffer, length); !written) {
    return Fail(written.error());
  }
  fmt::print("wrote {} bytes from {} to pool entry {} at offset 0x{:X}\n", length, input, index, offset);
  if (!verify) return kExitSuccess;
  std::memset(buffer->data(), 0, length);
  if (auto read = card->ReadPool(entry->busAddress, offset, *buffer, length); !read) return Fail(read.error());
  const bool same = std::memcmp(buffer->data(), data.data(), length) == 0;
  fmt::print("read back: {}\n", same ? "identical" : "DIFFERENT");
  return same ? kExitSuccess : kExitFailed;
}

// --- events ---------------------------------------------------------------------

int Events(const Context& context, const EventsOptions& options) {
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  int code = kExitUsage;
  std::optional<Pair> starts;
  if (options.traffic && !(starts = StartPair(context, *card, options.registers, &code))) return code;
  if (options.connect) {
    if (auto connected = card->ConnectMessageInterrupts(); !connected) return Fail(connected.error());
  }
  enum Kind { kToCard, kToHost, kMessage };
  constexpr const char* kNames[] = {"host-to-card completion", "card-to-host completion", "message interrupt"};
  std::vector<capture::Event> events;
  for (int i = 0; i < 3; ++i) {
    auto event = card->NewEvent(false);
    if (!event) return Fail(event.error());
    events.push_back(std::move(event).value());
  }
  for (auto [kind, direction] : {std::pair{kToCard, Direction::kHostToCard}, std::pair{kToHost, Direction::kCardToHost}}) {
    if (auto r = card->RegisterCompletionEvent(direction, events[kind]); !r) return Fail(r.error());
  }
  if (auto r = card->RegisterMessageEvent(events[kMessage]); !r) return Fail(r.error());

  // One thread (the Windows build has no std::thread): poll the three
  // events, block briefly when none is set, and with --traffic keep one
  // loopback transfer in flight through the low-level steps.
  auto out = card->AllocateBuffer(64 * 1024);
  if (!out) return Fail(out.error());
  std::mt19937 random(1);
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
  fmt::print("watching {} for {}{}{}\n", card->name().Link(),
             options.count != 0 ? fmt::format("{} events or ", options.count) : "", fmt::format("{:g} s", options.seconds),
             options.traffic ? ", with loopback traffic" : "");
  std::fflush(stdout);
  uint64_t counts[3] = {};
  uint64_t total = 0;
  std::optional<Kind> inFlight;
  Clock::time_point startedAt{};
  uint32_t round = 0;
  auto finish = [&]() -> capture::Status {
    if (!inFlight) return {};
    auto ended = card->EndTransfer(*inFlight == kToCard ? Direction::kHostToCard : Direction::kCardToHost);
    inFlight.reset();
    return ended;
  };
  while (Clock::now() < end && (options.count == 0 || total < options.count)) {
    if (options.traffic && !inFlight) {
      const bool toCard = round % 2 == 0;
      if (toCard) {
        for (auto& b : out->bytes()) b = static_cast<uint8_t>(random());
      }
      auto started = card->StartTransfer(toCard ? Direction::kHostToCard : Direction::kCardToHost, *out,
                                         static_cast<uint32_t>(out->size()),
                                         toCard ? starts->playout : starts->loopback, round);
      if (!started) return Fail(started.error());
      inFlight = toCard ? kToCard : kToHost;
      startedAt = Clock::now();
      ++round;
    }
    bool any = false;
    for (Kind kind : {kToCard, kToHost, kMessage}) {
      const bool block = !any && kind == kMessage;  // nothing yet: wait a little on the last one
      auto woke = events[kind].Wait(block ? 1ms : 0ms);
      if (!woke) return Fail(woke.error());
      if (*woke != capture::WaitOutcome::kSignalled) continue;
      any = true;
      ++counts[kind];
      ++total;
      fmt::print("{:>10.3f} ms  {}\n", Seconds(Clock::now() - start) * 1000, kNames[kind]);
      if (inFlight && *inFlight == kind) {
        if (auto ended = finish(); !ended) return Fail(ended.error());
      }
      if (options.count != 0 && total >= options.count) break;
    }
    std::fflush(stdout);
    if (inFlight && Clock::now() - startedAt > 5s) {
      (void)finish();
      return Fail(capture::Error::TimedOut("traffic", "no completion within 5 s"));
    }
  }
  if (auto ended = finish(); !ended) return Fail(ended.error());
  fmt::print("{} host-to-card completions, {} card-to-host completions, {} message interrupts\n", counts[kToCard],
             counts[kToHost], counts[kMessage]);
  return kExitSuccess;
}

// --- bench ----------------------------------------------------------------------

int Bench(const Context& context, const BenchOptions& options) {
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  const uint32_t max = card->product().maxTransfer;
  std::vector<uint32_t> sizes = options.sizes;
  if (sizes.empty()) sizes = {4096, 65536, 1u << 20, max};
  for (uint32_t size : sizes) {
    if (size == 0 || size % 4 != 0 || size > max) {
      return Usage(fmt::format("size {}: give multiples of 4 up to {} bytes", size, max));
    }
  }
  if (options.count == 0) return Usage("--count must be at least 1");
  int code = kExitUsage;
  const auto starts = StartPair(context, *card, options.registers, &code);
  if (!starts) return code;
  const uint32_t largest = *std::max_element(sizes.begin(), sizes.end());
  auto buffer = card->AllocateBuffer(largest);
  if (!buffer) return Fail(buffer.error());
  std::vector<uint8_t> source(largest, 0x5A), sink(largest);
  if (auto r = card->RegisterCompletionEvents(); !r) return Fail(r.error());

  std::vector<BenchRow> rows;
  Progress progress("bench", sizes.size() * 2);
  for (uint32_t size : sizes) {
    for (Direction direction : {Direction::kHostToCard, Direction::kCardToHost}) {
      BenchRow row{size, direction, 0, 0, {}};
      const uint32_t reg = direction == Direction::kHostToCard ? starts->playout : starts->loopback;
      Clock::duration busy{};
      const double cpu0 = ThreadCpuNs();
      const auto system0 = context.backend->SystemThreadsCpu();
      for (uint32_t i = 0; i < options.count; ++i) {
        const auto t0 = Clock::now();
        if (auto r = card->CompletionEvent(direction)->Clear(); !r) return Fail(r.error());
        if (auto r = card->StartTransfer(direction, *buffer, size, reg, i); !r) return Fail(r.error());
        const auto t1 = Clock::now();
        auto waited = card->WaitForCompletion(direction, Ms(options.timeoutMs));
        const auto t2 = Clock::now();
        auto ended = card->EndTransfer(direction);
        const auto t3 = Clock::now();
        if (!waited) return Fail(waited.error());
        if (!ended) return Fail(ended.error());
        busy += t3 - t0;
        row.latencyUs.push_back(Seconds(t2 - t1) * 1e6);
      }
      double cpu = ThreadCpuNs() - cpu0;
      if (const auto system1 = context.backend->SystemThreadsCpu(); system0 && system1) {
        cpu += static_cast<double>((*system1 - *system0).count());
        row.cpuIncludesSystemThreads = true;
      }
      row.cpuNsPerCycle = cpu / options.count;
      row.bytesPerSecond = static_cast<double>(size) * options.count / std::max(Seconds(busy), 1e-9);
      // memcpy of the same bytes, for at least 20 ms: a few copies of 4 KiB
      // are too short to time.
      const auto m0 = Clock::now();
      uint64_t copies = 0;
      for (; copies < options.count || Clock::now() - m0 < 20ms; ++copies) {
        std::memcpy(sink.data(), source.data(), size);
        source[copies % size] = sink[(copies * 7) % size];  // keeps the copies from being folded away
      }
      row.memcpyBytesPerSecond = static_cast<double>(size) * static_cast<double>(copies) /
                                 std::max(Seconds(Clock::now() - m0), 1e-9);
      rows.push_back(std::move(row));
      progress.Update(rows.size());
    }
  }
  progress.Done();

  fmt::print("{} transfers per size and direction on {}{}\n", options.count, card->name().Link(),
             context.simulated ? " (simulated card; real time)" : "");
  fmt::print("{:>10}  {:<13} {:>10} {:>12} {:>9}   {:>9} {:>9} {:>9} {:>9}   {:>9} {:>9}\n", "size", "direction",
             "MiB/s", "memcpy MiB/s", "ratio", "median ms", "p90 ms", "p99 ms", "max ms", "cpu us", "x memcpy");
  for (const auto& r : rows) {
    Percentiles p = Summarize(r.latencyUs);
    const double memcpyNs = r.size / r.memcpyBytesPerSecond * 1e9;
    fmt::print("{:>10}  {:<13} {:>10.1f} {:>12.1f} {:>9.5f}   {:>9.3f} {:>9.3f} {:>9.3f} {:>9.3f}   {:>9.1f} {:>9.1f}\n",
               r.size, capture::DirectionName(r.direction), Mib(r.bytesPerSecond), Mib(r.memcpyBytesPerSecond),
               r.bytesPerSecond / r.memcpyBytesPerSecond, p.median / 1000, p.p90 / 1000, p.p99 / 1000, p.max / 1000,
               r.cpuNsPerCycle / 1000, r.cpuNsPerCycle / memcpyNs);
  }
  if (!rows.empty()) {
    fmt::print("cpu: processor time per cycle, {}\n",
               rows.front().cpuIncludesSystemThreads
                   ? "the calling thread and the kernel's DPC, timer and interrupt threads (not the card model's)"
                   : "the calling thread only (the system charges DPCs and interrupt routines to no process)");
  }
  if (!options.svg.empty()) {
    std::ofstream svg(options.svg, std::ios::trunc);
    svg << RenderSvg(rows, fmt::format("capture-tool bench on {}", card->name().Link()));
    if (!svg.flush()) return Usage("cannot write " + options.svg);
    fmt::print("picture: {}\n", options.svg);
  }
  return kExitSuccess;
}

}  // namespace capture_tool
