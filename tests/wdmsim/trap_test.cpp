// The instructions of a shipped image that a user-mode host cannot run as
// the kernel would: the decoder, and the trap that carries them out, on
// code placed in a page registered as image code.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/plug.h"
#include "ldr/imports.h"
#include "ldr/trap.h"
#include "wdmsim/kernel.h"

namespace {

using wdmsim::ldr::DecodedAccess;

struct DecodeCase {
  const char* what;
  std::vector<uint8_t> code;
  DecodedAccess::Kind kind;
  int length, width, reg;
  uint64_t address;
  bool highByte = false;
  uint64_t immediate = 0;
};

TEST(TrapDecodeTest, TheFormsCompilersEmitForTheseAccesses) {
  // Registers: RAX=0x1000, RCX=0x2000, ..., R15=0x10000 (n+1) * 0x1000.
  uint64_t registers[16];
  for (int i = 0; i < 16; ++i) registers[i] = (i + 1) * 0x1000ull;
  const uint64_t rip = 0x400000;
  const std::vector<DecodeCase> cases = {
      {"mov rax, cr8", {0x44, 0x0F, 0x20, 0xC0}, DecodedAccess::kReadCr8, 4, 0, 0, 0},
      {"mov rdx, cr8", {0x44, 0x0F, 0x20, 0xC2}, DecodedAccess::kReadCr8, 4, 0, 2, 0},
      {"movabs rax, [moffs64]", {0x48, 0xA1, 0x14, 0, 0, 0, 0x80, 0xF7, 0xFF, 0xFF}, DecodedAccess::kLoad, 10, 8, 0,
       0xFFFFF78000000014ull},
      {"mov r12, [rdi]", {0x4C, 0x8B, 0x27}, DecodedAccess::kLoad, 3, 8, 12, 0x8000},
      {"mov rax, [r13+0]", {0x49, 0x8B, 0x45, 0x00}, DecodedAccess::kLoad, 4, 8, 0, 0xE000},
      {"mov edx, [rax]", {0x8B, 0x10}, DecodedAccess::kLoad, 2, 4, 2, 0x1000},
      {"mov [rax], edx", {0x89, 0x10}, DecodedAccess::kStore, 2, 4, 2, 0x1000},
      {"mov dword [rax], imm32", {0xC7, 0x00, 0x78, 0x56, 0x34, 0x12}, DecodedAccess::kStore, 6, 4, -1, 0x1000, false,
       0x12345678},
      {"mov dword [r14+4], 0", {0x41, 0xC7, 0x46, 0x04, 0, 0, 0, 0}, DecodedAccess::kStore, 8, 4, -1, 0xF004},
      {"mov qword [rax], -1", {0x48, 0xC7, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, DecodedAccess::kStore, 7, 8, -1, 0x1000,
       false, ~0ull},
      {"mov [rax+8], dx", {0x66, 0x89, 0x50, 0x08}, DecodedAccess::kStore, 4, 2, 2, 0x1008},
      {"mov [rax+1], ah", {0x88, 0x60, 0x01}, DecodedAccess::kStore, 3, 1, 0, 0x1001, true},
      {"mov [rax+1], spl", {0x40, 0x88, 0x60, 0x01}, DecodedAccess::kStore, 4, 1, 4, 0x1001},
      {"mov byte [rcx], 7", {0xC6, 0x01, 0x07}, DecodedAccess::kStore, 3, 1, -1, 0x2000, false, 7},
      {"mov eax, [rsp+0x3c]", {0x8B, 0x44, 0x24, 0x3C}, DecodedAccess::kLoad, 4, 4, 0, 0x503C},
      {"mov eax, [rcx*4+0x10]", {0x8B, 0x04, 0x8D, 0x10, 0, 0, 0}, DecodedAccess::kLoad, 7, 4, 0, 0x8010},
      {"mov eax, [rbx+rsi*2+0x100]", {0x8B, 0x84, 0x73, 0x00, 0x01, 0, 0}, DecodedAccess::kLoad, 7, 4, 0, 0x12100},
      {"mov eax, [rip+0x10]", {0x8B, 0x05, 0x10, 0, 0, 0}, DecodedAccess::kLoad, 6, 4, 0, rip + 6 + 0x10},
      {"movzx eax, byte [rax+2]", {0x0F, 0xB6, 0x40, 0x02}, DecodedAccess::kLoad, 4, 1, 0, 0x1002},
      {"int 0x2c", {0xCD, 0x2C}, DecodedAccess::kAssertion, 2, 0, -1, 0},
      {"mov cr0, rax", {0x0F, 0x22, 0xC0}, DecodedAccess::kUnknown, 0, 0, -1, 0},
      {"lock xadd [rsi], edx", {0xF0, 0x0F, 0xC1, 0x16}, DecodedAccess::kUnknown, 0, 0, -1, 0},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> code = c.code;
    code.resize(16, 0x90);
    const DecodedAccess d = wdmsim::ldr::Decode(code.data(), registers, rip);
    EXPECT_EQ(d.kind, c.kind) << c.what;
    EXPECT_EQ(d.length, c.length) << c.what;
    if (c.kind == DecodedAccess::kLoad || c.kind == DecodedAccess::kStore) {
      EXPECT_EQ(d.width, c.width) << c.what;
      EXPECT_EQ(d.address, c.address) << c.what;
      EXPECT_EQ(d.highByte, c.highByte) << c.what;
      if (c.reg >= 0) EXPECT_EQ(d.reg, c.reg) << c.what;
      if (c.reg < 0) EXPECT_EQ(d.immediate, c.immediate) << c.what;
    }
    if (c.kind == DecodedAccess::kReadCr8) EXPECT_EQ(d.reg, c.reg) << c.what;
  }
}

// A page of "image" code: each snippet a routine of the Windows convention
// (arguments in RCX and RDX), called the way wdmsim calls driver code.
class ImageCode {
 public:
  using Routine = uint64_t(__attribute__((ms_abi)) *)(uint64_t, uint64_t);
  ImageCode() {
    page_ = static_cast<uint8_t*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  }
  ~ImageCode() {
    wdmsim::ldr::UnregisterImageCode(page_);
    munmap(page_, 4096);
  }
  Routine Add(std::vector<uint8_t> bytes) {
    std::memcpy(page_ + used_, bytes.data(), bytes.size());
    auto* routine = reinterpret_cast<Routine>(page_ + used_);
    used_ += (bytes.size() + 15) & ~size_t{15};
    return routine;
  }
  void Seal() {
    mprotect(page_, 4096, PROT_READ | PROT_EXEC);
    wdmsim::ldr::RegisterImageCode(page_, 4096, "trap-test.sys");
  }
  static uint64_t Call(Routine r, uint64_t a = 0, uint64_t b = 0) { return wdmsim::ldr::CallDriver(r, a, b); }

 private:
  uint8_t* page_;
  size_t used_ = 0;
};

class TrapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel = std::make_unique<wdmsim::Kernel>(wdmsim::Options{});
    slot = &card::PlugCardWithoutDriver(*kernel);
    auto lists = kernel->DefaultResources(*slot);
    window = lists.translated[1].u.Memory;
    regs = static_cast<uint8_t*>(MmMapIoSpace(window.Start, window.Length, MmNonCached));
    ASSERT_NE(regs, nullptr);
  }
  void TearDown() override {
    if (!expectBugCheck) {
      MmUnmapIoSpace(regs, window.Length);
      EXPECT_EQ(kernel->BugCheckReport(), "");
    }
    kernel.reset();
  }
  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::Slot* slot = nullptr;
  decltype(CM_PARTIAL_RESOURCE_DESCRIPTOR::u.Memory) window{};
  uint8_t* regs = nullptr;
  bool expectBugCheck = false;
};

