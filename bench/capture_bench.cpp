// Benchmarks of the transfer path: a driver image on wdmsim, the simulated
// card and the client library, on the host's clock (speedup 1: the driver's
// 1 ms poll takes its real time). Figures and how to read them:
// bench/README.md.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/card.h"
#include "capture/wdmsim_backend.h"
#include "card/plug.h"
#include "interface/dma_registers.h"
#include "wdmsim/kernel.h"

namespace {

using capture::Direction;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Talvrex's and QM4200's (driverxilinx/products.tsv): the largest transfer,
// and the common buffer the driver clears before every transfer.
constexpr uint32_t kMaxTransfer = 0x600000;
constexpr uint64_t kCommonBuffer = 0x620000;
constexpr int64_t kBootTime100ns = 13411699200LL * 10000000LL;  // wdmsim's boot instant

uint64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

// What a rig is made of. Only one wdmsim kernel runs at a time, so a
// benchmark that needs another rig tears the current one down.
struct RigConfig {
  std::string product = "Talvrex";
  bool shipped = false;                       // the PE image (.sys) instead of the .sys.so
  std::vector<bool> directRead = {false};     // one card each; true: status registers
  uint64_t linkBytesPerSecond = 1'000'000'000;  // 0: the card's moves take no time
  bool msiSupported = false;                  // the device's registry says MSISupported
  bool operator==(const RigConfig&) const = default;
};

std::string ImagePath(const RigConfig& c) {
  return c.shipped ? std::string(SHIPPED_IMAGE_DIR) + "/" + c.product + ".sys"
                   : std::string(WDMSIM_IMAGE_DIR) + "/" + c.product + ".sys.so";
}

struct Rig {
  explicit Rig(const RigConfig& c)
      : config(c),
        kernel(wdmsim::Options{.speedup = 1.0, .clock = wdmsim::ClockMode::Realtime, .lastingSystemViews = true}) {
    image = &kernel.LoadDriver(ImagePath(c));
    backend = std::make_shared<capture::WdmsimBackend>(kernel);
    for (bool direct : c.directRead) {
      card::CardOptions o;
      o.directRead = direct;
      o.linkBytesPerSecond = c.linkBytesPerSecond;
      if (c.linkBytesPerSecond == 0) o.dmaLatencyNs = 0;
      wdmsim::Slot* slot = nullptr;
      if (card::AddAndStartCard(kernel, *image, &slot, o) != STATUS_SUCCESS) {
        throw std::runtime_error("a simulated card did not start");
      }
      if (c.msiSupported) kernel.SetMsiSupported(*slot, true);
      slots.push_back(slot);
    }
    for (unsigned i = 0; i < slots.size(); ++i) {
      cards.push_back(capture::Card::Open(backend, c.product, i).value());
      cards.back().RegisterCompletionEvents().value();
      buffers.push_back(cards.back().AllocateBuffer(kMaxTransfer).value());
      loopBuffers.push_back(cards.back().AllocateBuffer(kMaxTransfer).value());
    }
    // The poll runs from the first transfer on; descriptors in place and a
    // block on each card to loop back.
    for (unsigned i = 0; i < slots.size(); ++i) {
      cards[i].PlayFrame(buffers[i], kMaxTransfer, regs::dma::kStartPlayout, 0, 5s).value();
    }
  }
  uint64_t NowNs() const { return static_cast<uint64_t>(kernel.SystemTime100ns() - kBootTime100ns) * 100; }

