// Exceptions raised for a PE image, dispatched to its own __except blocks
// through its unwind data, as the kernel's dispatcher does on x64: from the
// faulting context (a fault in the image's code) or from the boundary of
// the innermost imported call (a status raised, or a fault, inside a kernel
// routine the image called), the image's frames are walked with its
// RUNTIME_FUNCTION table and UNWIND_INFO. In each frame whose language
// handler is __C_specific_handler, the scopes that cover the frame's
// address are asked in turn, innermost first: the constant filter 1, or
// the filter function called with the exception and the establisher
// frame. The first that answers EXCEPTION_EXECUTE_HANDLER takes the
// exception; then every __finally the unwind leaves runs (innermost first,
// with abnormal termination), and execution resumes at the handler, in
// its frame, with the exception code in RAX.
//
// Not handled yet: a filter that answers EXCEPTION_CONTINUE_EXECUTION (a
// raised status cannot continue; the machine stops), frames whose address
// lies in an epilogue or a prologue, and language handlers other than
// __C_specific_handler. A walk that leaves the image without a handler is
// an unhandled exception (the caller stops the machine).
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <string>

namespace wdmsim::ldr {

// One frame's registers, in x86 order (RAX, RCX, RDX, RBX, RSP, ...).
struct FrameContext {
  uint64_t rip = 0;
  uint64_t regs[16] = {};
};

// Walks from `frame` (rip the faulting instruction when `faulting`, else a
// return address) to the handler. On success `frame` is the context to
// resume (rip the handler's target, RAX the code) and true is returned;
// otherwise `why` says where the walk ended.
bool FindImageHandler(FrameContext& frame, bool faulting, uint32_t code, std::string* why);

// From a SIGSEGV/SIGBUS handler, for a fault on `address`: image code that
// faulted, or a kernel routine that faulted inside an imported call. True
// when an __except of the image takes it (the context then resumes there).
bool DispatchFaultToImage(const void* address, ucontext_t* context);

// The status `code` raised by a kernel routine inside the innermost
// imported call, after wdmsim's own frames have unwound: resumes the image
// at its handler and does not return; returns false when no handler takes
// it (`why` says why).
bool ResumeImageAtHandler(uint32_t code, std::string* why);

// A status raised for a PE image (ExRaiseStatus inside an imported call):
// thrown as a C++ exception through wdmsim's frames up to the import thunk,
// which dispatches it.
struct ImageRaise {
  uint32_t status;
};

}  // namespace wdmsim::ldr
