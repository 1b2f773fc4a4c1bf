// A simulated machine for the driver's suites: a kernel whose verifier
// watches everything the driver does, one product's driver image, and the
// cards plugged into it. MachineTest is the gtest fixture around it: a test
// passes only if the driver, once every card is removed and the image
// unloaded, left nothing behind and the kernel never stopped.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "card/plug.h"
#include "wdmsim/kernel.h"

namespace support {

// The wdmsim build of a product's driver.
inline std::string SimImagePath(const std::string& product) {
  return std::string(WDMSIM_IMAGE_DIR) + "/" + product + ".sys.so";
}

// The image users install, built with the kit; "" in a build without them.
inline std::string ShippedImagePath(const std::string& product) {
  const std::string dir = SHIPPED_IMAGE_DIR;
  return dir.empty() ? "" : dir + "/" + product + ".sys";
}

// The checked build of the shipped image (DBG=1), for the tests only.
inline std::string CheckedImagePath(const std::string& product) {
  const std::string dir = SHIPPED_IMAGE_DIR;
  return dir.empty() ? "" : dir + "/checked/" + product + ".sys";
}

// The product the hardening suites run on: Talvrex (family A), or with
// WDMSIM_PRODUCT in the environment another product, so that ctest runs them
// on one product of each family. Their compile-time limits are Talvrex's,
// which every product of family B shares.
inline std::string SuiteProduct() {
  const char* product = std::getenv("WDMSIM_PRODUCT");
  return product != nullptr && *product != 0 ? product : "Talvrex";
}

// The image a suite runs on: the wdmsim build, or with WDMSIM_IMAGE=sys in
// the environment the shipped one (ctest runs the driver's suites both ways).
inline std::string ImagePath(const std::string& product) {
  const char* kind = std::getenv("WDMSIM_IMAGE");
  if (kind != nullptr && std::string(kind) == "sys" && !ShippedImagePath(product).empty()) {
    return ShippedImagePath(product);
  }
  return SimImagePath(product);
}

// Is this run on the shipped images (WDMSIM_IMAGE=sys)?
inline bool RunningShippedImage() { return ImagePath(SuiteProduct()) != SimImagePath(SuiteProduct()); }

// What the shipped image cannot show yet: the reason is the test's skip
// message.
#define SKIP_ON_SHIPPED_IMAGE(why) \
  if (support::RunningShippedImage()) GTEST_SKIP() << (why)

struct Machine {
  // Boots a fresh kernel and loads `product`'s image ("" loads none).
  void Boot(const wdmsim::Options& options = {}, const std::string& product = SuiteProduct()) {
    image = nullptr;
    kernel = std::make_unique<wdmsim::Kernel>(options);
    if (!product.empty()) image = &kernel->LoadDriver(ImagePath(product));
  }

  // Plugs a card and starts it as the PnP manager would.
  wdmsim::Slot& StartedCard(const card::CardOptions& options = {}) {
    wdmsim::Slot* slot = nullptr;
    EXPECT_EQ(card::AddAndStartCard(*kernel, *image, &slot, options), STATUS_SUCCESS);
    return *slot;
  }

  // The orderly end of a run: every card still there removed and the image
  // unloaded, unless the kernel has stopped. Returns what the verifier
  // found and the bug check, if any: "" for a clean run.
  std::string ShutDown() {
    if (kernel->BugCheckReport().empty()) {
      for (auto* slot : kernel->Slots()) kernel->RemoveCard(*slot);  // a removed one says so and stays
      if (image != nullptr) kernel->UnloadDriver(*image);
      image = nullptr;
    }
    return Verdict();
  }

  // What went wrong so far, a line each; "" while the verifier is clean.
  std::string Verdict() const {
    std::string text;
    for (const auto& finding : kernel->Findings()) text += "verifier: " + finding + "\n";
    if (!kernel->BugCheckReport().empty()) text += "bug check: " + kernel->BugCheckReport() + "\n";
    return text;
  }

  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::DriverImage* image = nullptr;
};

class MachineTest : public ::testing::Test, public Machine {
 protected:
  virtual wdmsim::Options KernelOptions() { return wdmsim::Options{}; }
  virtual std::string Product() { return SuiteProduct(); }

  void SetUp() override { Boot(KernelOptions(), Product()); }
  void TearDown() override {
    if (!expectBugCheck) {
      EXPECT_EQ(ShutDown(), "");
    }
    kernel.reset();
  }

  bool expectBugCheck = false;  // the test stops the kernel on purpose
};

}  // namespace support