  RigConfig config;
  wdmsim::Kernel kernel;
  wdmsim::DriverImage* image = nullptr;
  std::shared_ptr<capture::Backend> backend;
  std::vector<wdmsim::Slot*> slots;
  std::vector<capture::Card> cards;
  std::vector<capture::UserBuffer> buffers, loopBuffers;
};

std::unique_ptr<Rig>& CurrentRig() {
  static std::unique_ptr<Rig> rig;
  return rig;
}

Rig& RigFor(const RigConfig& c) {
  auto& rig = CurrentRig();
  if (!rig || !(rig->config == c)) {
    rig.reset();
    rig = std::make_unique<Rig>(c);
  }
  return *rig;
}

// memcpy (or memset, when `from` is null) of `size` bytes: seconds per
// operation, measured now (about 20 ms).
double SecondsPer(size_t size, bool set = false) {
  static std::vector<uint8_t> from(kCommonBuffer, 0x5A), to(kCommonBuffer);
  size_t n = 0;
  const auto start = Clock::now();
  auto elapsed = Clock::duration{};
  while ((elapsed = Clock::now() - start) < 20ms) {
    if (set) {
      std::memset(to.data(), 0, size);
    } else {
      std::memcpy(to.data(), from.data(), size);
    }
    benchmark::ClobberMemory();
    ++n;
  }
  return std::chrono::duration<double>(elapsed).count() / static_cast<double>(n);
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

void Percentiles(benchmark::State& state, std::vector<double> us, const std::string& prefix) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  auto rank = [&](double f) { return us[std::min(us.size() - 1, static_cast<size_t>(f * static_cast<double>(us.size())))]; };
  state.counters[prefix + "p50_us"] = rank(0.5);
  state.counters[prefix + "p90_us"] = rank(0.9);
  state.counters[prefix + "p99_us"] = rank(0.99);
  state.counters[prefix + "max_us"] = us.back();
}

// One complete cycle through the client: clear the event, start, wait,
// release or finish. Host-to-card goes to the playout sink; card-to-host
// comes from the loopback endpoint (a copy of the last block: the capture
// source's pattern generator would be measured too, see BM_CaptureFrames).
// Returns the completion latency in ns (card's status write to the
// caller's wake), or -1 when there is none to take.
int64_t OneCycle(Rig& rig, unsigned which, Direction direction, uint32_t size, capture::Event* wakeOn = nullptr) {
  capture::Card& c = rig.cards[which];
  const bool toCard = direction == Direction::kHostToCard;
  const uint32_t reg = toCard ? regs::dma::kStartPlayout : regs::dma::kStartLoopback;
  capture::UserBuffer& buffer = toCard ? rig.buffers[which] : rig.loopBuffers[which];
  c.CompletionEvent(direction)->Clear().value();
  if (wakeOn != nullptr) wakeOn->Clear().value();
  c.StartTransfer(direction, buffer, size, reg, 0).value();
  int64_t latency = -1;
  if (wakeOn != nullptr) {
    auto woke = wakeOn->Wait(5s);
    const uint64_t wokeNs = rig.NowNs();
    if (woke && *woke == capture::WaitOutcome::kSignalled) {
      const uint64_t statusNs = card::CardIn(*rig.slots[which]).LastStatusWriteNs(!toCard);
      if (statusNs != 0 && wokeNs >= statusNs) latency = static_cast<int64_t>(wokeNs - statusNs);
    }
  }
  auto waited = c.WaitForCompletion(direction, 5s);
  const uint64_t wokeNs = rig.NowNs();
  c.EndTransfer(direction).value();
  if (!waited) throw std::runtime_error(waited.error().message());
  if (wakeOn == nullptr) {
    const uint64_t statusNs = card::CardIn(*rig.slots[which]).LastStatusWriteNs(!toCard);
    if (statusNs != 0 && wokeNs >= statusNs) latency = static_cast<int64_t>(wokeNs - statusNs);
  }
  return latency;
}

// --- Through a 1 GB/s link --------------------------------------------------

// A complete cycle by direction and size, through a 1 GB/s link, on card
// `range(1)` (0: status words, 1: status registers). Also: register
// accesses per transfer from the card's access log, poll runs per second,
// and the completion latency.
void Cycle(benchmark::State& state, Direction direction) {
  Rig& rig = RigFor({.directRead = {false, true}});
  const auto size = static_cast<uint32_t>(state.range(0));
  const auto which = static_cast<unsigned>(state.range(1));
  card::Card& model = card::CardIn(*rig.slots[which]);
  const double memcpySeconds = SecondsPer(size);
  model.ClearAccessLog();
  const uint64_t dpcs0 = rig.kernel.DpcsRun();
  std::vector<double> latencyUs;
  const auto start = Clock::now();
  for (auto _ : state) {
    const int64_t ns = OneCycle(rig, which, direction, size);
    if (ns >= 0) latencyUs.push_back(static_cast<double>(ns) / 1000);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const auto n = static_cast<double>(state.iterations());
  const Counts counts = RegisterAccesses(model);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.counters["vs_memcpy"] = (static_cast<double>(size) * n / seconds) / (size / memcpySeconds);
  state.counters["reg_writes"] = static_cast<double>(counts.writes) / n;
  state.counters["reg_reads"] = static_cast<double>(counts.reads) / n;
  // Both cards' polls run: half the DPCs are this card's.
  state.counters["polls_per_s"] = static_cast<double>(rig.kernel.DpcsRun() - dpcs0) / 2 / seconds;
  Percentiles(state, std::move(latencyUs), "wake_");
}

void BM_HostToCard(benchmark::State& state) { Cycle(state, Direction::kHostToCard); }
void BM_CardToHost(benchmark::State& state) { Cycle(state, Direction::kCardToHost); }

constexpr int64_t kSizes[] = {4096, 65536, 1 << 20, kMaxTransfer};

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t which : {0, 1}) {
    for (int64_t size : kSizes) b->Args({size, which});
  }
  b->ArgNames({"size", "status_regs"})->UseRealTime()->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_HostToCard)->Apply(Sizes);
