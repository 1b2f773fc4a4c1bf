// The image users install (<Product>.sys, built with the kit) runs in
// wdmsim as the kernel would run it, and says exactly what the wdmsim build
// of the same source (<Product>.sys.so) says.
#include <gtest/gtest.h>

#include <string>

#include "support/machine.h"
#include "support/products.h"

namespace {

using support::Product;

class ShippedImage : public ::testing::TestWithParam<Product>, public support::Machine {
 protected:
  void SetUp() override {
    if (support::ShippedImagePath(GetParam().name).empty()) GTEST_SKIP() << "built without the shipped images";
    Boot({}, "");
  }
  void TearDown() override {
    if (kernel) {
      EXPECT_EQ(ShutDown(), "");
    }
  }

  // Loads and unloads one image; returns everything it printed.
  std::string LoadAndUnload(const std::string& path) {
    wdmsim::DriverImage& loaded = kernel->LoadDriver(path);
    return kernel->UnloadDriver(loaded);
  }
};

TEST_P(ShippedImage, DriverEntryAndUnloadSayWhatTheSimulationBuildSays) {
  const std::string so = LoadAndUnload(support::ImagePath(GetParam().name));
  const std::string sys = LoadAndUnload(support::ShippedImagePath(GetParam().name));
  EXPECT_NE(sys.find("DriverEntry complete"), std::string::npos) << sys;
  EXPECT_NE(sys.find("DriverUnload"), std::string::npos) << sys;
  EXPECT_EQ(sys, so);
}

INSTANTIATE_TEST_SUITE_P(Products, ShippedImage, ::testing::ValuesIn(support::Matrix()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
