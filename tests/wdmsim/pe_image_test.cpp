// Mapping the shipped driver image (the mingw-w64 build of Talvrex.sys):
// sections with their protections, relocations for where the mapping
// landed, imports bound to wdmsim's own definitions, and the refusals of
// images that cannot run.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ldr/pe_image.h"
#include "wdmsim/ntddk.h"

namespace {

using wdmsim::ldr::PeImage;

std::vector<uint8_t> ShippedImage() {
  std::ifstream in(std::string(WINDOWS_IMAGE_DIR) + "/Talvrex.sys", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t U32(const std::vector<uint8_t>& b, size_t o) {
  uint32_t v;
  std::memcpy(&v, b.data() + o, 4);
  return v;
}

// The file offset of an RVA, through the section table.
size_t FileOffset(const std::vector<uint8_t>& b, uint32_t rva) {
  const size_t pe = U32(b, 0x3C), sections = pe + 24 + (U32(b, pe + 20) & 0xFFFF);
  for (size_t i = 0; i < (U32(b, pe + 4) >> 16); ++i) {
    const size_t s = sections + 40 * i;
    if (rva >= U32(b, s + 12) && rva < U32(b, s + 12) + U32(b, s + 16)) return rva - U32(b, s + 12) + U32(b, s + 20);
  }
  return 0;
}

class PeImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = ShippedImage();
    if (file.empty()) GTEST_SKIP() << "this build has no Windows images";
  }
  std::vector<uint8_t> file;
};

// The compiler's runtime routines the image takes from the kernel, which
// wdmsim does not define yet: the loader names them all.
constexpr const char* kRuntimeRoutines[] = {"__C_specific_handler", "_vsnwprintf", "memcpy", "memset"};

void* WithRuntimeStandIns(const std::string& dll, const std::string& name) {
  static char standIn;
  for (const char* routine : kRuntimeRoutines) {
    if (name == routine) return &standIn;
  }
  return wdmsim::ldr::KernelExport(dll, name);
}

TEST_F(PeImageTest, ShippedImageNamesTheRuntimeRoutinesWdmsimLacks) {
  try {
    PeImage::Map(file, "Talvrex.sys", wdmsim::ldr::KernelExport);
    ADD_FAILURE() << "mapped";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Talvrex.sys: imports what wdmsim does not provide: ntoskrnl.exe!__C_specific_handler, "
                 "ntoskrnl.exe!_vsnwprintf, ntoskrnl.exe!memcpy, ntoskrnl.exe!memset");
  }
}

TEST_F(PeImageTest, ShippedImageMapsWithItsProtectionsRelocationsAndImports) {
  auto image = PeImage::Map(file, "Talvrex.sys", WithRuntimeStandIns);
  ASSERT_NE(reinterpret_cast<uintptr_t>(image->base()), image->preferredBase());  // relocations matter

  bool text = false, data = false;
  for (const auto& s : image->sections()) {
    EXPECT_FALSE(s.write && s.execute) << s.name;
    if (s.name == ".text") {
      text = s.read && s.execute && !s.write;
      EXPECT_TRUE(image->Contains(image->entryPoint()));
      EXPECT_GE(static_cast<uint8_t*>(image->entryPoint()), image->base() + s.rva);
      EXPECT_LT(static_cast<uint8_t*>(image->entryPoint()), image->base() + s.rva + s.size);
    }
    if (s.name == ".bss") data = s.read && s.write && !s.execute;
  }
  EXPECT_TRUE(text);
  EXPECT_TRUE(data);

  // The first 64-bit relocation: the mapped address is the file's moved by
  // as much as the image was.
  ASSERT_GT(image->relocationsApplied(), 0u);
  const size_t pe = U32(file, 0x3C);
  const uint32_t relocRva = U32(file, pe + 24 + 112 + 8 * 5);
  const size_t block = FileOffset(file, relocRva);
  uint16_t entry = 0;
  for (size_t e = block + 8; (entry >> 12) != 10; e += 2) std::memcpy(&entry, file.data() + e, 2);
  const uint32_t target = U32(file, block) + (entry & 0xFFF);
  uint64_t inFile = 0, mapped = 0;
  std::memcpy(&inFile, file.data() + FileOffset(file, target), 8);
  std::memcpy(&mapped, image->base() + target, 8);
  EXPECT_EQ(mapped - reinterpret_cast<uintptr_t>(image->base()), inFile - image->preferredBase());

  // Every import slot holds wdmsim's definition; the data import holds the
  // kernel variable, as the kit's two loads of *ExEventObjectType expect.
  std::map<std::string, void*> bound;
  for (const auto& import : image->imports()) {
    void* slot = nullptr;
    std::memcpy(&slot, image->base() + import.slotRva, sizeof slot);
    EXPECT_EQ(slot, import.target) << import.name;
    bound[import.name] = slot;
  }
  EXPECT_EQ(bound["DbgPrint"], reinterpret_cast<void*>(&DbgPrint));
  EXPECT_EQ(bound["KeStallExecutionProcessor"], reinterpret_cast<void*>(&KeStallExecutionProcessor));
  EXPECT_EQ(bound["ExEventObjectType"], reinterpret_cast<void*>(ExEventObjectType));
  EXPECT_GT(image->exceptions().size, 0u);  // unwind data for every function
}

TEST_F(PeImageTest, ImagesThatCannotRunAreRefusedSayingWhy) {
  const size_t pe = U32(file, 0x3C);
  const size_t firstSection = pe + 24 + (U32(file, pe + 20) & 0xFFFF);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    wdmsim::ldr::ImportResolver resolve;
    const char* message;
  };
  auto lacking = [](const char* routine) {
    return [routine](const std::string& dll, const std::string& name) {
      return name == routine ? nullptr : WithRuntimeStandIns(dll, name);
    };
  };
  const Case cases[] = {
      {"truncated", [](auto& b) { b.resize(0x600); }, WithRuntimeStandIns, "a section's data lies outside the image"},
      {"32-bit", [&](auto& b) { b[pe + 4] = 0x4C; b[pe + 5] = 0x01; }, WithRuntimeStandIns,
       "not an x64 image (machine 0x14C)"},
      {"writable code", [&](auto& b) { b[firstSection + 39] |= 0x80; }, WithRuntimeStandIns,
       "is writable and executable"},
      {"missing routine", [](auto&) {}, lacking("KeStallExecutionProcessor"),
       "imports what wdmsim does not provide: HAL.dll!KeStallExecutionProcessor"},
      {"libc name", [](auto&) {}, [](const std::string&, const std::string& name) {
         return WithRuntimeStandIns("ntoskrnl.exe", name == "IoFreeMdl" ? "fopen" : name);
       },
       "imports what wdmsim does not provide: ntoskrnl.exe!IoFreeMdl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> damaged = file;
    c.damage(damaged);
    try {
      PeImage::Map(damaged, "Talvrex.sys", c.resolve);
      ADD_FAILURE() << "mapped";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("Talvrex.sys: ", 0), 0u) << e.what();
    }
  }
}

}  // namespace
