// libFuzzer entry point: one kernel with two started cards for the whole
// run; each input is a sequence of requests decoded from its bytes by the
// same harness the seeded loop uses. An input fails when the verifier
// reports anything or the kernel stops; the abort gives libFuzzer the crash
// and the input that caused it.
#include <cstdio>
#include <cstdlib>

#include "card/plug.h"
#include "fuzz/fuzz_harness.h"

namespace {

struct World {
  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::DriverImage* image = nullptr;
  std::unique_ptr<fuzz::Worker> worker;
  World() {
    kernel = std::make_unique<wdmsim::Kernel>(wdmsim::Options{});
    image = &kernel->LoadDriver(std::string(WDMSIM_IMAGE_DIR) + "/Talvrex.sys.so");
    for (int i = 0; i < 2; ++i) {
      wdmsim::Slot* slot = nullptr;
      card::AddAndStartCard(*kernel, *image, &slot);
    }
    worker = std::make_unique<fuzz::Worker>(*kernel, kernel->DefaultProcess());
  }
};

void Check(World& world, const std::string& problem) {
  std::string what = problem;
  if (what.empty() && !world.kernel->Findings().empty()) what = "verifier: " + world.kernel->Findings()[0];
  if (what.empty() && !world.kernel->BugCheckReport().empty()) what = "bug check";
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
