// The boundary between a PE image and wdmsim: every routine an image
// imports is bound to a small thunk of its own, which records the call on
// this thread's boundary stack before the routine runs (import_thunk.S).
// A routine then knows the image that called it and the true return
// address into it, also when the image reached it with a tail call (the
// return address on the stack is then the image's caller's).
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <type_traits>

namespace wdmsim::ldr {

// One imported call in progress. The layout is the thunk's (import_thunk.S).
struct ImportBoundary {
  const void* returnAddress;  // into the image
  const void* image;  // the calling image (its DriverImage::Impl)
  uint64_t rsp;  // the image's stack pointer after its call returns
  uint64_t rbx, rbp, rdi, rsi, r12, r13, r14, r15;  // preserved for the image
  uint64_t reserved;
};
static_assert(sizeof(ImportBoundary) == 96, "import_thunk.S: kEntryBytes");

struct ImportBoundaryStack {
  static constexpr size_t kMaxDepth = 64;  // import_thunk.S: kMaxDepth
  uint64_t depth;
  ImportBoundary entries[kMaxDepth];
};

// The innermost imported call of this thread, or null outside any.
const ImportBoundary* InnermostImportCall();

// `returnAddress` as the image knows it: a kernel routine reached through a
// thunk sees the thunk's own return point, which stands for the innermost
// imported call's return address.
const void* RealCaller(const void* returnAddress);

// The thunks of one image, in one executable mapping of their own.
class ImportThunks {
 public:
  explicit ImportThunks(const void* image);
  ~ImportThunks();
  ImportThunks(const ImportThunks&) = delete;
  ImportThunks& operator=(const ImportThunks&) = delete;

  // A thunk for `routine` (which has the Windows x64 convention); null when
  // the mapping is full.
  void* Make(void* routine);
  // Makes the thunks executable (and no longer writable).
  void Seal();
  size_t count() const { return count_; }

 private:
  const void* image_;
  uint8_t* code_ = nullptr;
  size_t count_ = 0;
};

// Is `code` inside a mapped PE image (ldr/trap.cpp keeps the list)?
bool IsImageCode(const void* code);

// Where wdmsim called into a PE image. A C++ exception (a bug check) raised
// in wdmsim below the image's frames cannot unwind through them: they have
// only Windows unwind data. It is caught where the image called wdmsim (the
// import thunk) or where the image's instruction trapped, and carried back
// here, past the image's frames, to go on from the caller of the image.
// After that no code of the image runs again on this path.
struct CallIn {
  sigjmp_buf jump;
  uint64_t importDepth = 0;  // the boundary stack's depth on entry
  std::exception_ptr error;
  CallIn* outer = nullptr;
};
void EnterImage(CallIn& frame);
void LeaveImage(CallIn& frame);            // normal return
[[noreturn]] void Resume(CallIn& frame);  // after the jump back: rethrows
// Hands `error` to the innermost call-in; without one the process ends.
[[noreturn]] void AbandonImageCall(std::exception_ptr error);

// Calls driver code: directly for a .sys.so, through a call-in for a PE
// image.
template <typename R, typename... Params, typename... Args>
R CallDriver(R (__attribute__((ms_abi)) * routine)(Params...), Args&&... args) {
  if (!IsImageCode(reinterpret_cast<const void*>(routine))) return routine(std::forward<Args>(args)...);
  CallIn frame;
  EnterImage(frame);
  if (sigsetjmp(frame.jump, 0) != 0) Resume(frame);
  if constexpr (std::is_void_v<R>) {
    routine(std::forward<Args>(args)...);
    LeaveImage(frame);
  } else {
    R result = routine(std::forward<Args>(args)...);
    LeaveImage(frame);
    return result;
  }
}

}  // namespace wdmsim::ldr

// Where the calling driver code returns to, as the image knows it.
#define WDMSIM_CALLER() (const_cast<void*>(::wdmsim::ldr::RealCaller(__builtin_return_address(0))))