TEST_F(TrapTest, IrqlAndSystemTimeReadInlineAnswerTheSimulatedMachine) {
  ImageCode code;
  auto irql = code.Add({0x44, 0x0F, 0x20, 0xC0, 0xC3});  // mov rax, cr8; ret
  auto time = code.Add({0x48, 0xA1, 0x14, 0, 0, 0, 0x80, 0xF7, 0xFF, 0xFF, 0xC3});  // mov rax, [SystemTime]; ret
  code.Seal();
  EXPECT_EQ(ImageCode::Call(irql), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(ImageCode::Call(irql), DISPATCH_LEVEL);
  KeLowerIrql(old);
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  const uint64_t read = ImageCode::Call(time);
  KeQuerySystemTime(&after);
  // Each read costs 1 µs of simulated time, as a call of KeQuerySystemTime does.
  EXPECT_EQ(read, static_cast<uint64_t>(before.QuadPart) + 10);
  EXPECT_EQ(static_cast<uint64_t>(after.QuadPart), read + 10);
}

TEST_F(TrapTest, RegisterLoadsAndStoresReachTheCardInOrderAtTheirWidth) {
  ImageCode code;
  auto store32 = code.Add({0x89, 0x11, 0xC3});        // mov [rcx], edx; ret
  auto load32 = code.Add({0x8B, 0x01, 0xC3});         // mov eax, [rcx]; ret
  auto store64 = code.Add({0x48, 0x89, 0x11, 0xC3});  // mov [rcx], rdx; ret
  code.Seal();
  card::Card& c = card::CardIn(*slot);
  c.ClearAccessLog();
  constexpr uint64_t kScratch = 0x6000;  // two plain read-write registers
  const auto at = reinterpret_cast<uint64_t>(regs + kScratch);
  ImageCode::Call(store32, at, __builtin_bswap32(0x11223344));
  const uint32_t back = static_cast<uint32_t>(ImageCode::Call(load32, at));
  ImageCode::Call(store64, at, (uint64_t{__builtin_bswap32(0xBBBB0002)} << 32) | __builtin_bswap32(0xAAAA0001));
  const auto log = c.AccessLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].kind, card::MmioAccess::Kind::kWrite);
  EXPECT_EQ(log[0].offset, kScratch);
  EXPECT_EQ(log[1].kind, card::MmioAccess::Kind::kRead);
  EXPECT_EQ(back, __builtin_bswap32(log[1].value));  // what the card answered, as the bus carries it
  EXPECT_EQ(log[2].offset, kScratch);  // a 64-bit store: the low dword first
  EXPECT_EQ(log[2].value, 0xAAAA0001u);
  EXPECT_EQ(log[3].offset, kScratch + 4);
  EXPECT_EQ(log[3].value, 0xBBBB0002u);
}

