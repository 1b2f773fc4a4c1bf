// pecheck on a good driver image (the linker's Talvrex.sys) and on copies of
// it broken by patching bytes: each broken copy must fail exactly the check
// it breaks. The header offsets are worked out here, not taken from pecheck.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t Get32(const Bytes& b, size_t o) { return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | uint32_t(b[o + 3]) << 24; }
uint16_t Get16(const Bytes& b, size_t o) { return uint16_t(b[o] | b[o + 1] << 8); }
void Put32(Bytes& b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[o + i] = uint8_t(v >> (8 * i));
}
void Put16(Bytes& b, size_t o, uint16_t v) {
  b[o] = uint8_t(v);
  b[o + 1] = uint8_t(v >> 8);
}

// Where the fields are in a PE32+ file.
struct Layout {
  explicit Layout(const Bytes& b) {
    coff = Get32(b, 0x3C) + 4;
    optional = coff + 20;
    sections = optional + Get16(b, coff + 16);
    sectionCount = Get16(b, coff + 2);
  }
  size_t checksum() const { return optional + 64; }
  size_t subsystem() const { return optional + 68; }
  size_t dllCharacteristics() const { return optional + 70; }
  size_t directory(int i) const { return optional + 112 + 8 * i; }
  size_t coff, optional, sections, sectionCount;
};

// Makes the stored checksum right again, so that only the patch is wrong.
void Reseal(Bytes& b) {
  const size_t at = Layout(b).checksum();
  Put32(b, at, pecheck::ComputeChecksum(b, at));
}

// Adds a descriptor importing from KERNEL32.dll (HAL.dll's list reused): a
// new descriptor table in the slack at the end of the import section, the
// DLL's name where the old table was.
void AddImport(Bytes& b) {
  const Layout l(b);
  const uint32_t importRva = Get32(b, l.directory(1));
  uint32_t count = 0;
  for (size_t s = 0; s < l.sectionCount; ++s) {
    const size_t h = l.sections + 40 * s;
    const uint32_t va = Get32(b, h + 12), vsize = Get32(b, h + 8), rawSize = Get32(b, h + 16), raw = Get32(b, h + 20);
    if (importRva < va || importRva >= va + vsize) continue;
    auto fileOffset = [&](uint32_t rva) { return raw + (rva - va); };
    while (Get32(b, fileOffset(importRva + 20 * count) + 12) != 0) ++count;
    const uint32_t table = (va + vsize + 15) & ~15u;
    const uint32_t tableEnd = table + 20 * (count + 2);
    const uint32_t name = importRva;  // free once the table has moved
    const std::string dll = "KERNEL32.dll";
    ASSERT_LE(tableEnd, va + rawSize) << "no slack in the import section";
    ASSERT_LE(dll.size() + 1, 20 * (count + 1)) << "the old table cannot hold the name";
    std::copy_n(b.begin() + fileOffset(importRva), 20 * count, b.begin() + fileOffset(table));
    std::copy_n(b.begin() + fileOffset(importRva + 20 * (count - 1)), 20, b.begin() + fileOffset(table + 20 * count));
    Put32(b, fileOffset(table + 20 * count) + 12, name);
    std::fill_n(b.begin() + fileOffset(table + 20 * (count + 1)), 20, 0);
    std::copy(dll.begin(), dll.end(), b.begin() + fileOffset(name));
    b[fileOffset(name) + dll.size()] = 0;
    Put32(b, h + 8, tableEnd - va);  // the section's virtual size covers the new table
    Put32(b, l.directory(1), table);
    Put32(b, l.directory(1) + 4, 20 * (count + 2));
    return;
  }
  FAIL() << "no section holds the import directory";
}

pecheck::Options GoodOptions() { return {"Talvrex", std::string(DRIVER_BANNER) + "\n"}; }

std::set<std::string> Failed(const pecheck::Report& r) {
  std::set<std::string> failed;
  for (const auto& c : r.checks) {
    if (!c.ok) failed.insert(c.name);
  }
  return failed;
}

class PeCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    good = ReadFile(GOOD_IMAGE);
    ASSERT_GT(good.size(), 4096u);
  }
  Bytes good;
};

TEST_F(PeCheck, TheLinkersImagePassesAndItsChecksumAgrees) {
  const pecheck::Report r = pecheck::CheckImage(good, GoodOptions());
  EXPECT_TRUE(r.ok()) << pecheck::ToText(r, GOOD_IMAGE);
  // The linker computed the stored checksum: an independent implementation.
  EXPECT_NE(r.storedChecksum, 0u);
  EXPECT_EQ(r.computedChecksum, r.storedChecksum);
  for (const char* check : {"machine", "subsystem", "entry point", "dynamic base", "relocations", "imports", "checksum",
                            "device name", "link name", "banner"}) {
    EXPECT_NE(r.find(check), nullptr) << check;
  }
  std::set<std::string> dlls, functions;
  for (const auto& i : r.imports) {
    dlls.insert(i.dll);
    functions.insert(i.functions.begin(), i.functions.end());
  }
  EXPECT_EQ(dlls, (std::set<std::string>{"ntoskrnl.exe", "HAL.dll"}));
  EXPECT_TRUE(functions.count("IoCreateDevice"));
  EXPECT_TRUE(functions.count("KeStallExecutionProcessor"));
}

TEST(PeChecksum, SumsWordsFoldsCarriesAndAddsTheLength) {
  // 0x0201 + 0x0003 (odd last byte padded) + length 3.
  EXPECT_EQ(pecheck::ComputeChecksum(Bytes{0x01, 0x02, 0x03}, 100), 0x0207u);
  // 0xFFFF + 0x0002 = 0x10001, folded to 0x0002, + length 4.
  EXPECT_EQ(pecheck::ComputeChecksum(Bytes{0xFF, 0xFF, 0x02, 0x00}, 100), 0x0006u);
  // The checksum field counts as zero.
  EXPECT_EQ(pecheck::ComputeChecksum(Bytes{0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x00}, 2), 0x000Bu);
}

