// What a trapped instruction of a shipped image costs: the image's inline
// KeGetCurrentIrql (mov rax, cr8) and a register load, each carried out by
// the trap handler, beside the routine a wdmsim build calls for the same
// thing. The ratio of the two, from one run, is the price of running the
// shipped image (bench/README.md).
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <vector>

#include "card/plug.h"
#include "ldr/imports.h"
#include "ldr/trap.h"
#include "wdmsim/kernel.h"

namespace {

using Routine = uint64_t(__attribute__((ms_abi)) *)(uint64_t);

struct Machine {
  Machine() : kernel(wdmsim::Options{}) {
    slot = &card::PlugCardWithoutDriver(kernel);
    window = kernel.DefaultResources(*slot).translated[1].u.Memory;
    regs = static_cast<volatile ULONG*>(MmMapIoSpace(window.Start, window.Length, MmNonCached));
    page = static_cast<uint8_t*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    const uint8_t code[] = {0x44, 0x0F, 0x20, 0xC0, 0xC3,  // mov rax, cr8; ret
                            0x8B, 0x01, 0xC3};             // mov eax, [rcx]; ret
    std::memcpy(page, code, sizeof code);
    mprotect(page, 4096, PROT_READ | PROT_EXEC);
    wdmsim::ldr::RegisterImageCode(page, 4096, "bench.sys");
    irql = reinterpret_cast<Routine>(page);
    load = reinterpret_cast<Routine>(page + 5);
  }
  ~Machine() {
    wdmsim::ldr::UnregisterImageCode(page);
    munmap(page, 4096);
    MmUnmapIoSpace(const_cast<ULONG*>(regs), window.Length);
  }
  wdmsim::Kernel kernel;
  wdmsim::Slot* slot;
  decltype(CM_PARTIAL_RESOURCE_DESCRIPTOR::u.Memory) window;
  volatile ULONG* regs;
  uint8_t* page;
  Routine irql, load;
};

Machine& M() {
  static Machine machine;
  return machine;
}

constexpr unsigned kRegister = 0x6008;  // the capability register

void BM_IrqlByTrap(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(M().irql(0));
}
void BM_IrqlByCall(benchmark::State& state) {
  M();
  for (auto _ : state) benchmark::DoNotOptimize(KeGetCurrentIrql());
}
void BM_RegisterLoadByTrap(benchmark::State& state) {
  const auto address = reinterpret_cast<uint64_t>(M().regs + kRegister / 4);
  for (auto _ : state) benchmark::DoNotOptimize(M().load(address));
}
void BM_RegisterLoadByCall(benchmark::State& state) {
  volatile ULONG* reg = M().regs + kRegister / 4;
  for (auto _ : state) benchmark::DoNotOptimize(READ_REGISTER_ULONG(reg));
}

BENCHMARK(BM_IrqlByTrap)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_IrqlByCall)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_RegisterLoadByTrap)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_RegisterLoadByCall)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
