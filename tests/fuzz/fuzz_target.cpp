// libFuzzer entry point: one kernel with two started cards for the whole
// run; each input is a sequence of requests decoded from its bytes by the
// same harness the seeded loop uses. An input fails when the verifier
// reports anything or the kernel stops; the abort gives libFuzzer the crash
// and the input that caused it.
#include <cstdio>
#include <cstdlib>

#include "card/plug.h"
#include "fuzz/fuzz_harness.h"
#include "support/machine.h"

namespace {

struct World : support::Machine {
  std::unique_ptr<fuzz::Worker> worker;
  World() {
    Boot();
    for (int i = 0; i < 2; ++i) {
      wdmsim::Slot* slot = nullptr;
      card::AddAndStartCard(*kernel, *image, &slot);
    }
    worker = std::make_unique<fuzz::Worker>(*kernel, kernel->DefaultProcess());
  }
};

void Check(World& world, const std::string& problem) {
  const std::string what = problem.empty() ? world.Verdict() : problem;
  if (what.empty()) return;
  std::fprintf(stderr, "control_fuzzer: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World();  // one boot for the whole run
  fuzz::ByteSource src(data, size);
  for (int step = 0; step < 256 && !src.Exhausted(); ++step) {
    std::string problem;
    try {
      problem = world->worker->Step(src);
    } catch (const wdmsim::BugCheck&) {
      problem = "bug check";
    }
    Check(*world, problem);
    if (src.Below(200) == 0) {
      const bool quiet = src.Chance(30);
      if (quiet) world->worker->CloseAll();
      fuzz::PnpEvent(*world->kernel, src, quiet);
      Check(*world, "");
    }
  }
  return 0;
}
