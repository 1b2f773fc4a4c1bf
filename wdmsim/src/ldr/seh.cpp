// Dispatch of exceptions to a PE image's __except blocks (seh.h).
#include "ldr/seh.h"

#include <cstring>

#include "ldr/imports.h"
#include "ldr/pe_image.h"
#include "ldr/trap.h"

extern "C" {
void wdmsim_import_boundaries_pop();
[[noreturn]] void wdmsim_resume_context(const uint64_t* registers, uint64_t rip);  // import_thunk.S
}

namespace wdmsim::ldr {

namespace {

constexpr int kRsp = 4;
constexpr uint8_t kFlagExceptionHandler = 1, kFlagChainInfo = 4;

template <typename T>
T At(const uint8_t* base, uint64_t rva) {
  T value;
  std::memcpy(&value, base + rva, sizeof value);
  return value;
}

uint64_t Load64(uint64_t address) {
  uint64_t value;
  std::memcpy(&value, reinterpret_cast<const void*>(address), 8);
  return value;
}

// The table entry covering `rva`, or false for a leaf function.
bool Lookup(const PeImage& pe, uint32_t rva, RuntimeFunction* out) {
  const auto table = pe.exceptions();
  const size_t count = table.size / sizeof(RuntimeFunction);
  size_t lo = 0, hi = count;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    const auto f = At<RuntimeFunction>(pe.base(), table.rva + mid * sizeof(RuntimeFunction));
    if (rva < f.begin) {
      hi = mid;
    } else if (rva >= f.end) {
      lo = mid + 1;
    } else {
      *out = f;
      return true;
    }
  }
  return false;
}

// An x64 epilogue has one shape, which the unwinder may rely on: an
// optional `add rsp, n` or `lea rsp, [frame register + n]`, pops of
// nonvolatile registers, then `ret` or a jump out of the function (a tail
// call). When `rva` starts such a sequence, the rest of the epilogue is
// carried out on `frame` (its returning included) and true is returned.
bool UnwindEpilogue(const uint8_t* base, RuntimeFunction f, uint32_t rva, int frameRegister, FrameContext& frame) {
  const uint8_t* code = base + rva;
  const uint8_t* const end = base + f.end;
  auto has = [&](size_t n) { return code + n <= end; };
  uint64_t rsp = frame.regs[kRsp];
  // add rsp, imm8 / imm32
  if (has(4) && code[0] == 0x48 && code[1] == 0x83 && code[2] == 0xC4) {
    rsp += static_cast<int8_t>(code[3]);
    code += 4;
  } else if (has(7) && code[0] == 0x48 && code[1] == 0x81 && code[2] == 0xC4) {
    rsp += At<int32_t>(code, 3);
    code += 7;
  } else if (has(4) && (code[0] & 0xFE) == 0x48 && code[1] == 0x8D && (code[2] & 0x38) == 0x20 &&
             (code[2] & 0xC0) != 0xC0 && (code[2] & 0xC0) != 0) {
    // lea rsp, [base + disp8/disp32]: only through the function's frame register.
    const int reg = (code[2] & 7) | ((code[0] & 1) << 3);
    if (reg != frameRegister || (code[2] & 7) == 4) return false;
    const bool disp8 = (code[2] & 0xC0) == 0x40;
    if (!has(disp8 ? 4 : 7)) return false;
    rsp = frame.regs[reg] + (disp8 ? static_cast<int8_t>(code[3]) : At<int32_t>(code, 3));
    code += disp8 ? 4 : 7;
  }
  // pop r64, then the way out.
  uint64_t regs[16];
  std::memcpy(regs, frame.regs, sizeof regs);
  for (;;) {
    if (has(1) && (code[0] & 0xF8) == 0x58) {
      regs[code[0] & 7] = Load64(rsp), rsp += 8, code += 1;
    } else if (has(2) && code[0] == 0x41 && (code[1] & 0xF8) == 0x58) {
      regs[8 + (code[1] & 7)] = Load64(rsp), rsp += 8, code += 2;
    } else {
      break;
    }
  }
  const auto outside = [&](int64_t target) { return target < f.begin || target >= f.end; };
  const uint32_t at = static_cast<uint32_t>(code - base);
  bool out = false;
  if (has(1) && code[0] == 0xC3) {
    out = true;  // ret
  } else if (has(2) && code[0] == 0xF3 && code[1] == 0xC3) {
    out = true;  // rep ret
  } else if (has(3) && code[0] == 0xC2) {
    out = true;  // ret imm16
  } else if (has(5) && code[0] == 0xE9) {
    out = outside(int64_t{at} + 5 + At<int32_t>(code, 1));  // jmp rel32, a tail call
  } else if (has(2) && code[0] == 0xEB) {
    out = outside(int64_t{at} + 2 + static_cast<int8_t>(code[1]));
  } else if (has(6) && code[0] == 0xFF && code[1] == 0x25) {
    out = true;  // jmp [rip + disp32], through an import slot
  } else if (has(7) && (code[0] & 0xF0) == 0x40 && code[1] == 0xFF && code[2] == 0x25) {
    out = true;
  } else if (has(3) && (code[0] & 0xF0) == 0x40 && code[1] == 0xFF && (code[2] & 0xF8) == 0xE0) {
    out = true;  // rex jmp r64
  }
  if (!out) return false;
  std::memcpy(frame.regs, regs, sizeof regs);
  frame.rip = Load64(rsp);
  frame.regs[kRsp] = rsp + 8;
  return true;
}

}  // namespace