BENCHMARK(BM_CardToHost)->Apply(Sizes);

// --- What the driver costs the processor ------------------------------------

// Per (direction, size): the processor time of a cycle on the .sys.so,
// for the shipped image's ratio to it.
std::map<std::pair<int, int64_t>, double>& SoCost() {
  static std::map<std::pair<int, int64_t>, double> m;
  return m;
}

// The kernel threads' processor time per poll run with nothing to do, ns:
// the DPC threads' time over `window`, divided by the DPCs that ran.
double IdlePollNs(Rig& rig, std::chrono::milliseconds window) {
  const auto cpu0 = rig.kernel.KernelThreadCpu();
  const uint64_t dpcs0 = rig.kernel.DpcsRun();
  std::this_thread::sleep_for(window);
  const auto cpu1 = rig.kernel.KernelThreadCpu();
  const uint64_t dpcs = rig.kernel.DpcsRun() - dpcs0;
  return dpcs == 0 ? 0 : static_cast<double>(cpu1.total() - cpu0.total()) / static_cast<double>(dpcs);
}

// The processor time of one complete cycle, the card's link taking no time:
// the caller's thread (the control requests, the driver's clear and copy)
// plus the kernel's threads (the poll, the interrupt routines, the timer),
// not the card model's. As a ratio to memcpy of the same bytes measured in
// the same run; `floor_vs_memcpy` is what the design must do (clear the
// whole common buffer, copy the bytes) in the same units. Arguments: size,
// direction (0 host to card, 1 card to host), image (0 .sys.so, 1 .sys).
void BM_Cost(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  const Direction direction = state.range(1) == 0 ? Direction::kHostToCard : Direction::kCardToHost;
  const bool shipped = state.range(2) != 0;
  Rig& rig = RigFor({.shipped = shipped, .linkBytesPerSecond = 0});
  const double memcpyNs = SecondsPer(size) * 1e9;
  const double memsetBufferNs = SecondsPer(kCommonBuffer, true) * 1e9;
  const double idlePoll = IdlePollNs(rig, 100ms);
  const uint64_t dpcs0 = rig.kernel.DpcsRun();
  const auto kernel0 = rig.kernel.KernelThreadCpu();
  const uint64_t caller0 = ThreadCpuNs();
  std::vector<double> latencyUs;
  for (auto _ : state) {
    const int64_t ns = OneCycle(rig, 0, direction, size);
    if (ns >= 0) latencyUs.push_back(static_cast<double>(ns) / 1000);
  }
  const double caller = static_cast<double>(ThreadCpuNs() - caller0);
  const auto kernel1 = rig.kernel.KernelThreadCpu();
  const double kernel = static_cast<double>(kernel1.total() - kernel0.total());
  const double dpcs = static_cast<double>(rig.kernel.DpcsRun() - dpcs0);
  const auto n = static_cast<double>(state.iterations());
  const double cycleNs = (caller + kernel) / n;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.counters["cpu_us"] = cycleNs / 1000;
  state.counters["caller_us"] = caller / n / 1000;
  state.counters["kernel_us"] = kernel / n / 1000;
  state.counters["memcpy_us"] = memcpyNs / 1000;
  state.counters["cpu_vs_memcpy"] = cycleNs / memcpyNs;
  state.counters["floor_vs_memcpy"] = (memsetBufferNs + memcpyNs) / memcpyNs;
  state.counters["idle_poll_us"] = idlePoll / 1000;
  // The poll run that found the completion: the kernel threads' time per
  // cycle less the runs that found nothing.
  state.counters["done_poll_us"] = std::max(0.0, (kernel - (dpcs - n) * idlePoll) / n) / 1000;
  const auto key = std::make_pair(static_cast<int>(state.range(1)), static_cast<int64_t>(size));
  if (!shipped) {
    SoCost()[key] = cycleNs;
  } else if (auto it = SoCost().find(key); it != SoCost().end()) {
    state.counters["vs_sys_so"] = cycleNs / it->second;
  }
  Percentiles(state, std::move(latencyUs), "wake_");
}

