// Exceptions dispatched to a PE image's own __except and __finally blocks
// through its unwind data, on an image another compiler built for the
// purpose (tests/seh_image/seh_image.c): each case's outcome is a line of
// its DbgPrint output.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "wdmsim/kernel.h"

namespace {

TEST(SehImageTest, HandlersFiltersAndFinallyBlocksRunAsWindowsRunsThem) {
  if (std::string(SEH_IMAGE_PATH).empty()) GTEST_SKIP() << "built without the PE images";
  auto kernel = std::make_unique<wdmsim::Kernel>(wdmsim::Options{});
  wdmsim::DriverImage& image = kernel->LoadDriver(SEH_IMAGE_PATH);
  const std::vector<std::string> expected = {
      "1 caught 0x80000002",                // misaligned probe: STATUS_DATATYPE_MISALIGNMENT
      "inner filter declines 0xC0000005",   // the inner filter runs first, and declines
      "filter accepts 0xC0000005",          // one frame out, the outer one takes it
      "2 caught 0xC0000005",
      "3 finally, abnormal 1",              // the __finally the unwind leaves runs before the handler
      "3 caught 0xC0000005",
      "4 caught 0xC0000005",                // a fault in the image's own code
      "done",
  };
  EXPECT_EQ(image.DbgLines(), expected);
  EXPECT_EQ(kernel->BugCheckReport(), "");
  kernel->UnloadDriver(image);
  EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
}

}  // namespace
