// The shipped image reads and writes the kit's structures in place, so
// wdmsim's must match them to the byte: every size and offset of
// layout_fields.h as wdmsim's headers give it, against the same table
// compiled with the cross compiler against the kit's headers.
#include <gtest/gtest.h>
#include <wdmsim/ntddk.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

#define SIZE(type) sizeof(type),
#define FIELD(type, member) offsetof(type, member),
const uint64_t kWdmsim[] = {
#include "../layout/layout_fields.h"
};
#undef SIZE
#undef FIELD

#define SIZE(type) "sizeof(" #type ")",
#define FIELD(type, member) "offsetof(" #type ", " #member ")",
const char* const kNames[] = {
#include "../layout/layout_fields.h"
};
#undef SIZE
#undef FIELD

static_assert(std::size(kWdmsim) == std::size(kNames));

TEST(LayoutTest, EveryFieldTheDriverTouchesSitsWhereTheKitPutsIt) {
  if (std::string(WINDOWS_IMAGE_DIR).empty()) GTEST_SKIP() << "built without the Windows images";
  std::ifstream file(std::string(WINDOWS_IMAGE_DIR) + "/../tests/layout.bin", std::ios::binary);
  ASSERT_TRUE(file) << "the kit's layout table is missing";
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The section may be padded to its alignment; the table is its start.
  ASSERT_GE(bytes.size(), sizeof(kWdmsim));
  std::vector<uint64_t> kit(std::size(kWdmsim));
  std::memcpy(kit.data(), bytes.data(), sizeof(kWdmsim));
  for (size_t i = 0; i < kit.size(); ++i) {
    EXPECT_EQ(kWdmsim[i], kit[i]) << kNames[i] << ": wdmsim " << kWdmsim[i] << ", kit " << kit[i];
  }
}

}  // namespace