void CostArgs(benchmark::internal::Benchmark* b) {
  for (int64_t image : {0, 1}) {
    if (image == 1 && std::string(SHIPPED_IMAGE_DIR).empty()) continue;
    for (int64_t direction : {0, 1}) {
      for (int64_t size : kSizes) b->Args({size, direction, image});
    }
  }
  b->ArgNames({"size", "to_host", "sys"})->UseRealTime()->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_Cost)->Apply(CostArgs);

// --- Completion through a message interrupt ----------------------------------

// The same cycle, woken by the message event: the card sends its completion
// message, the message routine queues its DPC, the DPC sets the event. The
// latency runs from the card's status write to that wake. The device's
// registry says MSISupported here, which the products' INFs do not: on the
// line, the line routine claims the card's interrupt first and the message
// event is never set, so completion comes from the poll alone (BM_Cost).
// Arguments: size, direction.
void BM_MessageWake(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  const Direction direction = state.range(1) == 0 ? Direction::kHostToCard : Direction::kCardToHost;
  Rig& rig = RigFor({.linkBytesPerSecond = 0, .msiSupported = true});
  capture::Card& c = rig.cards[0];
  c.ConnectMessageInterrupts().value();
  auto event = c.NewEvent().value();
  c.RegisterMessageEvent(event).value();
  std::vector<double> latencyUs;
  for (auto _ : state) {
    const int64_t ns = OneCycle(rig, 0, direction, size, &event);
    if (ns >= 0) latencyUs.push_back(static_cast<double>(ns) / 1000);
  }
  state.counters["woken"] = static_cast<double>(latencyUs.size()) / static_cast<double>(state.iterations());
  Percentiles(state, std::move(latencyUs), "wake_");
  c.DisconnectMessageInterrupts().value();
}
BENCHMARK(BM_MessageWake)
    ->ArgsProduct({{4096, 1 << 20}, {0, 1}})
    ->ArgNames({"size", "to_host"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// --- The poll ---------------------------------------------------------------

// One poll run with nothing to do: the DPC threads' processor time per run
// and the card's register reads and writes per run, by family (0: A,
// Talvrex; 1: B, QM4200) and completion report (0: status words, 1: status
// registers).
void BM_IdlePoll(benchmark::State& state) {
  const bool familyB = state.range(0) != 0;
  const bool direct = state.range(1) != 0;
  Rig& rig = RigFor({.product = familyB ? "QM4200" : "Talvrex", .directRead = {direct}, .linkBytesPerSecond = 0});
  card::Card& model = card::CardIn(*rig.slots[0]);
  double ns = 0;
  uint64_t runs = 0;
  model.ClearAccessLog();
  for (auto _ : state) {
    const uint64_t dpcs0 = rig.kernel.DpcsRun();
    ns += IdlePollNs(rig, 50ms) * static_cast<double>(rig.kernel.DpcsRun() - dpcs0);
    runs += rig.kernel.DpcsRun() - dpcs0;
  }
  const Counts counts = RegisterAccesses(model);
  const double r = static_cast<double>(std::max<uint64_t>(runs, 1));
  state.counters["poll_us"] = ns / r / 1000;
  state.counters["runs_per_s"] = r / (0.05 * static_cast<double>(state.iterations()));
  state.counters["reg_reads"] = static_cast<double>(counts.reads) / r;
  state.counters["reg_writes"] = static_cast<double>(counts.writes) / r;
}
BENCHMARK(BM_IdlePoll)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"familyB", "status_regs"})
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// --- Scaling ----------------------------------------------------------------

