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

TEST_F(PeImageTest, ShippedImageMapsWithItsProtectionsRelocationsAndImports) {
  auto image = PeImage::Map(file, "Talvrex.sys", wdmsim::ldr::KernelExport);
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
  EXPECT_EQ(bound["memcpy"], wdmsim::ldr::RuntimeExport("memcpy"));  // not the C library's
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
      return name == routine ? nullptr : wdmsim::ldr::KernelExport(dll, name);
    };
  };
  const Case cases[] = {
      {"truncated", [](auto& b) { b.resize(0x600); }, wdmsim::ldr::KernelExport, "a section's data lies outside the image"},
      {"32-bit", [&](auto& b) { b[pe + 4] = 0x4C; b[pe + 5] = 0x01; }, wdmsim::ldr::KernelExport,
       "not an x64 image (machine 0x14C)"},
      {"writable code", [&](auto& b) { b[firstSection + 39] |= 0x80; }, wdmsim::ldr::KernelExport,
       "is writable and executable"},
      {"missing routine", [](auto&) {}, lacking("KeStallExecutionProcessor"),
       "imports what wdmsim does not provide: HAL.dll!KeStallExecutionProcessor"},
      {"libc name", [](auto&) {}, [](const std::string&, const std::string& name) {
         return wdmsim::ldr::KernelExport("ntoskrnl.exe", name == "IoFreeMdl" ? "fopen" : name);
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

// Calls _vsnwprintf as an image does: a Windows x64 variable argument list.
using Vsnwprintf = int(__attribute__((ms_abi)) *)(char16_t*, size_t, const char16_t*, __builtin_ms_va_list);
__attribute__((ms_abi)) int CallVsnwprintf(Vsnwprintf routine, char16_t* buffer, size_t count,
                                           const char16_t* format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, format);
  const int n = routine(buffer, count, format, args);
  __builtin_ms_va_end(args);
  return n;
}

TEST(RuntimeRoutines, TakeTheWindowsConventionAndItsArgumentLists) {
  using Memset = void*(__attribute__((ms_abi)) *)(void*, int, size_t);
  using Memcpy = void*(__attribute__((ms_abi)) *)(void*, const void*, size_t);
  char bytes[8] = "abcdefg", copy[8] = {};
  EXPECT_EQ(reinterpret_cast<Memset>(wdmsim::ldr::RuntimeExport("memset"))(bytes, 'x', 3), bytes);
  EXPECT_EQ(reinterpret_cast<Memcpy>(wdmsim::ldr::RuntimeExport("memcpy"))(copy, bytes, 8), copy);
  EXPECT_STREQ(copy, "xxxdefg");

  const auto format = reinterpret_cast<Vsnwprintf>(wdmsim::ldr::RuntimeExport("_vsnwprintf"));
  const UNICODE_STRING name{14, 14, const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(u"Talvrex"))};
  char16_t out[64];
  // Six arguments: two in registers past the format, four on the stack.
  ASSERT_EQ(CallVsnwprintf(format, out, 64, u"%wZ_v%d%d%d-%u %I64X", &name, 1, 0, 0, 7u, 0x123456789ull), 24);
  EXPECT_EQ(std::u16string(out), u"Talvrex_v100-7 123456789");
  struct Case {
    size_t count;
    int result;
    std::u16string text;  // what the buffer holds, up to its terminator or the count
  };
  for (const Case& c : {Case{6, 5, u"ab-12"}, Case{5, 5, u"ab-12"}, Case{3, -1, u"ab-"}}) {
    std::u16string buffer(8, u'#');
    EXPECT_EQ(CallVsnwprintf(format, buffer.data(), c.count, u"%s-%d", u"ab", 12), c.result) << c.count;
    EXPECT_EQ(buffer.substr(0, c.text.size()), c.text);
    EXPECT_EQ(buffer[c.text.size()], c.count > c.text.size() ? u'\0' : u'#') << c.count;  // terminated if room
  }
}

}  // namespace
