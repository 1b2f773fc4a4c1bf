// The Windows user-memory guard, run as a user-mode program under Wine,
// which dispatches x64 exceptions through the same unwind data and
// __C_specific_handler as the kernel does. An access violation and a raised
// status inside the guard must both come back as "raised", with execution
// continuing after the guard.
#include <windows.h>

#include <cstdio>

extern "C" BOOLEAN RunGuarded(void (*Routine)(void*), void* Context);

namespace {

int failures = 0;
int passes = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  (ok ? passes : failures)++;
}

void WriteThroughNull(void* context) {
  volatile int* nowhere = static_cast<volatile int*>(context);
  *nowhere = 1;
}

void ReadNoAccessPage(void* context) {
  volatile int value = *static_cast<volatile int*>(context);
  (void)value;
}

void RaiseStatus(void*) { RaiseException(0xC0000005 /* STATUS_ACCESS_VIOLATION */, 0, 0, nullptr); }

void RaiseOtherStatus(void*) { RaiseException(0xC000000D /* STATUS_INVALID_PARAMETER */, 0, 0, nullptr); }

void SetFlag(void* context) { *static_cast<int*>(context) = 42; }

void Nested(void* context) {
  // An inner guard handles its own exception; the outer one sees none.
  *static_cast<int*>(context) = RunGuarded(WriteThroughNull, nullptr) ? 1 : 0;
}

}  // namespace

int main() {
  int flag = 0;
  Check(!RunGuarded(SetFlag, &flag) && flag == 42, "a routine that returns reports no exception");
  Check(RunGuarded(WriteThroughNull, nullptr) == TRUE, "an access violation is caught");
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  Check(RunGuarded(ReadNoAccessPage, page) == TRUE, "a read of a no-access page is caught");
  Check(RunGuarded(RaiseStatus, nullptr) == TRUE, "a raised access violation is caught");
  Check(RunGuarded(RaiseOtherStatus, nullptr) == TRUE, "any raised status is caught");
  int inner = 0;
  Check(!RunGuarded(Nested, &inner) && inner == 1, "nested guards each handle their own");
  for (int i = 0; i < 1000; ++i) {
    if (!RunGuarded(WriteThroughNull, nullptr)) {
      Check(false, "repeated faults");
      break;
    }
  }
  Check(true, "execution continues after a thousand faults");
  std::printf("%d passed, %d failed\n", passes, failures);
  return failures == 0 ? 0 : 1;
}
