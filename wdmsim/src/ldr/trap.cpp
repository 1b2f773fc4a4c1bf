// The trap-and-emulate half of running a PE image (trap.h).
//
// Notes:
//  1. The handler runs on the faulting thread, synchronously, in place of
//     one instruction of driver code: it may call into wdmsim as that code
//     would have called a kernel routine (the kit's inline routines stand
//     for one), but never while wdmsim itself holds a lock, since the
//     interrupted code is the image's.
//  2. Decoding covers what compilers emit for these accesses: the legacy
//     operand-size prefix 0x66, REX, MOV in its load (8B, 8A), store (89,
//     88), immediate-store (C7, C6) and absolute-address (A1, A3) forms,
//     MOVZX (0F B6, 0F B7), ModRM with SIB and 8- or 32-bit displacements
//     and RIP-relative operands, MOV from CR8 (0F 20), and INT 0x2C.
//  3. The card decodes 32-bit register accesses. A 64-bit access reaches it
//     as two, low dword first, as a 64-bit access splits on a 32-bit
//     register file; narrower ones are refused.
#include "ldr/trap.h"

#include "ldr/imports.h"
#include "ldr/pe_image.h"
#include "ldr/seh.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <unistd.h>

namespace wdmsim::ldr {

namespace {

struct ImageCode {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  const char* name = nullptr;
  const PeImage* pe = nullptr;
};
ImageCode gImages[64];
TrapTargets gTargets{};
constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kAssertionFailure = 0xC0000420;


const ImageCode* ImageAt(uintptr_t pc) {
  for (const ImageCode& image : gImages) {
    if (pc >= image.begin.load(std::memory_order_acquire) && pc < image.end.load(std::memory_order_acquire)) {
      return &image;
    }
  }
  return nullptr;
}

// A stop for an instruction in image code that cannot be carried out: a
// bug check naming the image offset and the instruction's bytes. It throws;
// the caller hands it past the image's frames.
[[noreturn]] void Refuse(const ImageCode& image, uintptr_t pc, uint32_t status, const char* why) {
  char text[384];
  const uint8_t* b = reinterpret_cast<const uint8_t*>(pc);
  const std::string function = image.pe != nullptr ? image.pe->FunctionAt(reinterpret_cast<const void*>(pc)) : "";
  std::snprintf(text, sizeof text, "%s at %s+0x%lX%s%s%s (instruction bytes %02X %02X %02X %02X %02X %02X %02X %02X)",
                why, image.name, static_cast<unsigned long>(pc - image.begin.load()), function.empty() ? "" : " (",
                function.c_str(), function.empty() ? "" : ")", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
  gTargets.bugCheck(status, pc, text);
  std::abort();  // bugCheck does not return
}

uint64_t SharedDataRead(uint64_t offset, int width) {
  // The parts of KUSER_SHARED_DATA the kit's inline routines read:
  // InterruptTime at 0x08 and SystemTime at 0x14 (each a KSYSTEM_TIME:
  // low, high, high again) and the tick count at 0x320.
  uint8_t page[0x330] = {};
  const bool time = offset < 0x20;
  const int64_t system = time && offset >= 0x14 ? gTargets.systemTime() : 0;
  const int64_t interrupt = gTargets.interruptTime();
  auto putTime = [&](size_t at, int64_t value) {
    const uint32_t low = static_cast<uint32_t>(value), high = static_cast<uint32_t>(value >> 32);
    std::memcpy(page + at, &low, 4);
    std::memcpy(page + at + 4, &high, 4);
    std::memcpy(page + at + 8, &high, 4);
  };
  putTime(0x08, interrupt);
  putTime(0x14, system);
  const uint64_t ticks = static_cast<uint64_t>(interrupt) / 156'250;  // 15.625 ms
  std::memcpy(page + 0x320, &ticks, 8);
  uint64_t value = 0;
  if (offset + width <= sizeof page) std::memcpy(&value, page + offset, width);
  return value;
}

}  // namespace

void RegisterImageCode(const void* begin, size_t size, const char* name, const PeImage* pe) {
  for (ImageCode& image : gImages) {
    uintptr_t none = 0;
    if (image.begin.compare_exchange_strong(none, reinterpret_cast<uintptr_t>(begin))) {
      image.name = name;
      image.pe = pe;
      image.end.store(reinterpret_cast<uintptr_t>(begin) + size, std::memory_order_release);
      return;
    }
  }
  std::fprintf(stderr, "wdmsim: too many PE images mapped at once\n");
  std::abort();
}

void UnregisterImageCode(const void* begin) {
  for (ImageCode& image : gImages) {
    if (image.begin.load() == reinterpret_cast<uintptr_t>(begin)) {
      image.end.store(0, std::memory_order_release);
      image.begin.store(0, std::memory_order_release);
    }
  }
}

void SetTrapTargets(const TrapTargets& targets) { gTargets = targets; }

bool IsImageCode(const void* code) { return ImageAt(reinterpret_cast<uintptr_t>(code)) != nullptr; }

const PeImage* PeImageAt(uint64_t pc) {
  const ImageCode* image = ImageAt(pc);
  return image != nullptr ? image->pe : nullptr;
}

DecodedAccess Decode(const uint8_t* code, const uint64_t registers[16], uint64_t rip) {
  DecodedAccess d;
  const uint8_t* p = code;
  bool operand16 = false;
  while (*p == 0x66) operand16 = true, ++p;
  uint8_t rex = 0;
  if ((*p & 0xF0) == 0x40) rex = *p++;
  const bool w = rex & 8, r = rex & 4, x = rex & 2, b = rex & 1;
  const int wordWidth = w ? 8 : operand16 ? 2 : 4;

  bool ripRelative = false;
  auto modrm = [&](int& reg) -> bool {  // reads ModRM (+ SIB, displacement) into d.address
    const uint8_t m = *p++;
    const int mod = m >> 6, rm = m & 7;
    reg = ((m >> 3) & 7) | (r ? 8 : 0);
    if (mod == 3) return false;
    uint64_t address = 0;
    if (rm == 4) {
      const uint8_t sib = *p++;
      const int index = ((sib >> 3) & 7) | (x ? 8 : 0), base = (sib & 7) | (b ? 8 : 0);
      if (index != 4) address += registers[index] << (sib >> 6);
      if ((sib & 7) == 5 && mod == 0) {
        int32_t disp;
        std::memcpy(&disp, p, 4), p += 4;
        address += static_cast<int64_t>(disp);
      } else {
        address += registers[base];
      }
    } else if (rm == 5 && mod == 0) {
      ripRelative = true;
    } else {
      address += registers[rm | (b ? 8 : 0)];
    }
    if (mod == 1) {
      address += static_cast<int64_t>(static_cast<int8_t>(*p++));
    } else if (mod == 2 || ripRelative) {
      int32_t disp;
      std::memcpy(&disp, p, 4), p += 4;
      address += static_cast<int64_t>(disp);
    }
    d.address = address;
    return true;
  };
  auto finish = [&](DecodedAccess::Kind kind) {
    d.kind = kind;
    d.length = static_cast<int>(p - code);
    if (ripRelative) d.address += rip + d.length;  // relative to the next instruction
    return d;
  };
  // A byte register without REX: numbers 4-7 are AH, CH, DH, BH.
  auto byteRegister = [&](int reg) {
    d.highByte = rex == 0 && reg >= 4;
    d.reg = d.highByte ? reg - 4 : reg;
  };

  const uint8_t op = *p++;
  int reg = 0;
  switch (op) {
    case 0x8B:  // mov r, r/m
    case 0x8A:  // mov r8, r/m8
    case 0x89:  // mov r/m, r
    case 0x88:  // mov r/m8, r8
      if (!modrm(reg)) break;
      if (op == 0x8A || op == 0x88) {
        d.width = 1;
        byteRegister(reg);
      } else {
        d.width = wordWidth;
        d.reg = reg;
      }
      d.zeroExtend = d.width == 4;
      return finish(op == 0x8B || op == 0x8A ? DecodedAccess::kLoad : DecodedAccess::kStore);
    case 0xC7:  // mov r/m, imm
    case 0xC6: {  // mov r/m8, imm8
      if (!modrm(reg) || (reg & 7) != 0) break;
      d.width = op == 0xC6 ? 1 : wordWidth;
      const int immBytes = op == 0xC6 ? 1 : operand16 ? 2 : 4;
      int64_t imm = 0;
      if (immBytes == 1) imm = static_cast<int8_t>(p[0]);
      if (immBytes == 2) imm = static_cast<int16_t>(p[0] | p[1] << 8);
      if (immBytes == 4) {
        int32_t v;
        std::memcpy(&v, p, 4);
        imm = v;
      }
      p += immBytes;
      d.reg = -1;
      d.immediate = static_cast<uint64_t>(imm);  // sign-extended, as the CPU does for a 64-bit store
      return finish(DecodedAccess::kStore);
    }
    case 0xA1:  // mov rax, [moffs64]
    case 0xA3: {  // mov [moffs64], rax
      std::memcpy(&d.address, p, 8), p += 8;
      d.width = wordWidth;
      d.reg = 0;
      d.zeroExtend = d.width == 4;
      return finish(op == 0xA1 ? DecodedAccess::kLoad : DecodedAccess::kStore);
    }
    case 0x0F: {
      const uint8_t op2 = *p++;
      if (op2 == 0x20) {  // mov r64, crN
        const uint8_t m = *p++;
        if ((m >> 6) != 3 || (((m >> 3) & 7) | (r ? 8 : 0)) != 8) break;
        d.reg = (m & 7) | (b ? 8 : 0);
        return finish(DecodedAccess::kReadCr8);
      }
      if (op2 == 0xB6 || op2 == 0xB7) {  // movzx r, r/m8 or r/m16
        if (!modrm(reg)) break;
        d.width = op2 == 0xB6 ? 1 : 2;
        d.reg = reg;
        d.zeroExtend = true;
        return finish(DecodedAccess::kLoad);
      }
      break;
    }
    case 0xCD:
      if (*p == 0x2C) {
        ++p;
        return finish(DecodedAccess::kAssertion);
      }
      break;
    default:
      break;
  }
  d.kind = DecodedAccess::kUnknown;
  d.length = 0;
  return d;
}

namespace {

// Carries out one decoded instruction of `image` on the interrupted
// context; throws a bug check for one that cannot be.
void CarryOut(const ImageCode& image, const DecodedAccess& d, greg_t* gregs, const uint64_t registers[16],
              uintptr_t pc, const void* faultAddress) {
  const void* caller = reinterpret_cast<const void*>(pc);
  auto writeRegister = [&](uint64_t value, int width, bool zeroExtend) {
    uint64_t& target = reinterpret_cast<uint64_t&>(gregs[kContextRegister[d.reg]]);
    if (d.highByte) {
      target = (target & ~0xFF00ull) | ((value & 0xFF) << 8);
    } else if (width == 8) {
      target = value;
    } else {
      const uint64_t mask = (1ull << (8 * width)) - 1;
      target = zeroExtend ? value & mask : (target & ~mask) | (value & mask);
    }
  };
  auto storedValue = [&]() -> uint64_t {
    if (d.reg < 0) return d.immediate;
    const uint64_t value = registers[d.reg];
    return d.highByte ? (value >> 8) & 0xFF : value;
  };

  switch (d.kind) {
    case DecodedAccess::kReadCr8:
      writeRegister(gTargets.irql(), 8, true);
      return;
    case DecodedAccess::kAssertion:
      Refuse(image, pc, kAssertionFailure, "assertion failed (int 0x2c)");
    case DecodedAccess::kUnknown:
      Refuse(image, pc, kAccessViolation, "an instruction wdmsim cannot carry out for a kernel image");
    case DecodedAccess::kLoad:
    case DecodedAccess::kStore:
      break;
  }
  const bool load = d.kind == DecodedAccess::kLoad;
  if (d.address >= kSharedUserData && d.address < kSharedUserData + 0x1000) {
    if (!load) Refuse(image, pc, kAccessViolation, "store into the shared user data page");
    writeRegister(SharedDataRead(d.address - kSharedUserData, d.width), d.width, d.zeroExtend);
    return;
  }
  if (!gTargets.isRegister(d.address)) {
    // Driver code touched memory that is neither: an access violation
    // that nothing handles.
    char why[96];
    std::snprintf(why, sizeof why, "access violation %s 0x%016lX", load ? "reading" : "writing",
                  reinterpret_cast<unsigned long>(faultAddress));
    Refuse(image, pc, kAccessViolation, why);
  }
  if (d.width != 4 && d.width != 8) Refuse(image, pc, kAccessViolation, "register access narrower than 32 bits");
  if (load) {
    uint64_t value = gTargets.readRegister(d.address, caller);
    if (d.width == 8) value |= static_cast<uint64_t>(gTargets.readRegister(d.address + 4, caller)) << 32;
    writeRegister(value, d.width, d.zeroExtend);
  } else {
    const uint64_t value = storedValue();
    gTargets.writeRegister(d.address, static_cast<uint32_t>(value), caller);
    if (d.width == 8) gTargets.writeRegister(d.address + 4, static_cast<uint32_t>(value >> 32), caller);
  }
}

}  // namespace

namespace {
constexpr uintptr_t kNullPageBytes = 0x10000;
}  // namespace

bool EmulateImageInstruction(siginfo_t* info, ucontext_t* context) {
  // A fault on user memory, in the image's code or in a kernel routine it
  // called, goes to the image's __except when one covers it (ldr/seh.h).
  // The first 64 KiB are user addresses no process ever maps: a kernel
  // routine handed a null pointer by the image faults there, and on Windows
  // the image's __except gets the access violation.
  const bool nullPage = reinterpret_cast<uintptr_t>(info->si_addr) < kNullPageBytes;
  if (((gTargets.isUserAddress != nullptr && gTargets.isUserAddress(info->si_addr)) || nullPage) &&
      DispatchFaultToImage(info->si_addr, context)) {
    return true;
  }
  greg_t* gregs = context->uc_mcontext.gregs;
  const auto pc = static_cast<uintptr_t>(gregs[REG_RIP]);
  const ImageCode* image = ImageAt(pc);
  if (image == nullptr || gTargets.irql == nullptr) return false;
  // A page fault of the image's code on memory that is neither a register
  // window nor the shared page is an access violation for its __except.
  const auto address = reinterpret_cast<uint64_t>(info->si_addr);
  const bool emulated = gTargets.isRegister(address) || (address >= kSharedUserData && address < kSharedUserData + 0x1000);
  if (info->si_code != SI_KERNEL && !emulated && DispatchFaultToImage(info->si_addr, context)) return true;

  uint64_t registers[16];
  for (int i = 0; i < 16; ++i) registers[i] = static_cast<uint64_t>(gregs[kContextRegister[i]]);
  const DecodedAccess d = Decode(reinterpret_cast<const uint8_t*>(pc), registers, pc);
  // A bug check raised while carrying the instruction out cannot unwind
  // through the image's frames: it is caught here and handed past them.
  std::exception_ptr error;
  try {
    CarryOut(*image, d, gregs, registers, pc, info->si_addr);
  } catch (...) {
    error = std::current_exception();
  }
  if (error) AbandonImageCall(std::move(error));  // moved: the jump skips destructors
  gregs[REG_RIP] = static_cast<greg_t>(pc + d.length);
  return true;
}

}  // namespace wdmsim::ldr