// `range(0)` cards, each running both directions at once (a playout thread
// and a loopback thread per card), 1 MiB transfers, link taking no time,
// for one second: total throughput and processor time per byte (callers'
// threads and the kernel's).
void BM_Scaling(benchmark::State& state) {
  const auto cards = static_cast<unsigned>(state.range(0));
  const uint32_t size = 1 << 20;
  Rig& rig = RigFor({.directRead = std::vector<bool>(cards, false), .linkBytesPerSecond = 0});
  const double memcpyNs = SecondsPer(size) * 1e9;
  uint64_t bytes = 0;
  double cpuNs = 0, seconds = 0;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> moved{0}, callerCpu{0};
    std::vector<std::thread> threads;
    const auto kernel0 = rig.kernel.KernelThreadCpu();
    const auto start = Clock::now();
    for (unsigned i = 0; i < cards; ++i) {
      for (Direction d : {Direction::kHostToCard, Direction::kCardToHost}) {
        threads.emplace_back([&, i, d] {
          const uint64_t cpu0 = ThreadCpuNs();
          while (!stop.load()) {
            OneCycle(rig, i, d, size);
            moved += size;
          }
          callerCpu += ThreadCpuNs() - cpu0;
        });
      }
    }
    std::this_thread::sleep_for(1s);
    stop = true;
    for (auto& t : threads) t.join();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    bytes += moved;
    cpuNs += static_cast<double>(callerCpu) + static_cast<double>(rig.kernel.KernelThreadCpu().total() - kernel0.total());
  }
  state.counters["MiB_per_s"] = static_cast<double>(bytes) / seconds / (1 << 20);
  state.counters["cpu_ns_per_byte"] = cpuNs / static_cast<double>(bytes);
  state.counters["memcpy_ns_per_byte"] = memcpyNs / size;
  state.counters["cpu_vs_memcpy"] = (cpuNs / static_cast<double>(bytes)) / (memcpyNs / size);
  state.counters["cores_busy"] = cpuNs / 1e9 / seconds;
}
BENCHMARK(BM_Scaling)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->ArgName("cards")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- Other paths ------------------------------------------------------------

// Captures from the test-pattern source, the tool's default: the card model
// makes every frame (noise pattern) while the clock runs.
void BM_CaptureFrames(benchmark::State& state) {
  Rig& rig = RigFor({.directRead = {false, true}});
  const auto size = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) rig.cards[0].CaptureFrame(rig.buffers[0], size, regs::dma::kStartCapture, 2, 5s).value();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_CaptureFrames)->Arg(4096)->Arg(1 << 20)->Arg(kMaxTransfer)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Register reads: direct loads (card 1) and by write-back (card 0: request
// store, the card's answer 2 us later, the driver's wait for the flag).
void BM_ReadRegister(benchmark::State& state) {
  Rig& rig = RigFor({.directRead = {false, true}});
  const auto which = static_cast<unsigned>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(rig.cards[which].ReadRegister(0x2000).value());
}
BENCHMARK(BM_ReadRegister)->Arg(0)->Arg(1)->ArgName("direct")->UseRealTime()->Unit(benchmark::kMicrosecond);

// The control request round trip: GET_VERSION touches no register.
void BM_GetVersion(benchmark::State& state) {
  Rig& rig = RigFor({.directRead = {false, true}});
  for (auto _ : state) benchmark::DoNotOptimize(rig.cards[0].Version().value());
}
BENCHMARK(BM_GetVersion)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CurrentRig().reset();  // the kernel goes before the statics it uses
  return 0;
}