void VirtualUnwind(const uint8_t* base, RuntimeFunction f, FrameContext& frame) {
  const uint32_t rva = static_cast<uint32_t>(frame.rip - reinterpret_cast<uint64_t>(base));
  const uint8_t* first = base + f.unwind;
  const int frameRegister = first[3] & 0x0F;
  // In an epilogue the prologue's codes no longer describe the stack: the
  // rest of the epilogue is what brings the caller's frame back.
  if (rva >= f.begin && rva < f.end && UnwindEpilogue(base, f, rva, frameRegister, frame)) return;
  const uint32_t offset = rva - f.begin;
  uint64_t& rsp = frame.regs[kRsp];
  for (bool chained = false;; chained = true) {
    const uint8_t* info = base + f.unwind;
    const uint8_t flags = info[0] >> 3;
    const uint8_t count = info[2];
    const uint8_t* codes = info + 4;
    // Inside the prologue only the operations already done are undone: a
    // code's offset is where its instruction ends. Chained entries describe
    // a prologue that has run in full.
    auto applies = [&](int i) { return chained || codes[2 * i] <= offset; };
    // With a frame register established, the saved registers sit at fixed
    // places from its base, whatever the body did to RSP since.
    if (!chained && frameRegister != 0) {
      for (int i = 0; i < count; ++i) {
        if ((codes[2 * i + 1] & 0x0F) == 3 && applies(i)) rsp = frame.regs[frameRegister] - (info[3] >> 4) * 16ull;
      }
    }
    for (int i = 0; i < count;) {
      const uint8_t op = codes[2 * i + 1] & 0x0F, opInfo = codes[2 * i + 1] >> 4;
      auto slot = [&](int n) { return At<uint16_t>(codes, 2 * (i + n)); };
      int slots = 1;
      switch (op) {
        case 0:  // UWOP_PUSH_NONVOL
          if (applies(i)) frame.regs[opInfo] = Load64(rsp), rsp += 8;
          break;
        case 1:  // UWOP_ALLOC_LARGE
          slots = opInfo == 0 ? 2 : 3;
          if (applies(i)) rsp += opInfo == 0 ? slot(1) * 8ull : (slot(1) | uint64_t{slot(2)} << 16);
          break;
        case 2:  // UWOP_ALLOC_SMALL
          if (applies(i)) rsp += opInfo * 8ull + 8;
          break;
        case 3:  // UWOP_SET_FPREG: undone above, by taking the base from the frame register
          break;
        case 4:  // UWOP_SAVE_NONVOL
          slots = 2;
          if (applies(i)) frame.regs[opInfo] = Load64(rsp + slot(1) * 8ull);
          break;
        case 5:  // UWOP_SAVE_NONVOL_FAR
          slots = 3;
          if (applies(i)) frame.regs[opInfo] = Load64(rsp + (slot(1) | uint64_t{slot(2)} << 16));
          break;
        case 6:  // UWOP_EPILOG (version 2): describes epilogues, not the prologue
          slots = 2;
          break;
        case 8:  // UWOP_SAVE_XMM128: the registers wdmsim does not restore
          slots = 2;
          break;
        case 9:  // UWOP_SAVE_XMM128_FAR
          slots = 3;
          break;
        case 10:  // UWOP_PUSH_MACHFRAME: an interrupt's frame
          if (applies(i)) {
            const uint64_t at = rsp + (opInfo ? 8 : 0);
            frame.rip = Load64(at);
            rsp = Load64(at + 24);
            return;
          }
          break;
        default:
          break;
      }
      i += slots;
    }
    if (!(flags & kFlagChainInfo)) break;
    f = At<RuntimeFunction>(info, 4 + 2 * ((count + 1) & ~1));
  }
  frame.rip = Load64(rsp);
  rsp += 8;
}

