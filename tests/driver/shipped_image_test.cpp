// The image users install (<Product>.sys, built with the kit) runs in
// wdmsim as the kernel would run it, and says exactly what the wdmsim build
// of the same source (<Product>.sys.so) says, product by product.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

#include "card/plug.h"
#include "interface/dma_registers.h"
#include "interface/ioctl.h"
#include "support/machine.h"
#include "support/products.h"
#include "support/reply.h"

namespace {

using support::Product;
using support::Reply;

// Addresses differ between two runs (the images map at different places,
// and so do the blocks the kernel hands them), and the driver prints some
// as the low 32 bits with %x, which may have any number of digits: every
// 0x number, and bare hexadecimal numbers of six digits or more, are
// masked. Nothing else may differ.
std::string Masked(const std::string& log) {
  static const std::regex address("0x[0-9A-Fa-f]+|[0-9A-Fa-f]{6,16}");
  return std::regex_replace(log, address, "#");
}

class ShippedImage : public ::testing::TestWithParam<Product>, public support::Machine {
 protected:
  void SetUp() override {
    if (support::ShippedImagePath(GetParam().name).empty()) GTEST_SKIP() << "built without the shipped images";
    SKIP_ON_SHIPPED_IMAGE("runs both images itself");
  }

  // One whole life of a card on `path`, start to unload, on a fresh kernel
  // (the simulated clock makes it the same run every time): everything the
  // driver printed, and what the verifier said at the end.
  std::string Scenario(const std::string& path, std::string* verdict) {
    const Product& p = GetParam();
    Boot({}, "");
    image = &kernel->LoadDriver(path);
    wdmsim::Slot& slot = StartedCard();
    auto& process = kernel->DefaultProcess();
    HANDLE h = process.CreateFileW(wdmsim::Widen("\\\\.\\" + p.name + "_v100-0"));
    EXPECT_NE(h, wdmsim::INVALID_HANDLE_VALUE);
    const uint32_t size = p.familyA ? IOCTL_BUFFER_SIZE_A : IOCTL_BUFFER_SIZE_B;
    auto command = [&](uint32_t code, uint32_t addr = 0, uint32_t data = 0, uint32_t param0 = 0) {
      IOCTL_BUFFER_A block{};
      block.ulCommand = code;
      block.ulAddr = addr;
      block.ulData = data;
      block.ulParam0 = param0;
      return support::Call(process, h, block, size, size);
    };
    auto registerEvent = [&](uint32_t code, HANDLE event) {
      IOCTL_BUFFER_A block{};
      block.ulCommand = code;
      block.hEvent = reinterpret_cast<uint64_t>(event);
      return support::Call(process, h, block, size, size);
    };

    // Control requests and registers.
    EXPECT_EQ(command(IOCTL_GET_VERSION).block.ulData, DRIVER_INTERFACE_VERSION);
    EXPECT_TRUE(command(IOCTL_SET_REGISTER, PSEUDO_REG_WRITE_DELAY, 3).ok);
    EXPECT_EQ(command(IOCTL_GET_REGISTER, PSEUDO_REG_WRITE_DELAY).block.ulData, 3u);
    EXPECT_TRUE(command(IOCTL_SET_REGISTER, PSEUDO_REG_WRITE_DELAY, 0).ok);
    command(IOCTL_GET_REGISTER, 0x6008);

    // A capture and a playout of 64 KiB, each ended by its event.
    constexpr uint32_t kBytes = 64 * 1024;
    void* buffer = process.VirtualAlloc(kBytes);
    const auto addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer));
    HANDLE captured = process.CreateEventW(false, false);
    HANDLE played = process.CreateEventW(false, false);
    EXPECT_TRUE(registerEvent(IOCTL_SET_EVENT_DMAWRITE, captured).ok);
    EXPECT_TRUE(registerEvent(IOCTL_SET_EVENT_DMAREAD, played).ok);
    EXPECT_TRUE(command(IOCTL_START_DMAWRITE, addr, kBytes, regs::dma::kStartCapture).ok);
    EXPECT_EQ(process.WaitForSingleObject(captured, 10000), wdmsim::WAIT_OBJECT_0);
    EXPECT_TRUE(command(IOCTL_FINISH_DMAWRITE).ok);
    EXPECT_TRUE(command(IOCTL_START_DMAREAD, addr, kBytes, regs::dma::kStartPlayout).ok);
    EXPECT_EQ(process.WaitForSingleObject(played, 10000), wdmsim::WAIT_OBJECT_0);
    EXPECT_TRUE(command(IOCTL_RELEASE_DMAREAD).ok);
    if (p.familyA) EXPECT_TRUE(command(IOCTL_GET_BUFFER_POOL).ok);

    // Power and Plug and Play.
    kernel->SleepAndResume();
    EXPECT_EQ(command(IOCTL_GET_VERSION).block.ulData, DRIVER_INTERFACE_VERSION);
    process.CloseHandle(captured);
    process.CloseHandle(played);
    process.CloseHandle(h);
    EXPECT_EQ(kernel->Rebalance(slot), STATUS_SUCCESS);
    EXPECT_EQ(kernel->SurpriseRemove(slot), STATUS_SUCCESS);
    const std::string log = image->DbgOutput();
    *verdict = ShutDown();
    kernel.reset();
    return log;
  }
};

