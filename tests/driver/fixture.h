// A fresh simulated kernel per test with one product's driver image loaded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"

inline std::string ImagePath(const std::string& product) {
  return std::string(WDMSIM_IMAGE_DIR) + "/" + product + ".sys.so";
}

class DriverTest : public ::testing::Test {
 protected:
  // The driver pauses 200 ms in every stop and removal and waits up to
  // seconds for a silent card: run the clock fast.
  virtual wdmsim::Options KernelOptions() { return wdmsim::Options{}; }
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

  // Plugs a card and starts it as the PnP manager would.
  wdmsim::Slot& StartedCard(const card::CardOptions& options = {}) {
    wdmsim::Slot* slot = nullptr;
    NTSTATUS status = card::AddAndStartCard(*kernel, *image, &slot, options);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return *slot;
  }

  // Lines the image printed that contain `text`.
  size_t CountLines(const std::string& text) {
    size_t n = 0;
    for (const auto& line : image->DbgLines()) n += line.find(text) != std::string::npos;
    return n;
  }

  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::DriverImage* image = nullptr;
  bool expectBugCheck = false;
};