namespace {

// The address __C_specific_handler's import slot is bound through, for
// recognising the image's language handler (a jmp through that slot).
bool IsCSpecificHandler(const PeImage& pe, uint32_t handlerRva) {
  const uint8_t* code = pe.base() + handlerRva;
  if (code[0] != 0xFF || code[1] != 0x25) return false;  // jmp [rip + disp32]
  int32_t disp;
  std::memcpy(&disp, code + 2, 4);
  const uint64_t slotRva = handlerRva + 6 + static_cast<int64_t>(disp);
  for (const auto& import : pe.imports()) {
    if (import.name == "__C_specific_handler" && import.slotRva == slotRva) return true;
  }
  return false;
}

}  // namespace

namespace {

// What a filter sees (the kit's EXCEPTION_RECORD and EXCEPTION_POINTERS).
struct ExceptionRecord {
  uint32_t code, flags;
  ExceptionRecord* record;
  void* address;
  uint32_t parameterCount;
  uint64_t information[15];
};
struct ExceptionPointers {
  ExceptionRecord* record;
  void* context;
};

using FilterRoutine = int32_t(__attribute__((ms_abi)) *)(ExceptionPointers*, uint64_t establisherFrame);
using TerminationRoutine = void(__attribute__((ms_abi)) *)(uint8_t abnormal, uint64_t establisherFrame);

struct Scope {
  uint32_t begin, end, handler, target;
};

// One frame of the walk: its function and where its scopes are, if its
// language handler is __C_specific_handler.
struct FrameInfo {
  const PeImage* pe = nullptr;
  uint32_t lookup = 0;  // the address looked up, image-relative
  RuntimeFunction function{};
  bool leaf = false;
  uint32_t scopeTable = 0;  // image-relative; 0: no scopes
  uint32_t scopeCount = 0;
  uint64_t establisher = 0;  // the frame as its filters and __finally blocks see it
};

bool Describe(const FrameContext& frame, bool faulting, FrameInfo* info) {
  info->pe = PeImageAt(frame.rip);
  if (info->pe == nullptr) return false;
  const PeImage& pe = *info->pe;
  const uint32_t rva = static_cast<uint32_t>(frame.rip - reinterpret_cast<uint64_t>(pe.base()));
  // A return address may sit just past the end of its function (a call
  // that does not return): look it up one byte earlier.
  info->lookup = faulting ? rva : rva - 1;
  info->leaf = !Lookup(pe, info->lookup, &info->function);
  info->establisher = frame.regs[kRsp];
  if (info->leaf) return true;
  const uint8_t* unwind = pe.base() + info->function.unwind;
  const uint8_t flags = unwind[0] >> 3, count = unwind[2];
  const int frameRegister = unwind[3] & 0x0F;
  if (frameRegister != 0) info->establisher = frame.regs[frameRegister] - (unwind[3] >> 4) * 16ull;
  if ((flags & kFlagExceptionHandler) && !(flags & kFlagChainInfo)) {
    const uint32_t handlerAt = info->function.unwind + 4 + 2 * ((count + 1) & ~1);
    if (IsCSpecificHandler(pe, At<uint32_t>(pe.base(), handlerAt))) {
      info->scopeCount = At<uint32_t>(pe.base(), handlerAt + 4);
      info->scopeTable = handlerAt + 8;
    }
  }
  return true;
}

Scope ScopeAt(const FrameInfo& info, uint32_t index) {
  return At<Scope>(info.pe->base(), info.scopeTable + 16 * index);
}

// To the caller's frame.
void Unwind(const FrameInfo& info, FrameContext& frame) {
  if (info.leaf) {
    frame.rip = Load64(frame.regs[kRsp]);
    frame.regs[kRsp] += 8;
  } else {
    VirtualUnwind(info.pe->base(), info.function, frame);
  }
}

}  // namespace

