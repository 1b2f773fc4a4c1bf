// A fresh simulated kernel per test with one product's driver image loaded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver.h"
#include "wdmsim/kernel.h"

inline std::string ImagePath(const std::string& product) {
  return std::string(WDMSIM_IMAGE_DIR) + "/" + product + ".sys.so";
}

class DriverTest : public ::testing::Test {
 protected:
  virtual wdmsim::Options KernelOptions() { return {}; }
  virtual std::string Product() { return "Talvrex"; }

  void SetUp() override {
    kernel = std::make_unique<wdmsim::Kernel>(KernelOptions());
    image = &kernel->LoadDriver(ImagePath(Product()));
  }

  // Removes every card and unloads the driver, then holds the verifier to
  // account: a test passes only if the driver left nothing behind.
  void TearDown() override {
    if (kernel->BugCheckReport().empty() && !expectBugCheck) {
      for (auto* slot : kernel->Slots()) kernel->RemoveCard(*slot);
      if (image != nullptr) kernel->UnloadDriver(*image);
      EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
    }
    if (!expectBugCheck) EXPECT_EQ(kernel->BugCheckReport(), "");
    kernel.reset();
  }

  // The device extension of the function device above a slot's PDO.
  static DEVICE_EXTENSION* Extension(wdmsim::Slot& slot) {
    return static_cast<DEVICE_EXTENSION*>(slot.pdo->AttachedDevice->DeviceExtension);
  }
  static PDEVICE_OBJECT Fdo(wdmsim::Slot& slot) { return slot.pdo->AttachedDevice; }

  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::DriverImage* image = nullptr;
  bool expectBugCheck = false;
};
