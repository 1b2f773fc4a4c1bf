// Exceptions dispatched to a PE image's own __except and __finally blocks
// through its unwind data, on an image another compiler built for the
// purpose (tests/seh_image/seh_image.c): each case's outcome is a line of
// its DbgPrint output.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ldr/seh.h"
#include "wdmsim/kernel.h"

namespace {

using wdmsim::ldr::FrameContext;
using wdmsim::ldr::RuntimeFunction;

// Three functions as compilers lay them out, with their unwind data, in a
// buffer standing for an image; a stack whose entry RSP is `top`, holding
// the return address. Each case stops a function at one instruction (in
// its prologue, body or epilogue), with the stack and registers as running
// it that far leaves them, and unwinds it: the caller's RIP, RSP and
// nonvolatile registers must come back whatever the stop.
struct UnwindCase {
  uint32_t rva;
  int rspBelowTop;               // bytes below the entry RSP
  std::vector<int> pushed;       // registers (by number) whose caller values are on the stack, first pushed first
  std::vector<int> callerValue;  // registers still holding the caller's value
  int frameBase = 0;             // RBP = top - frameBase, when RBP is the function's frame register
};

TEST(UnwindTest, EveryInstructionOfPrologueBodyAndEpilogueUnwindsToTheCaller) {
  std::vector<uint8_t> image(0x300, 0xCC);
  auto put = [&](uint32_t at, std::vector<uint8_t> bytes) { std::copy(bytes.begin(), bytes.end(), image.begin() + at); };
  // A: push rbx; push rsi; sub rsp, 28h; nop; add rsp, 28h; pop rsi; pop rbx; ret
  put(0x100, {0x53, 0x56, 0x48, 0x83, 0xEC, 0x28, 0x90, 0x48, 0x83, 0xC4, 0x28, 0x5E, 0x5B, 0xC3});
  put(0x200, {0x01, 6, 3, 0x00, 6, 0x42, 2, 0x60, 1, 0x30});
  // B, with RBP as frame register at RSP + 10h: push rbp; sub rsp, 20h;
  // lea rbp, [rsp + 10h]; nop; lea rsp, [rbp + 10h]; pop rbp; ret
  put(0x120, {0x55, 0x48, 0x83, 0xEC, 0x20, 0x48, 0x8D, 0x6C, 0x24, 0x10, 0x90, 0x48, 0x8D, 0x65, 0x10, 0x5D, 0xC3});
  put(0x220, {0x01, 10, 3, 0x15, 10, 0x03, 5, 0x32, 1, 0x50});
  // C, ending in a tail call: sub rsp, 28h; nop; add rsp, 28h; jmp (out of the function)
  put(0x140, {0x48, 0x83, 0xEC, 0x28, 0x90, 0x48, 0x83, 0xC4, 0x28, 0xE9, 0x00, 0x01, 0x00, 0x00});
  put(0x240, {0x01, 4, 1, 0x00, 4, 0x42});
  const RuntimeFunction a{0x100, 0x10E, 0x200}, b{0x120, 0x131, 0x220}, c{0x140, 0x14E, 0x240};

  const std::vector<std::pair<RuntimeFunction, UnwindCase>> cases = {
      {a, {0x100, 0, {}, {3, 6}}},       // at entry
      {a, {0x101, 8, {3}, {6}}},         // after push rbx
      {a, {0x102, 16, {3, 6}, {}}},      // after push rsi
      {a, {0x106, 56, {3, 6}, {}}},      // body
      {a, {0x107, 56, {3, 6}, {}}},      // epilogue: add rsp
      {a, {0x10B, 16, {3, 6}, {}}},      // epilogue: pop rsi
      {a, {0x10C, 8, {3}, {6}}},         // epilogue: pop rbx
      {a, {0x10D, 0, {}, {3, 6}}},       // epilogue: ret
      {b, {0x121, 8, {5}, {5}}},         // after push rbp, the frame not yet set
      {b, {0x125, 40, {5}, {5}}},        // after sub: RBP still the caller's
      {b, {0x12A, 72, {5}, {}, 24}},     // body, 32 more bytes allocated since (alloca): found through RBP
      {b, {0x12B, 72, {5}, {}, 24}},     // epilogue: lea rsp, [rbp + 10h]
      {b, {0x12F, 8, {5}, {}, 24}},      // epilogue: pop rbp
      {b, {0x130, 0, {}, {5}}},          // epilogue: ret
      {c, {0x144, 40, {}, {}}},          // body
      {c, {0x149, 0, {}, {}}},           // the tail call's jmp
  };
  constexpr uint64_t kReturn = 0x7A7A7A7A, kGarbage = 0xBADBADBAD;
  for (const auto& [function, k] : cases) {
    SCOPED_TRACE(testing::Message() << "at 0x" << std::hex << k.rva);
    std::vector<uint64_t> stack(64, kGarbage);
    const uint64_t top = reinterpret_cast<uint64_t>(&stack[48]);
    stack[48] = kReturn;
    uint64_t caller[16];
    for (int r = 0; r < 16; ++r) caller[r] = reinterpret_cast<uint64_t>(&stack[r]);  // values a wrong unwind can load through
    FrameContext frame;
    frame.rip = reinterpret_cast<uint64_t>(image.data()) + k.rva;
    for (int r = 0; r < 16; ++r) frame.regs[r] = kGarbage + r;
    for (int r : k.callerValue) frame.regs[r] = caller[r];
    for (size_t i = 0; i < k.pushed.size(); ++i) stack[47 - i] = caller[k.pushed[i]];
    frame.regs[4] = top - k.rspBelowTop;
    if (k.frameBase != 0) frame.regs[5] = top - k.frameBase;
    wdmsim::ldr::VirtualUnwind(image.data(), function, frame);
    EXPECT_EQ(frame.rip, kReturn);
    EXPECT_EQ(frame.regs[4], top + 8);
    for (int r : {3, 5, 6}) {
      if (std::count(k.pushed.begin(), k.pushed.end(), r) || std::count(k.callerValue.begin(), k.callerValue.end(), r))
        EXPECT_EQ(frame.regs[r], caller[r]) << "register " << r;
    }
  }
}

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
      // The filter finds the faulting address in a register of the context
      // (which register is the compiler's choice) and repoints it.
      image.DbgLines().size() > 7 ? image.DbgLines()[7] : "5 filter: missing",
      "5 continued, target 5",              // the store ran again, where the filter pointed it
      "6 filter 0xC0000005",                // asked to continue a raised status...
      "6 filter 0xC0000025",                // ...the same filter gets STATUS_NONCONTINUABLE_EXCEPTION
      "6 caught 0xC0000025",
      "7 filter: read at 0x20",             // a fault inside RtlCopyMemory, with the record's address
      "7 caught 0xC0000005",
      "done",
  };
  EXPECT_EQ(image.DbgLines(), expected);
  ASSERT_GT(image.DbgLines().size(), 7u);
  EXPECT_TRUE(image.DbgLines()[7].starts_with("5 filter: write at 0x18, register ")) << image.DbgLines()[7];
  EXPECT_EQ(kernel->BugCheckReport(), "");
  kernel->UnloadDriver(image);
  EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
}

}  // namespace