namespace {

constexpr uint32_t kNoncontinuable = 1;  // EXCEPTION_NONCONTINUABLE
constexpr uint32_t kStatusNoncontinuableException = 0xC0000025;

// The kit's CONTEXT, as far as wdmsim fills it: the integer registers
// (RAX.., in x86 order, at 0x78), RIP at 0xF8 and EFLAGS at 0x44.
struct alignas(16) WindowsContext {
  uint8_t bytes[1232];
};
constexpr size_t kContextFlags = 0x30, kContextEFlags = 0x44, kContextIntegers = 0x78, kContextRip = 0xF8;
constexpr uint32_t kContextControlAndInteger = 0x100003;  // CONTEXT_AMD64 | CONTROL | INTEGER

void ToContext(const FrameContext& frame, uint32_t eflags, WindowsContext& context) {
  std::memset(context.bytes, 0, sizeof context.bytes);
  std::memcpy(context.bytes + kContextFlags, &kContextControlAndInteger, 4);
  std::memcpy(context.bytes + kContextEFlags, &eflags, 4);
  std::memcpy(context.bytes + kContextIntegers, frame.regs, sizeof frame.regs);
  std::memcpy(context.bytes + kContextRip, &frame.rip, 8);
}

void FromContext(const WindowsContext& context, FrameContext& frame, uint32_t* eflags) {
  std::memcpy(frame.regs, context.bytes + kContextIntegers, sizeof frame.regs);
  std::memcpy(&frame.rip, context.bytes + kContextRip, 8);
  std::memcpy(eflags, context.bytes + kContextEFlags, 4);
}

enum class Outcome { kHandler, kContinue, kUnhandled };

// The first pass: the filters of the frames from `start` outwards decide,
// the stack untouched. On kHandler, `depth` and `scopeIndex` name the
// handling scope and `target` is its frame.
Outcome Search(FrameContext frame, bool faulting, ExceptionPointers& pointers, int* depth, uint32_t* scopeIndex,
               FrameContext* target, std::string* why) {
  for (int d = 0; d < 256; ++d) {
    FrameInfo info;
    if (!Describe(frame, faulting, &info)) {
      *why = "no handler in the image's frames";
      return Outcome::kUnhandled;
    }
    for (uint32_t s = 0; s < info.scopeCount; ++s) {
      const Scope scope = ScopeAt(info, s);
      if (info.lookup < scope.begin || info.lookup >= scope.end || scope.target == 0) continue;  // not here, or a __finally
      const int32_t verdict =
          scope.handler == 1 ? 1
                             : CallDriver(reinterpret_cast<FilterRoutine>(info.pe->base() + scope.handler), &pointers,
                                          info.establisher);
      if (verdict < 0) return Outcome::kContinue;
      if (verdict > 0) {
        *depth = d;
        *scopeIndex = s;
        *target = frame;
        return Outcome::kHandler;
      }
    }
    Unwind(info, frame);
    faulting = false;
  }
  *why = "the image's frames do not end";
  return Outcome::kUnhandled;
}

// Dispatches `record` from `start` (the faulting context when `faulting`,
// else the image's frame at an imported call). kHandler: `resume` is the
// handler's context, the __finally blocks between have run. kContinue: a
// filter answered EXCEPTION_CONTINUE_EXECUTION for a continuable exception;
// `context` is what it left, to resume.
Outcome Dispatch(const FrameContext& start, bool faulting, ExceptionRecord record, WindowsContext& context,
                 FrameContext* resume, std::string* why) {
  ExceptionRecord original = record;
  ExceptionPointers pointers{&record, context.bytes};
  int depth = -1;
  uint32_t scopeIndex = 0;
  FrameContext target;
  Outcome outcome = Search(start, faulting, pointers, &depth, &scopeIndex, &target, why);
  if (outcome == Outcome::kContinue && (record.flags & kNoncontinuable)) {
    // A raised status cannot go on from where it was raised: as the
    // kernel's dispatcher does, a new exception says so, with the first
    // one chained to it, from the same frames.
    record = ExceptionRecord{kStatusNoncontinuableException, kNoncontinuable, &original, record.address, 0, {}};
    outcome = Search(start, faulting, pointers, &depth, &scopeIndex, &target, why);
    if (outcome == Outcome::kContinue) {
      *why = "a filter asked to continue an exception that cannot continue";
      return Outcome::kUnhandled;
    }
  }
  if (outcome != Outcome::kHandler) return outcome;

  // Second pass: every __finally the exception leaves runs, innermost
  // first: all of them in the frames in between, and in the handler's own
  // frame those nested inside its scope (listed before it).
  FrameContext frame = start;
  bool atFault = faulting;
  for (int d = 0; d <= depth; ++d) {
    FrameInfo info;
    Describe(frame, atFault, &info);
    const uint32_t scopes = d == depth ? scopeIndex : info.scopeCount;
    for (uint32_t s = 0; s < scopes; ++s) {
      const Scope scope = ScopeAt(info, s);
      if (info.lookup < scope.begin || info.lookup >= scope.end || scope.target != 0) continue;
      CallDriver(reinterpret_cast<TerminationRoutine>(info.pe->base() + scope.handler), uint8_t{1}, info.establisher);
    }
    Unwind(info, frame);
    atFault = false;
  }

  FrameInfo info;
  Describe(target, depth == 0 && faulting, &info);
  *resume = target;
  resume->rip = reinterpret_cast<uint64_t>(info.pe->base()) + ScopeAt(info, scopeIndex).target;
  resume->regs[0] = record.code;
  return Outcome::kHandler;
}

// The image's context at the boundary of the innermost imported call.
FrameContext AtBoundary(const ImportBoundary& call) {
  FrameContext frame;
  frame.rip = reinterpret_cast<uint64_t>(call.returnAddress);
  frame.regs[kRsp] = call.rsp;
  frame.regs[3] = call.rbx;
  frame.regs[5] = call.rbp;
  frame.regs[6] = call.rsi;
  frame.regs[7] = call.rdi;
  frame.regs[12] = call.r12;
  frame.regs[13] = call.r13;
  frame.regs[14] = call.r14;
  frame.regs[15] = call.r15;
  return frame;
}

}  // namespace

