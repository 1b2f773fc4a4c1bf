// Systematic fault injection: one scenario that drives every path of the
// driver that allocates or maps something (plug, start, open, events,
// message-interrupt connection, a playout and a capture through the card's
// DMA engine, pool copies, sleep and resume, rebalance, disable and enable,
// removal) is run once clean to count the calls of each fault-injectable
// routine, then once per call site in a fresh kernel with that one call
// failing. Every run must fail cleanly: each step either succeeds or fails
// with a status that names the shortage at the layer that met it, nothing
// hangs, the verifier finds nothing after removal and unload, and the
// kernel never stops.
//
// FAULT_CALL_STRIDE=k fails only every k-th call site (the first and the
// last always), for a quicker look by hand; CI fails every one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "card/plug.h"
#include "support/machine.h"
#include "support/products.h"
#include "support/session.h"

namespace {

using support::Session;
using support::Status;

constexpr uint32_t kFrameBytes = 0x10000;

struct Step {
  std::string name;
  std::string outcome;  // "ok" or what went wrong
};

struct Outcome {
  std::vector<Step> steps;
  std::vector<std::string> findings;
  std::string bugCheck;
  uint64_t calls = 0;  // calls of the routine under test during the scenario
};

// Statuses a step may fail with when an allocation or mapping is refused:
// the shortage itself, a register window that could not be mapped, or a
// device that could not join its stack.
bool AllowedFailure(const Step& step) {
  static const std::set<std::string> kPnp = {"add", "start", "rebalance", "enable"};
  if (kPnp.count(step.name) != 0) {
    return step.outcome == Status(STATUS_INSUFFICIENT_RESOURCES) ||
           step.outcome == Status(STATUS_DEVICE_CONFIGURATION_ERROR) || step.outcome == Status(STATUS_NO_SUCH_DEVICE);
  }
  // A transfer whose buffer could not be described or locked fails the
  // request with STATUS_INSUFFICIENT_RESOURCES.
  if (step.name == "playout" || step.name == "capture") {
    return step.outcome == "start error " + std::to_string(wdmsim::ERROR_NO_SYSTEM_RESOURCES);
  }
  if (step.name == "pool") return step.outcome == "no copy";     // result 0xFFFFFFFF, request succeeds
  if (step.name == "msi") return step.outcome == "not connected";  // the card stays on its line interrupt
  return false;
}

// The scenario. `routine`/`nth`: the call to fail, counted from just before
// the card is plugged (BusCalls tells which of the first calls are the bus
// driver's own). nth 0 runs clean.
Outcome RunScenario(const std::string& routine, int nth) {
  Outcome run;
  support::Machine machine;
  machine.Boot();
  wdmsim::Kernel& kernel = *machine.kernel;
  wdmsim::DriverImage& image = *machine.image;
  auto record = [&](const std::string& name, const std::string& outcome) { run.steps.push_back({name, outcome}); };
  auto ok = [](NTSTATUS s) { return NT_SUCCESS(s) ? std::string("ok") : Status(s); };
  kernel.ResetCallCounts();
  if (nth > 0) kernel.FailNthCall(routine, nth);
  wdmsim::Slot& slot = card::PlugCard(kernel, image);
  record("add", ok(slot.addStatus));
  wdmsim::Process& process = kernel.DefaultProcess();

  if (NT_SUCCESS(slot.addStatus)) {
    const NTSTATUS started = kernel.StartCard(slot);
    record("start", ok(started));
    if (NT_SUCCESS(started)) {
      HANDLE h = process.CreateFileW(support::Win32Name(slot));
      record("open", h != wdmsim::INVALID_HANDLE_VALUE ? "ok" : "error " + std::to_string(process.GetLastError()));
      if (h != wdmsim::INVALID_HANDLE_VALUE) {
        Session s(process, h);
        HANDLE readEvent = process.CreateEventW(false, false);
        HANDLE writeEvent = process.CreateEventW(false, false);
        HANDLE msiEvent = process.CreateEventW(false, false);
        const bool events = s.RegisterEvent(IOCTL_SET_EVENT_DMAREAD, readEvent).ok &&
                            s.RegisterEvent(IOCTL_SET_EVENT_DMAWRITE, writeEvent).ok &&
                            s.RegisterEvent(IOCTL_SET_EVENT_MSI, msiEvent).ok;
        record("events", events ? "ok" : "error");

        s.SetRegister(PSEUDO_REG_MSI_CONNECT, 0);
        auto* ext = static_cast<DEVICE_EXTENSION*>(slot.Fdo()->DeviceExtension);
        record("msi", ext->pMsiConnectionContext != nullptr ? "ok" : "not connected");

        auto* buffer = static_cast<uint8_t*>(process.VirtualAlloc(kFrameBytes));
        const std::string played = s.Playout(buffer, kFrameBytes, 7, 1, readEvent);
        record("playout", played.empty() ? "ok" : played);
        if (played.empty()) {
          const uint32_t good = s.GetRegister(regs::dma::kSinkFramesGood).block.ulData;
          record("sink", good == 1 ? "ok" : "good frames " + std::to_string(good));
        }
        const std::string captured = s.Capture(buffer, kFrameBytes, 9, 2, writeEvent);
        record("capture", captured.empty() ? "ok" : captured);

        // Pool copies through the first entry that holds a buffer.
        uint64_t key = 0;
        for (const auto& entry : ext->CommonBufferPool) {
          if (entry.pCommonBuffer_VA != nullptr && entry.pMdl != nullptr) {
            key = static_cast<uint64_t>(entry.pCommonBuffer_LA.QuadPart);
            break;
          }
        }
        auto* back = static_cast<uint8_t*>(process.VirtualAlloc(4096));
        for (int i = 0; i < 4096; ++i) buffer[i] = static_cast<uint8_t>(i * 31);
        const auto w = s.PoolCopy(IOCTL_WRITE_BUFFER_POOL, buffer, 4096, 0x100, key);
        const auto r = s.PoolCopy(IOCTL_READ_BUFFER_POOL, back, 4096, 0x100, key);
        // Family B's short block has no pool commands: they answer "unknown".
        const uint32_t expected = support::FamilyA(support::SuiteProduct()) ? RESULT_SUCCESS : RESULT_UNKNOWN_COMMAND;
        std::string pool = "ok";
        if (!w.ok || !r.ok) pool = "request failed";
        else if (w.block.ulResult != expected || r.block.ulResult != expected) pool = "no copy";
        else if (expected == RESULT_SUCCESS && std::memcmp(buffer, back, 4096) != 0) pool = "data differs";
        record("pool", pool);

        process.CloseHandle(h);
        process.CloseHandle(readEvent);
        process.CloseHandle(writeEvent);
        process.CloseHandle(msiEvent);
        process.VirtualFree(buffer);
        process.VirtualFree(back);
      }
      kernel.SleepAndResume();
      record("sleep", "ok");
      record("rebalance", ok(kernel.Rebalance(slot)));
    }
    if (slot.Fdo() != nullptr) record("disable", ok(kernel.DisableCard(slot)));
    if (slot.Fdo() == nullptr) record("enable", ok(kernel.EnableCard(slot)));
  }
  run.calls = kernel.CallCount(routine);
  machine.ShutDown();
  run.findings = kernel.Findings();
  run.bugCheck = kernel.BugCheckReport();
  return run;
}

std::string Describe(const Outcome& run) {
  std::string text;
  for (const auto& step : run.steps) text += step.name + "=" + step.outcome + " ";
  return text;
}

// Calls of `routine` the bus driver makes when a card is plugged (its
// physical device object): they come first and are not the driver's.
uint64_t BusCalls(const std::string& routine) {
  wdmsim::Kernel kernel(wdmsim::Options{});
  kernel.ResetCallCounts();
  card::PlugCardWithoutDriver(kernel);
  const uint64_t calls = kernel.CallCount(routine);
  kernel.RemoveCard(*kernel.Slots().back());
  return calls;
}

class FaultInjection : public ::testing::TestWithParam<const char*> {};

TEST_P(FaultInjection, EveryCallSiteFailsCleanly) {
  const std::string routine = GetParam();
  const Outcome clean = RunScenario(routine, 0);
  for (const auto& step : clean.steps) ASSERT_EQ(step.outcome, "ok") << step.name;
  ASSERT_EQ(clean.findings, std::vector<std::string>{});
  const uint64_t bus = BusCalls(routine);
  ASSERT_GT(clean.calls, bus) << routine << " is never called by the driver in the scenario";

  const char* strideText = std::getenv("FAULT_CALL_STRIDE");
  const int stride = std::max(1, strideText != nullptr ? std::atoi(strideText) : 1);
  const int first = static_cast<int>(bus) + 1, last = static_cast<int>(clean.calls);
  int visible = 0, absorbed = 0;
  for (int n = first; n <= last; n = (n < last && n + stride > last) ? last : n + stride) {
    SCOPED_TRACE(routine + " call " + std::to_string(n));
    const Outcome run = RunScenario(routine, n);
    EXPECT_EQ(run.bugCheck, "");
    EXPECT_EQ(run.findings, std::vector<std::string>{}) << Describe(run);
    EXPECT_GE(run.calls, static_cast<uint64_t>(n)) << "the injected failure never happened";
    bool deviated = false;
    for (const auto& step : run.steps) {
      if (step.outcome == "ok") continue;
      deviated = true;
      EXPECT_TRUE(AllowedFailure(step)) << step.name << " failed with " << step.outcome << ": " << Describe(run);
    }
    (deviated ? visible : absorbed)++;
  }
  // Figures for the hardening report.
  std::printf("[fault] %-28s %3d of %3llu call sites failed: %d reported, %d absorbed\n", routine.c_str(),
              visible + absorbed, static_cast<unsigned long long>(clean.calls - bus), visible, absorbed);
}

INSTANTIATE_TEST_SUITE_P(Routines, FaultInjection,
                         ::testing::Values("IoGetDmaAdapter", "AllocateCommonBuffer", "IoAllocateMdl", "MmMapIoSpace",
                                           "IoConnectInterrupt", "IoConnectInterruptEx", "MmProbeAndLockPages",
                                           "IoCreateDevice", "IoCreateSymbolicLink", "IoAttachDeviceToDeviceStack",
                                           "IoBuildSynchronousFsdRequest"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
