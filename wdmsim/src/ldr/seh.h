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
// A filter may answer EXCEPTION_CONTINUE_EXECUTION: a fault then runs its
// instruction again, in the context the filter left (it may have mended
// it); a raised status cannot continue, and as on Windows a new exception,
// STATUS_NONCONTINUABLE_EXCEPTION, is dispatched in its place. Language
// handlers other than __C_specific_handler are not run. A walk that leaves
// the image without a handler is an unhandled exception (the caller stops
// the machine).
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

// One entry of an image's function table (RUNTIME_FUNCTION), image-relative.
struct RuntimeFunction {
  uint32_t begin, end, unwind;
};

// Unwinds one frame of the function `f` of the image at `base`: `frame.rip`
// lies in it (a faulting instruction or a return address), and `frame`
// becomes its caller's. Inside the prologue only the operations done so far
// are undone; inside an epilogue the rest of it is carried out.
void VirtualUnwind(const uint8_t* base, RuntimeFunction f, FrameContext& frame);

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