// Each broken copy fails exactly the checks it breaks.
TEST_F(PeCheck, BrokenCopiesFailTheirCheck) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> patch;
    std::set<std::string> failing;
  };
  const Layout l(good);
  const std::vector<Case> cases = {
      {"checksum off by one", [&](Bytes& b) { Put32(b, l.checksum(), Get32(b, l.checksum()) + 1); }, {"checksum"}},
      {"a byte changed, checksum not updated", [&](Bytes& b) { b[b.size() - 1] ^= 0x01; }, {"checksum"}},
      {"an extra import", [&](Bytes& b) { AddImport(b); Reseal(b); }, {"imports"}},
      {"subsystem Windows GUI", [&](Bytes& b) { Put16(b, l.subsystem(), 2); Reseal(b); }, {"subsystem"}},
      {"machine i386", [&](Bytes& b) { Put16(b, l.coff, 0x14C); Reseal(b); }, {"machine"}},
      {"no entry point", [&](Bytes& b) { Put32(b, l.optional + 16, 0); Reseal(b); }, {"entry point"}},
      {"DYNAMIC_BASE clear",
       [&](Bytes& b) { Put16(b, l.dllCharacteristics(), Get16(b, l.dllCharacteristics()) & ~0x40); Reseal(b); },
       {"dynamic base"}},
      {"no relocation directory", [&](Bytes& b) { Put32(b, l.directory(5), 0); Put32(b, l.directory(5) + 4, 0); Reseal(b); },
       {"relocations"}},
      {"relocations stripped flag",
       [&](Bytes& b) { Put16(b, l.coff + 18, Get16(b, l.coff + 18) | 1); Reseal(b); }, {"relocations"}},
  };
  for (const Case& c : cases) {
    Bytes copy = good;
    c.patch(copy);
    if (HasFatalFailure()) return;
    const pecheck::Report r = pecheck::CheckImage(copy, GoodOptions());
    EXPECT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(Failed(r), c.failing) << c.what << "\n" << pecheck::ToText(r, c.what);
    if (std::string(c.what) == "an extra import") {
      ASSERT_EQ(r.imports.size(), 3u);
      EXPECT_EQ(r.imports[2].dll, "KERNEL32.dll");
    }
  }
}

TEST_F(PeCheck, AnotherProductsNamesOrVersionFail) {
  // Another product, a name that is the start of the real one, another case.
  for (const char* product : {"Orbenic", "Talv", "talvrex"}) {
    const pecheck::Report r = pecheck::CheckImage(good, {product, ""});
    EXPECT_EQ(Failed(r), (std::set<std::string>{"device name", "link name"})) << product;
  }
  const pecheck::Report r = pecheck::CheckImage(good, {"Talvrex", "qm4200.sys:  [version 1.508] DriverEntry complete\n"});
  EXPECT_EQ(Failed(r), std::set<std::string>{"banner"});
}

TEST_F(PeCheck, TruncatedAndForeignFilesFailWithoutReadingPastTheEnd) {
  for (size_t length : {size_t(0), size_t(2), size_t(63), size_t(0x80), size_t(0x100), size_t(0x200), size_t(0x400),
                        good.size() / 2, good.size() - 1}) {
    const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_FALSE(pecheck::CheckImage(cut, GoodOptions()).ok()) << length;
  }
  Bytes text(4096, 'x');
  const pecheck::Report r = pecheck::CheckImage(text, GoodOptions());
  EXPECT_EQ(Failed(r), std::set<std::string>{"format"});
  // Headers that point far outside the file.
  Bytes wild = good;
  Put32(wild, 0x3C, 0xFFFFFFF0u);
  EXPECT_EQ(Failed(pecheck::CheckImage(wild, GoodOptions())), std::set<std::string>{"format"});
  wild = good;
  Put32(wild, Layout(good).directory(1), 0x7FFFFFF0u);
  EXPECT_TRUE(Failed(pecheck::CheckImage(wild, GoodOptions())).count("imports"));
}

// The command line: exit status 0, 1 or 2, and the JSON the manifest reads.
TEST_F(PeCheck, CommandLineExitStatusAndJson) {
  const auto dir = std::filesystem::temp_directory_path() / ("pecheck-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  Bytes broken = good;
  Put16(broken, Layout(good).subsystem(), 3);
  Reseal(broken);
  WriteFile((dir / "Talvrex.sys").string(), good);
  WriteFile((dir / "broken.sys").string(), broken);
  auto run = [&](const std::string& args) {
    const std::string command = std::string(PECHECK_PATH) + " " + args + " > " + (dir / "out.txt").string() + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  auto out = [&] {
    std::ifstream in(dir / "out.txt");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  // The product defaults to the file's name.
  EXPECT_EQ(run("--json " + (dir / "Talvrex.sys").string()), 0);
  EXPECT_NE(out().find("\"ok\": true"), std::string::npos) << out();
  EXPECT_NE(out().find("\"ntoskrnl.exe\": [\""), std::string::npos) << out();
  EXPECT_EQ(run("--product Talvrex " + (dir / "broken.sys").string()), 1);
  EXPECT_NE(out().find("FAIL  subsystem"), std::string::npos) << out();
  EXPECT_EQ(run("--quiet " + (dir / "Talvrex.sys").string()), 0);
  EXPECT_EQ(out(), "");
  EXPECT_EQ(run((dir / "missing.sys").string()), 2);
  EXPECT_EQ(run("--bogus"), 2);
  std::filesystem::remove_all(dir);
}

}  // namespace