bool DispatchFaultToImage(const void* address, ucontext_t* context) {
  greg_t* gregs = context->uc_mcontext.gregs;
  // The context at the fault: the image's own code, or the kernel routine
  // it called, as Windows hands filters the context of the faulting
  // instruction wherever it is.
  FrameContext faulted;
  faulted.rip = static_cast<uint64_t>(gregs[REG_RIP]);
  for (int i = 0; i < 16; ++i) faulted.regs[i] = static_cast<uint64_t>(gregs[kContextRegister[i]]);
  const bool inImage = PeImageAt(faulted.rip) != nullptr;
  const ImportBoundary* call = InnermostImportCall();
  if (!inImage && call == nullptr) return false;
  const FrameContext start = inImage ? faulted : AtBoundary(*call);

  // An access violation's record: whether it read (0), wrote (1) or
  // executed (8), and where (the page fault's error code says which).
  const uint64_t error = static_cast<uint64_t>(gregs[REG_ERR]);
  ExceptionRecord record{0xC0000005, 0, nullptr, reinterpret_cast<void*>(faulted.rip), 2, {}};
  record.information[0] = (error & 0x10) ? 8 : (error & 0x2) ? 1 : 0;
  record.information[1] = reinterpret_cast<uint64_t>(address);
  WindowsContext windows;
  ToContext(faulted, static_cast<uint32_t>(gregs[REG_EFL]), windows);
  FrameContext resume;
  std::string why;
  switch (Dispatch(start, inImage, record, windows, &resume, &why)) {
    case Outcome::kUnhandled:
      return false;
    case Outcome::kContinue: {
      // The faulting instruction runs again, in the context the filter left.
      uint32_t eflags;
      FromContext(windows, resume, &eflags);
      gregs[REG_EFL] = static_cast<greg_t>(eflags);
      break;
    }
    case Outcome::kHandler:
      if (!inImage) wdmsim_import_boundaries_pop();  // the abandoned imported call
      break;
  }
  for (int i = 0; i < 16; ++i) gregs[kContextRegister[i]] = static_cast<greg_t>(resume.regs[i]);
  gregs[REG_RIP] = static_cast<greg_t>(resume.rip);
  return true;
}

bool ResumeImageAtHandler(uint32_t code, std::string* why) {
  const ImportBoundary* call = InnermostImportCall();
  if (call == nullptr) {
    *why = "no imported call";
    return false;
  }
  // A raised status (RtlRaiseStatus) cannot continue.
  const FrameContext start = AtBoundary(*call);
  const ExceptionRecord record{code, kNoncontinuable, nullptr, reinterpret_cast<void*>(start.rip), 0, {}};
  WindowsContext windows;
  ToContext(start, 0x202, windows);
  FrameContext resume;
  if (Dispatch(start, false, record, windows, &resume, why) != Outcome::kHandler) return false;
  wdmsim_import_boundaries_pop();
  wdmsim_resume_context(resume.regs, resume.rip);
}

}  // namespace wdmsim::ldr
