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

struct RuntimeFunction {
  uint32_t begin, end, unwind;
};

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

// Undoes the prologue of one function for an address `offset` bytes into
// it, and returns from it: the caller's frame.
void VirtualUnwind(const PeImage& pe, RuntimeFunction f, uint32_t offset, FrameContext& frame) {
  const uint8_t* base = pe.base();
  for (bool chained = false;; chained = true) {
    const uint8_t* info = base + f.unwind;
    const uint8_t flags = info[0] >> 3;
    const uint8_t prologSize = info[1];
    const uint8_t count = info[2];
    const int frameRegister = info[3] & 0x0F;
    const uint64_t frameOffset = (info[3] >> 4) * 16ull;
    const uint8_t* codes = info + 4;
    (void)prologSize;
    // Where the saved registers sit: below the frame register's base, or
    // the stack pointer as the body has it.
    uint64_t& rsp = frame.regs[kRsp];
    if (frameRegister != 0) rsp = frame.regs[frameRegister] - frameOffset;
    for (int i = 0; i < count;) {
      const uint8_t codeOffset = codes[2 * i];
      const uint8_t op = codes[2 * i + 1] & 0x0F, opInfo = codes[2 * i + 1] >> 4;
      const bool applies = chained || codeOffset <= offset;
      auto slot = [&](int n) { return At<uint16_t>(codes, 2 * (i + n)); };
      int slots = 1;
      switch (op) {
        case 0:  // UWOP_PUSH_NONVOL
          if (applies) frame.regs[opInfo] = Load64(rsp), rsp += 8;
          break;
        case 1:  // UWOP_ALLOC_LARGE
          slots = opInfo == 0 ? 2 : 3;
          if (applies) rsp += opInfo == 0 ? slot(1) * 8ull : (slot(1) | uint64_t{slot(2)} << 16);
          break;
        case 2:  // UWOP_ALLOC_SMALL
          if (applies) rsp += opInfo * 8ull + 8;
          break;
        case 3:  // UWOP_SET_FPREG: undone above, by taking the base from the frame register
          break;
        case 4:  // UWOP_SAVE_NONVOL
          slots = 2;
          if (applies) frame.regs[opInfo] = Load64(rsp + slot(1) * 8ull);
          break;
        case 5:  // UWOP_SAVE_NONVOL_FAR
          slots = 3;
          if (applies) frame.regs[opInfo] = Load64(rsp + (slot(1) | uint64_t{slot(2)} << 16));
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
          if (applies) {
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
  frame.rip = Load64(frame.regs[kRsp]);
  frame.regs[kRsp] += 8;
}

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
    VirtualUnwind(*info.pe, info.function, info.lookup - info.function.begin, frame);
  }
}

}  // namespace

bool FindImageHandler(FrameContext& frame, bool faulting, uint32_t code, std::string* why) {
  ExceptionRecord record{code, 0, nullptr, reinterpret_cast<void*>(frame.rip), 0, {}};
  alignas(16) static thread_local uint8_t context[1232];  // a CONTEXT, which wdmsim leaves empty
  ExceptionPointers pointers{&record, context};
  const FrameContext start = frame;
  const bool startFaulting = faulting;

  // First pass: the filters decide, the stack untouched.
  int targetDepth = -1;
  uint32_t targetScope = 0;
  FrameContext targetFrame;
  for (int depth = 0; depth < 256 && targetDepth < 0; ++depth) {
    FrameInfo info;
    if (!Describe(frame, faulting, &info)) {
      *why = "no handler in the image's frames";
      return false;
    }
    for (uint32_t s = 0; s < info.scopeCount; ++s) {
      const Scope scope = ScopeAt(info, s);
      if (info.lookup < scope.begin || info.lookup >= scope.end || scope.target == 0) continue;  // not here, or a __finally
      const int32_t verdict =
          scope.handler == 1 ? 1
                             : CallDriver(reinterpret_cast<FilterRoutine>(info.pe->base() + scope.handler), &pointers,
                                          info.establisher);
      if (verdict < 0) {
        *why = "a filter asked to continue execution, which a raised status or a fault in kernel mode cannot";
        return false;
      }
      if (verdict > 0) {
        targetDepth = depth;
        targetScope = s;
        targetFrame = frame;
        break;
      }
    }
    if (targetDepth < 0) {
      Unwind(info, frame);
      faulting = false;
    }
  }
  if (targetDepth < 0) {
    *why = "the image's frames do not end";
    return false;
  }

  // Second pass: every __finally the exception leaves runs, innermost
  // first: all of them in the frames in between, and in the handler's own
  // frame those nested inside its scope (listed before it).
  frame = start;
  faulting = startFaulting;
  for (int depth = 0; depth <= targetDepth; ++depth) {
    FrameInfo info;
    Describe(frame, faulting, &info);
    const uint32_t scopes = depth == targetDepth ? targetScope : info.scopeCount;
    for (uint32_t s = 0; s < scopes; ++s) {
      const Scope scope = ScopeAt(info, s);
      if (info.lookup < scope.begin || info.lookup >= scope.end || scope.target != 0) continue;
      CallDriver(reinterpret_cast<TerminationRoutine>(info.pe->base() + scope.handler), uint8_t{1}, info.establisher);
    }
    Unwind(info, frame);
    faulting = false;
  }

  FrameInfo info;
  Describe(targetFrame, targetDepth == 0 && startFaulting, &info);
  frame = targetFrame;
  frame.rip = reinterpret_cast<uint64_t>(info.pe->base()) + ScopeAt(info, targetScope).target;
  frame.regs[0] = code;
  return true;
}

namespace {

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
  (void)address;
  greg_t* gregs = context->uc_mcontext.gregs;
  FrameContext frame;
  bool faulting;
  const bool inImage = PeImageAt(static_cast<uint64_t>(gregs[REG_RIP])) != nullptr;
  const ImportBoundary* call = InnermostImportCall();
  if (inImage) {
    frame.rip = static_cast<uint64_t>(gregs[REG_RIP]);
    for (int i = 0; i < 16; ++i) frame.regs[i] = static_cast<uint64_t>(gregs[kContextRegister[i]]);
    faulting = true;
  } else if (call != nullptr) {
    frame = AtBoundary(*call);
    faulting = false;
  } else {
    return false;
  }
  std::string why;
  if (!FindImageHandler(frame, faulting, 0xC0000005, &why)) return false;
  if (!inImage) wdmsim_import_boundaries_pop();  // the abandoned imported call
  for (int i = 0; i < 16; ++i) gregs[kContextRegister[i]] = static_cast<greg_t>(frame.regs[i]);
  gregs[REG_RIP] = static_cast<greg_t>(frame.rip);
  return true;
}

bool ResumeImageAtHandler(uint32_t code, std::string* why) {
  const ImportBoundary* call = InnermostImportCall();
  if (call == nullptr) {
    *why = "no imported call";
    return false;
  }
  FrameContext frame = AtBoundary(*call);
  if (!FindImageHandler(frame, false, code, why)) return false;
  wdmsim_import_boundaries_pop();
  wdmsim_resume_context(frame.regs, frame.rip);
}

}  // namespace wdmsim::ldr