TEST_P(ShippedImage, WholeLifeOfACardSaysWhatTheSimulationBuildSays) {
  std::string soVerdict, sysVerdict;
  const std::string so = Scenario(support::SimImagePath(GetParam().name), &soVerdict);
  const std::string sys = Scenario(support::ShippedImagePath(GetParam().name), &sysVerdict);
  EXPECT_EQ(soVerdict, "");
  EXPECT_EQ(sysVerdict, "");
  for (const char* step : {"DriverEntry complete", "HandleStartDevice completed", "Dispatch_Power",
                           "IRP_MN_STOP_DEVICE", "IRP_MN_SURPRISE_REMOVAL", "PnPRemoveDevice completed"}) {
    EXPECT_NE(sys.find(step), std::string::npos) << step << " missing from\n" << sys;
  }
  EXPECT_EQ(Masked(sys), Masked(so));
}

INSTANTIATE_TEST_SUITE_P(Products, ShippedImage, ::testing::ValuesIn(support::Matrix()),
                         [](const auto& info) { return info.param.name; });

}  // namespace

namespace {

// A bug check raised in a kernel routine that the image called cannot
// unwind through the image's frames (they have only Windows unwind data):
// it comes back to where wdmsim called into the image, and on to the test.
// AddDevice at DISPATCH_LEVEL (the card disabled, then enabled at raised
// IRQL): IoCreateDevice stops the machine.
TEST(ShippedImageBoundary, BugCheckInsideAKernelRoutineReachesTheCallerPastTheImage) {
  const std::string path = support::ShippedImagePath("Talvrex");
  if (path.empty()) GTEST_SKIP() << "built without the shipped images";
  support::Machine m;
  m.Boot({}, "");
  m.image = &m.kernel->LoadDriver(path);
  wdmsim::Slot& slot = m.StartedCard();
  ASSERT_EQ(m.kernel->DisableCard(slot), STATUS_SUCCESS);
  m.image->ClearDbgOutput();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_THROW(m.kernel->EnableCard(slot), wdmsim::BugCheck);
  KeLowerIrql(old);
  const std::string report = m.kernel->BugCheckReport();
  EXPECT_NE(report.find("STOP: 0x000000C4"), std::string::npos) << report;
  EXPECT_NE(report.find("IoCreateDevice called at IRQL 2"), std::string::npos) << report;
  // Where in the image, named from the linker's map beside it.
  EXPECT_NE(report.find("*** called from Talvrex+0x"), std::string::npos) << report;
  EXPECT_NE(report.find("(AddDevice+0x"), std::string::npos) << report;
  // The image printed up to the call, and nothing after it.
  const std::string log = m.image->DbgOutput();
  EXPECT_EQ(log, "qm4200.sys: AddDevice\n");
}

}  // namespace

namespace {

// The sanitizers cannot see into the shipped image, so the verifier's leak
// findings say where in it a resource was taken, by function, from the map
// the build keeps beside the image; the wdmsim build names the same
// functions from its own symbols. An image unloaded while its card is still
// started holds all of the card's resources.
TEST(ShippedImageVerifier, LeakFindingsNameTheFunctionThatTookEachResource) {
  if (support::ShippedImagePath("Talvrex").empty()) GTEST_SKIP() << "built without the shipped images";
  static const std::regex site(R"(called from (Talvrex\S*)\+0x[0-9A-F]+ \((\w+)\+0x[0-9A-F]+\))");
  auto functions = [](const std::string& path) {
    support::Machine m;
    m.Boot({}, "");
    m.image = &m.kernel->LoadDriver(path);
    m.StartedCard();
    m.kernel->UnloadDriver(*m.image);  // kept mapped: its devices still use it
    m.image = nullptr;
    std::vector<std::string> named;
    for (const auto& finding : m.kernel->Findings()) {
      if (finding.find("still present") != std::string::npos || finding.find("unloaded while") != std::string::npos ||
          finding.find("ExSetTimerResolution") != std::string::npos) {
        continue;  // the devices, their link and the tick their cards hold: not resources taken at one place
      }
      std::smatch match;
      EXPECT_TRUE(std::regex_search(finding, match, site)) << finding;
      if (!match.empty()) named.push_back(match[2]);
    }
    // The machine goes as it is. The unload disconnected the interrupt and
    // cancelled the poll under the driver; the kernel's teardown removes the
    // card, and the driver's own disconnect then stops it (printed, not
    // reported to the test).
    std::sort(named.begin(), named.end());  // the order of the records differs between runs
    return named;
  };
  const auto so = functions(support::SimImagePath("Talvrex"));
  const auto sys = functions(support::ShippedImagePath("Talvrex"));
  EXPECT_GE(sys.size(), 5u);  // registers, adapters, buffers, MDLs, the interrupt
  EXPECT_EQ(sys, so);
}

}  // namespace
