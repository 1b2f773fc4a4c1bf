// Import thunks and the boundary stack (see imports.h, import_thunk.S).
#include "ldr/imports.h"

#include "internal.h"
#include "ldr/seh.h"

#include <sys/mman.h>
#include <unwind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
// Initial-exec TLS: the thunk reaches it from %fs without a call.
__attribute__((tls_model("initial-exec"))) thread_local wdmsim::ldr::ImportBoundaryStack wdmsim_import_boundaries;
void wdmsim_import_thunk();
void wdmsim_import_thunk_return();
void wdmsim_import_thunk_landing();
}

namespace {
thread_local wdmsim::ldr::CallIn* tCallIn = nullptr;
}

extern "C" {

// The thunk's personality: an exception that reaches an import thunk is
// handled there, by the landing pad, which passes it on past the image.
__attribute__((visibility("hidden"))) _Unwind_Reason_Code wdmsim_thunk_personality(int, _Unwind_Action actions,
                                                                                  _Unwind_Exception_Class,
                                                                                  _Unwind_Exception* exception,
                                                                                  _Unwind_Context* context) {
  if (actions & _UA_SEARCH_PHASE) return _URC_HANDLER_FOUND;
  if (actions & _UA_HANDLER_FRAME) {
    _Unwind_SetGR(context, __builtin_eh_return_data_regno(0), reinterpret_cast<_Unwind_Word>(exception));
    _Unwind_SetIP(context, reinterpret_cast<_Unwind_Ptr>(&wdmsim_import_thunk_landing));
    return _URC_INSTALL_CONTEXT;
  }
  return _URC_CONTINUE_UNWIND;
}

void* __cxa_begin_catch(void*) noexcept;
void __cxa_end_catch();

// The landing pad's second half: the exception, caught, goes to the frame
// that called into the image.
__attribute__((visibility("hidden"), noreturn)) void wdmsim_import_unwound(_Unwind_Exception* exception) {
  std::exception_ptr error;
  __cxa_begin_catch(exception);
  error = std::current_exception();
  __cxa_end_catch();
  // A status raised for the image goes to its own __except; without one,
  // the machine stops, as an unhandled kernel-mode exception stops Windows.
  bool raised = false;
  uint32_t status = 0;
  try {
    std::rethrow_exception(error);
  } catch (const wdmsim::ldr::ImageRaise& r) {
    raised = true;
    status = r.status;
  } catch (...) {
  }
  if (raised) {
    error = nullptr;  // the resume below does not come back to release it
    std::string why;
    wdmsim::ldr::ResumeImageAtHandler(status, &why);
    const wdmsim::ldr::ImportBoundary* call = wdmsim::ldr::InnermostImportCall();
    const auto from = reinterpret_cast<uintptr_t>(call != nullptr ? call->returnAddress : nullptr);
    try {
      wdmsim::K().RaiseBugCheck(wdmsim::KMODE_EXCEPTION_NOT_HANDLED, status, from, 0, 0,
                                "exception 0x" + wdmsim::Hex(status).substr(8) + " raised for the image at " +
                                    wdmsim::Hex(from) + ": " + why);
    } catch (...) {
      error = std::current_exception();
    }
  }
  wdmsim::ldr::AbandonImageCall(std::move(error));  // moved: the jump skips destructors
}

}  // extern "C"

namespace wdmsim::ldr {

namespace {
constexpr size_t kThunkBytes = 40;
constexpr size_t kCodeBytes = 16 * 4096;
}  // namespace

const ImportBoundary* InnermostImportCall() {
  const ImportBoundaryStack& s = wdmsim_import_boundaries;
  return s.depth == 0 ? nullptr : &s.entries[s.depth - 1];
}

const void* RealCaller(const void* returnAddress) {
  if (returnAddress != reinterpret_cast<const void*>(&wdmsim_import_thunk_return)) return returnAddress;
  const ImportBoundary* call = InnermostImportCall();
  return call != nullptr ? call->returnAddress : returnAddress;
}

extern "C" void wdmsim_import_boundaries_pop() { --wdmsim_import_boundaries.depth; }

void EnterImage(CallIn& frame) {
  frame.importDepth = wdmsim_import_boundaries.depth;
  frame.outer = tCallIn;
  tCallIn = &frame;
}

void LeaveImage(CallIn& frame) { tCallIn = frame.outer; }

void Resume(CallIn& frame) {
  tCallIn = frame.outer;
  wdmsim_import_boundaries.depth = frame.importDepth;  // the abandoned imported calls
  std::exception_ptr error = std::move(frame.error);
  std::rethrow_exception(error);
}

void AbandonImageCall(std::exception_ptr error) {
  CallIn* frame = tCallIn;
  if (frame == nullptr) {
    std::fprintf(stderr, "wdmsim: an exception left a PE image's code that wdmsim did not call into\n");
    std::abort();
  }
  frame->error = std::move(error);
  siglongjmp(frame->jump, 1);
}

ImportThunks::ImportThunks(const void* image) : image_(image) {
  void* code = mmap(nullptr, kCodeBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (code == MAP_FAILED) {
    std::fprintf(stderr, "wdmsim: cannot map import thunks\n");
    std::abort();
  }
  code_ = static_cast<uint8_t*>(code);
}

ImportThunks::~ImportThunks() { munmap(code_, kCodeBytes); }

void* ImportThunks::Make(void* routine) {
  if ((count_ + 1) * kThunkBytes > kCodeBytes) return nullptr;
  uint8_t* thunk = code_ + count_++ * kThunkBytes;
  const uint64_t target = reinterpret_cast<uint64_t>(routine);
  const uint64_t image = reinterpret_cast<uint64_t>(image_);
  const uint64_t common = reinterpret_cast<uint64_t>(&wdmsim_import_thunk);
  uint8_t* p = thunk;
  *p++ = 0x49, *p++ = 0xBB;  // mov r11, imm64
  std::memcpy(p, &target, 8), p += 8;
  *p++ = 0x49, *p++ = 0xBA;  // mov r10, imm64
  std::memcpy(p, &image, 8), p += 8;
  *p++ = 0xFF, *p++ = 0x25;  // jmp [rip + 0]
  *p++ = 0, *p++ = 0, *p++ = 0, *p++ = 0;
  std::memcpy(p, &common, 8), p += 8;
  while (p < thunk + kThunkBytes) *p++ = 0xCC;
  return thunk;
}

void ImportThunks::Seal() { mprotect(code_, kCodeBytes, PROT_READ | PROT_EXEC); }

}  // namespace wdmsim::ldr