// What cannot be carried out stops the machine with a bug check 0x1E that
// names the image offset and the instruction: an instruction the decoder
// does not know, and a load from memory that is neither a register window
// nor the shared page (an access violation nothing handles).
struct RefusalCase {
  const char* what;
  std::vector<uint8_t> code;
  uint64_t rcx;
  const char* stop;  // the bug check and its exception code
  const char* said;
};

class TrapRefusalTest : public TrapTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(TrapRefusalTest, StopsTheMachineNamingTheInstructionAndItsOffset) {
  ImageCode code;
  code.Add({0x90, 0xC3});
  auto bad = code.Add(GetParam().code);
  code.Seal();
  expectBugCheck = true;
  EXPECT_THROW(ImageCode::Call(bad, GetParam().rcx), wdmsim::BugCheck);
  const std::string report = kernel->BugCheckReport();
  EXPECT_NE(report.find(GetParam().stop), std::string::npos) << report;
  EXPECT_NE(report.find(GetParam().said), std::string::npos) << report;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrapRefusalTest,
    ::testing::Values(RefusalCase{"unknown", {0x0F, 0x22, 0xC0, 0xC3}, 0, "STOP: 0x0000001E (0x00000000C0000005",
                                  "cannot carry out for a kernel image at trap-test.sys+0x10 (instruction bytes 0F 22 C0 C3"},
                      RefusalCase{"stray", {0x8B, 0x01, 0xC3}, 0x10, "STOP: 0x0000001E (0x00000000C0000005",
                                  "access violation reading 0x0000000000000010 at trap-test.sys+0x10 (instruction bytes 8B 01 C3"},
                      // A checked build's assertion: STATUS_ASSERTION_FAILURE.
                      RefusalCase{"assertion", {0xCD, 0x2C, 0xC3}, 0, "STOP: 0x0000001E (0x00000000C0000420",
                                  "assertion failed (int 0x2c) at trap-test.sys+0x10 (instruction bytes CD 2C C3"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
