// Picks the kernel interface the driver is built against: the real x64 kit
// (mingw-w64 DDK headers) for Windows images, or wdmsim for the simulation.
// Every difference between the two builds lives here and in the user-memory
// guard; the rest of the driver is one source.
#ifndef DRIVERXILINX_PLATFORM_H
#define DRIVERXILINX_PLATFORM_H

#if defined(WDMSIM)
#include <wdmsim/ntddk.h>
#include <wdmsim/ntstrsafe.h>

// The event object type, for ObReferenceObjectByHandle. The kit declares
// ExEventObjectType as a plain extern POBJECT_TYPE *: the name stands for
// the import slot, which holds the address of the kernel's variable, and
// *ExEventObjectType is the type. wdmsim declares it the same way.
FORCEINLINE POBJECT_TYPE EventObjectType(void) { return *ExEventObjectType; }
#else
// mingw's <ntddk.h> redeclares two intrinsics that g++ already provides.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <ntstrsafe.h>

// The kit's pageable-code check as its checked build has it; a free build
// compiles it away, as the kit does.
#undef PAGED_CODE
#if DBG
#define PAGED_CODE()                                                              \
  do {                                                                            \
    if (KeGetCurrentIrql() > APC_LEVEL) {                                         \
      DbgPrint("EX: Pageable code called at IRQL %d\n", (int)KeGetCurrentIrql()); \
      NT_ASSERT(FALSE);                                                           \
    }                                                                             \
  } while (0)
#else
#define PAGED_CODE() \
  do {               \
  } while (0)
#endif

// Missing from mingw's headers; a locked instruction is a full fence on x64.
#ifndef KeMemoryBarrier
FORCEINLINE VOID KeMemoryBarrier(void) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#endif
// The kit's NoFence accessors (wdm.h of newer kits), missing from mingw's
// headers. On x64 the kit defines them as these volatile accesses: one
// aligned load or store, no fence.
FORCEINLINE LONG ReadNoFence(LONG const volatile* Source) { return *Source; }
FORCEINLINE ULONG ReadULongNoFence(ULONG const volatile* Source) { return *Source; }
FORCEINLINE VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value) { *Destination = Value; }
FORCEINLINE ULONGLONG ReadULong64NoFence(ULONGLONG const volatile* Source) { return *Source; }
FORCEINLINE VOID WriteULong64NoFence(ULONGLONG volatile* Destination, ULONGLONG Value) { *Destination = Value; }
FORCEINLINE PVOID ReadPointerNoFence(PVOID const volatile* Source) { return *Source; }
#ifndef ReadTimeStampCounter
#define ReadTimeStampCounter() ((ULONGLONG)__builtin_ia32_rdtsc())
#endif
// The event object type. mingw declares ExEventObjectType dllimport, so
// the name already stands for the kernel's variable (the slot is read
// behind it), and that variable holds the type: *ExEventObjectType would
// read the first word of the object type itself.
FORCEINLINE POBJECT_TYPE EventObjectType(void) { return (POBJECT_TYPE)ExEventObjectType; }
#endif

#endif  // DRIVERXILINX_PLATFORM_H
