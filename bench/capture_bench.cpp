// Benchmarks of the transfer path: the driver image on wdmsim, the simulated
// card, and the client library, at real speed (speedup 1: the 1 ms poll and
// the card's 1 GB/s link take their real time). Figures and how to read them:
// bench/README.md.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "capture/card.h"
#include "capture/wdmsim_backend.h"
#include "interface/dma_registers.h"
#include "driver.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"

namespace {

using capture::Direction;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kMaxTransfer = DMA_MAX_TRANSFER_SIZE;

// One simulated system for the whole run: card 0 reads registers through
// the write-back engine and finds completions in status words (the default),
// card 1 announces direct reads (status registers).
struct Sim {
  Sim() : kernel(wdmsim::Options{.speedup = 1.0, .clock = wdmsim::ClockMode::Realtime}) {
    image = &kernel.LoadDriver(std::string(WDMSIM_IMAGE_DIR) + "/Talvrex.sys.so");
    backend = std::make_shared<capture::WdmsimBackend>(kernel);
    card::CardOptions direct;
    direct.directRead = true;
    if (card::AddAndStartCard(kernel, *image, &slots[0]) != STATUS_SUCCESS ||
        card::AddAndStartCard(kernel, *image, &slots[1], direct) != STATUS_SUCCESS) {
      throw std::runtime_error("the simulated cards did not start");
    }
    for (unsigned i = 0; i < 2; ++i) {
      cards[i].emplace(capture::Card::Open(backend, "Talvrex", i).value());
      cards[i]->RegisterCompletionEvents().value();
      buffers[i].emplace(cards[i]->AllocateBuffer(kMaxTransfer).value());
    }
  }
  DEVICE_EXTENSION* Extension(unsigned i) {
    return static_cast<DEVICE_EXTENSION*>(slots[i]->pdo->AttachedDevice->DeviceExtension);
  }
  uint64_t NowNs() const { return static_cast<uint64_t>(kernel.SystemTime100ns() - kBootTime100ns) * 100; }

  static constexpr int64_t kBootTime100ns = 13411699200LL * 10000000LL;  // wdmsim's boot instant
  wdmsim::Kernel kernel;
  wdmsim::DriverImage* image = nullptr;
  std::shared_ptr<capture::Backend> backend;
  wdmsim::Slot* slots[2] = {};
  std::optional<capture::Card> cards[2];
  std::optional<capture::UserBuffer> buffers[2];
};

Sim& TheSim() {
  static Sim sim;  // torn down at exit with the kernel
  return sim;
}

// memcpy of `size` bytes, bytes per second, measured now (about 20 ms).
double MemcpyRate(size_t size) {
  static std::vector<uint8_t> from(kMaxTransfer, 0x5A), to(kMaxTransfer);
  size_t copies = 0;
  const auto start = Clock::now();
  auto elapsed = Clock::duration{};
  while ((elapsed = Clock::now() - start) < 20ms) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::ClobberMemory();
    ++copies;
  }
  return static_cast<double>(size) * static_cast<double>(copies) / std::chrono::duration<double>(elapsed).count();
}

struct Counts {
  size_t writes = 0, reads = 0;
};
Counts RegisterAccesses(const card::Card& c) {
  Counts n;
  for (const auto& a : c.AccessLog()) {
    if (a.bar != card::Card::kRegisterBar) continue;
    (a.kind == card::MmioAccess::Kind::kWrite ? n.writes : n.reads) += 1;
  }
  return n;
}

void Percentiles(benchmark::State& state, std::vector<double> us, const char* prefix) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  auto rank = [&](double f) { return us[std::min(us.size() - 1, static_cast<size_t>(f * static_cast<double>(us.size())))]; };
  state.counters[std::string(prefix) + "p50_us"] = rank(0.5);
  state.counters[std::string(prefix) + "p99_us"] = rank(0.99);
  state.counters[std::string(prefix) + "max_us"] = us.back();
}

