/* A kernel image built for the exception tests with a second compiler
 * (clang for x86_64-pc-windows-msvc, linked by lld-link): structured
 * exception handling as that compiler lays it out, each case saying what
 * happened through DbgPrint, which the test compares line by line. */
typedef long NTSTATUS;
typedef unsigned long ULONG;
typedef unsigned long long SIZE_T;

__declspec(dllimport) ULONG DbgPrint(const char* format, ...);
__declspec(dllimport) void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment);

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0

/* A user address no process has: ProbeForRead raises for it. */
#define BEYOND_USER ((const void*)0xFFFF800000000000ull)

static int Declines(ULONG code) {
  DbgPrint("inner filter declines 0x%08X\n", code);
  return EXCEPTION_CONTINUE_SEARCH;
}

static int Accepts(ULONG code) {
  DbgPrint("filter accepts 0x%08X\n", code);
  return EXCEPTION_EXECUTE_HANDLER;
}

static __declspec(noinline) void RaiseThroughAFrame(void) {
  ProbeForRead(BEYOND_USER, 4, 1);
  DbgPrint("not reached\n");
}

static __declspec(noinline) void FaultInOwnCode(volatile int* nowhere) {
  *nowhere = 1;
  DbgPrint("not reached\n");
}

NTSTATUS DriverEntry(void* driver, void* registry) {
  (void)driver;
  (void)registry;
  /* 1: a status raised by a kernel routine, a constant filter. */
  __try {
    ProbeForRead((const void*)0x1001, 4, 4);
    DbgPrint("not reached\n");
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    DbgPrint("1 caught 0x%08X\n", _exception_code());
  }
  /* 2: an inner filter function that declines; the outer scope takes it,
   * one frame further out. */
  __try {
    __try {
      RaiseThroughAFrame();
    } __except (Declines(_exception_code())) {
      DbgPrint("not reached\n");
    }
  } __except (Accepts(_exception_code())) {
    DbgPrint("2 caught 0x%08X\n", _exception_code());
  }
  /* 3: a __finally runs while the exception unwinds past it. */
  __try {
    __try {
      RaiseThroughAFrame();
    } __finally {
      DbgPrint("3 finally, abnormal %d\n", _abnormal_termination() ? 1 : 0);
    }
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    DbgPrint("3 caught 0x%08X\n", _exception_code());
  }
  /* 4: a fault in the image's own code. */
  __try {
    FaultInOwnCode((volatile int*)0x10);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    DbgPrint("4 caught 0x%08X\n", _exception_code());
  }
  DbgPrint("done\n");
  return 0;
}
