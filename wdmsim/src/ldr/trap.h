// Instructions of a PE image that a user-mode host cannot run as the kernel
// would, trapped and carried out: reading CR8 (the kit's inline
// KeGetCurrentIrql), loads from the shared user data page (its inline
// KeQuerySystemTime and tick count), and loads and stores into a mapped
// register window, which reach the device as register accesses.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace wdmsim::ldr {

class PeImage;

// The code of a mapped PE image: faults there are decoded. Up to 64 images.
// `pe` (null for bare code in the tests) is the image's mapping.
void RegisterImageCode(const void* begin, size_t size, const char* name, const PeImage* pe = nullptr);
void UnregisterImageCode(const void* begin);
// The mapped image whose code holds `pc`, or null.
const PeImage* PeImageAt(uint64_t pc);

// What the trap handler does with a decoded access: answers of the
// simulated machine (set by the HAL and the kernel when they start).
struct TrapTargets {
  bool (*isRegister)(uint64_t address);
  uint32_t (*readRegister)(uint64_t address, const void* caller);
  void (*writeRegister)(uint64_t address, uint32_t value, const void* caller);
  uint8_t (*irql)();
  int64_t (*systemTime)();     // 100 ns units, reading it costs what KeQuerySystemTime costs
  int64_t (*interruptTime)();  // 100 ns units since boot
  bool (*isUserAddress)(const void* address);
  // Raises KMODE_EXCEPTION_NOT_HANDLED for `status` at `pc`; throws.
  void (*bugCheck)(uint32_t status, uint64_t pc, const char* why);
};
void SetTrapTargets(const TrapTargets& targets);

// From the SIGSEGV handler: true when the fault is in a PE image's code.
// The instruction was then carried out (the context resumes after it), or
// it could not be and the machine stopped: the bug check goes to where
// wdmsim called into the image (ldr/imports.h).
bool EmulateImageInstruction(siginfo_t* info, ucontext_t* context);

// The decoding itself, for the tests: `code` holds the instruction.
struct DecodedAccess {
  enum Kind { kLoad, kStore, kReadCr8, kAssertion, kUnknown } kind = kUnknown;
  int length = 0;           // bytes
  int width = 0;            // bytes accessed (kLoad, kStore)
  int reg = -1;             // register loaded or stored (x86 number), -1 for an immediate
  bool highByte = false;    // AH, CH, DH or BH
  bool zeroExtend = false;  // the load writes the whole register (32-bit loads, movzx)
  uint64_t immediate = 0;
  uint64_t address = 0;     // effective address
};
// `registers` are the 16 general registers in x86 order (RAX, RCX, ...);
// `rip` the instruction's address.
DecodedAccess Decode(const uint8_t* code, const uint64_t registers[16], uint64_t rip);

// The general registers in x86 order (RAX, RCX, RDX, RBX, RSP, RBP, RSI,
// RDI, R8..R15) as a signal context's gregs indices.
inline constexpr int kContextRegister[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                             REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// The shared user data page of the kernel, as the kit's inline routines
// read it.
constexpr uint64_t kSharedUserData = 0xFFFFF78000000000ull;

}  // namespace wdmsim::ldr