// A complete cycle (start, wait for the event, release or finish) through
// the client, by direction and size, on card `range(1)` (0: status words,
// 1: status registers). Host-to-card goes to the playout sink; card-to-host
// comes from the loopback endpoint (a copy of the last block: the capture
// source's pattern generator would be measured too, see BM_CaptureFrames).
// Also: register accesses per transfer from the card's access log, poll runs
// per second from the driver's counter, and the completion latency from the
// card's status word write to the caller's wake (simulated clock, 100 ns
// resolution).
void Cycle(benchmark::State& state, Direction direction) {
  Sim& sim = TheSim();
  const auto size = static_cast<uint32_t>(state.range(0));
  const unsigned which = static_cast<unsigned>(state.range(1));
  capture::Card& c = *sim.cards[which];
  capture::UserBuffer& buffer = *sim.buffers[which];
  card::Card& model = card::CardIn(*sim.slots[which]);
  const bool toCard = direction == Direction::kHostToCard;
  const uint32_t reg = toCard ? regs::dma::kStartPlayout : regs::dma::kStartLoopback;

  const double memcpyRate = MemcpyRate(size);
  c.PlayFrame(buffer, size, regs::dma::kStartPlayout, 0, 5s).value();  // descriptors in place, a block to loop back
  model.ClearAccessLog();
  const ULONG polls0 = sim.Extension(which)->ulCheckDpcCnt;
  std::vector<double> latencyUs;
  latencyUs.reserve(4096);
  const auto start = Clock::now();
  for (auto _ : state) {
    c.CompletionEvent(direction)->Clear().value();
    c.StartTransfer(direction, buffer, size, reg, 0).value();
    auto waited = c.WaitForCompletion(direction, 5s);
    const uint64_t wokeNs = sim.NowNs();
    c.EndTransfer(direction).value();
    if (!waited) {
      state.SkipWithError(waited.error().message().c_str());
      break;
    }
    const uint64_t statusNs = model.LastStatusWriteNs(!toCard);
    if (statusNs != 0 && wokeNs >= statusNs) latencyUs.push_back(static_cast<double>(wokeNs - statusNs) / 1000);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const ULONG polls1 = sim.Extension(which)->ulCheckDpcCnt;

  const auto n = static_cast<double>(state.iterations());
  const Counts counts = RegisterAccesses(model);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.counters["vs_memcpy"] = static_cast<double>(size) * n / seconds / memcpyRate;
  state.counters["memcpy_GBps"] = memcpyRate / 1e9;
  state.counters["reg_writes"] = benchmark::Counter(static_cast<double>(counts.writes) / n);
  state.counters["reg_reads"] = benchmark::Counter(static_cast<double>(counts.reads) / n);
  // What the driver's processor touches per transfer: the clearing of the
  // whole common buffer before every start, and one copy of the data.
  state.counters["cpu_bytes"] = static_cast<double>(DMA_COMMON_BUFFER_SIZE) + size;
  if (polls1 >= polls0) state.counters["polls_per_s"] = static_cast<double>(polls1 - polls0) / seconds;
  Percentiles(state, std::move(latencyUs), "wake_");
}

void BM_HostToCard(benchmark::State& state) { Cycle(state, Direction::kHostToCard); }
void BM_CardToHost(benchmark::State& state) { Cycle(state, Direction::kCardToHost); }

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t which : {0, 1}) {
    for (int64_t size : {4096, 65536, 1 << 20, static_cast<int>(kMaxTransfer)}) b->Args({size, which});
  }
  b->ArgNames({"size", "status_regs"})->UseRealTime()->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_HostToCard)->Apply(Sizes);
BENCHMARK(BM_CardToHost)->Apply(Sizes);

// Captures from the test-pattern source, the tool's default: the card model
// makes every frame (noise pattern) while the clock runs.
void BM_CaptureFrames(benchmark::State& state) {
  Sim& sim = TheSim();
  const auto size = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    sim.cards[0]->CaptureFrame(*sim.buffers[0], size, regs::dma::kStartCapture, 2, 5s).value();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_CaptureFrames)->Arg(4096)->Arg(1 << 20)->Arg(kMaxTransfer)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Register reads: direct loads (card 1) and by write-back (card 0: request
// store, the card's answer 2 us later, the driver's wait for the flag).
void BM_ReadRegister(benchmark::State& state) {
  Sim& sim = TheSim();
  const unsigned which = static_cast<unsigned>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(sim.cards[which]->ReadRegister(0x2000).value());
}
BENCHMARK(BM_ReadRegister)->Arg(0)->Arg(1)->ArgName("direct")->UseRealTime()->Unit(benchmark::kMicrosecond);

// The control request round trip: GET_VERSION touches no register.
void BM_GetVersion(benchmark::State& state) {
  Sim& sim = TheSim();
  for (auto _ : state) benchmark::DoNotOptimize(sim.cards[0]->Version().value());
}
BENCHMARK(BM_GetVersion)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
