/* A kernel image built for the exception tests with a second compiler
 * (clang for x86_64-pc-windows-msvc, linked by lld-link): structured
 * exception handling as that compiler lays it out, each case saying what
 * happened through DbgPrint, which the test compares line by line. */
typedef long NTSTATUS;
typedef unsigned long ULONG;
typedef unsigned long long SIZE_T;

__declspec(dllimport) ULONG DbgPrint(const char* format, ...);
__declspec(dllimport) void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment);
__declspec(dllimport) void RtlCopyMemory(void* destination, const void* source, SIZE_T length);

/* What a filter sees: the kit's EXCEPTION_RECORD, and of the CONTEXT the
 * integer registers (RAX..R15 at 0x78) and RIP. */
typedef struct {
  ULONG code, flags;
  void* record;
  void* address;
  ULONG parameters;
  unsigned long long information[15];
} Record;
typedef struct {
  unsigned long long home[6];
  ULONG contextFlags, mxcsr;
  unsigned short segments[6];
  ULONG eflags;
  unsigned long long debug[6];
  unsigned long long integer[16];
  unsigned long long rip;
} Context;
typedef struct {
  Record* record;
  Context* context;
} Pointers;

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

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

/* Where case 5 stores: nowhere at first; its filter mends the register. */
static int* volatile gNowhere = (int*)0x18;
static volatile int gTarget;

static __declspec(noinline) void StoreThroughNowhere(void) { *gNowhere = 5; }

static int RepointsAndContinues(Pointers* p) {
  int i;
  for (i = 0; i < 16; ++i) {
    if (p->context->integer[i] == p->record->information[1]) {
      DbgPrint("5 filter: %s at 0x%X, register %d repointed\n", p->record->information[0] ? "write" : "read",
               (ULONG)p->record->information[1], i);
      p->context->integer[i] = (unsigned long long)&gTarget;
      return EXCEPTION_CONTINUE_EXECUTION;
    }
  }
  DbgPrint("5 filter: no register holds 0x%X\n", (ULONG)p->record->information[1]);
  return EXCEPTION_EXECUTE_HANDLER;
}

static int ContinuesUntilTold(ULONG code) {
  DbgPrint("6 filter 0x%08X\n", code);
  return code == 0xC0000025 ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_EXECUTION;
}

static int SaysWhere(Pointers* p) {
  DbgPrint("7 filter: %s at 0x%X\n", p->record->information[0] ? "write" : "read", (ULONG)p->record->information[1]);
  return EXCEPTION_EXECUTE_HANDLER;
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
  /* 5: a filter mends the faulting context and continues execution: the
   * store runs again, through the register it repointed. */
  __try {
    StoreThroughNowhere();
    DbgPrint("5 continued, target %d\n", gTarget);
  } __except (RepointsAndContinues((Pointers*)_exception_info())) {
    DbgPrint("not reached\n");
  }
  /* 6: a raised status cannot continue: the filter is asked again, with
   * STATUS_NONCONTINUABLE_EXCEPTION. */
  __try {
    ProbeForRead(BEYOND_USER, 4, 1);
    DbgPrint("not reached\n");
  } __except (ContinuesUntilTold(_exception_code())) {
    DbgPrint("6 caught 0x%08X\n", _exception_code());
  }
  /* 7: a fault inside a kernel routine the image called. */
  __try {
    int copy;
    RtlCopyMemory(&copy, (const void*)0x20, sizeof copy);
    DbgPrint("not reached %d\n", copy);
  } __except (SaysWhere((Pointers*)_exception_info())) {
    DbgPrint("7 caught 0x%08X\n", _exception_code());
  }
  DbgPrint("done\n");
  return 0;
}
