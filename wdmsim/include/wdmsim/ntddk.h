// The kernel programming interface that wdmsim offers a driver: the types,
// constants and routines of the Windows x64 WDM kit that our drivers use,
// under their real names and with the documented behaviour.
//
// Notes:
//  1. Driver code built against this header is compiled with -fshort-wchar so
//     that L"" literals are UTF-16 as on Windows; wdmsim itself uses char16_t.
//     Both are 16-bit units, and every routine here has C linkage, so the two
//     meet without conversion.
//  2. Kernel objects that drivers embed in their own records (KTIMER, KDPC,
//     KEVENT, KSPIN_LOCK, IO_CONNECT_INTERRUPT_PARAMETERS) have exactly the
//     x64 sizes of the real kit, so a device extension has the same layout in
//     both builds. wdmsim keeps its own bookkeeping in their fields.
//  3. Objects that drivers only reach through pointers (DEVICE_OBJECT, IRP,
//     IO_STACK_LOCATION, MDL, ...) have the x64 layout too, field for field,
//     since the shipped image reads and writes them in place; the parts
//     wdmsim has no use for are kept as opaque bytes of the right size. The
//     layout test compares every field with the kit's headers.
//  4. Only routines that wdmsim implements are declared: a driver that calls
//     anything else does not link.
//  5. Every routine and every callback type has the Windows x64 calling
//     convention (NTAPI is ms_abi), so that a driver built here and the
//     shipped image built with the kit call the same routines the same way,
//     and wdmsim calls both images' callbacks alike. The compiler refuses a
//     callback of the host's convention where the kit's is expected.
#ifndef WDMSIM_NTDDK_H
#define WDMSIM_NTDDK_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#define NTAPI __attribute__((ms_abi))
#define NTSYSAPI
#define FORCEINLINE static inline
#define FASTCALL
#define POINTER_ALIGNMENT __attribute__((aligned(8)))
#define ANYSIZE_ARRAY 1

typedef void* PVOID;
typedef PVOID* PPVOID;
typedef char CHAR, *PCHAR;
typedef const char* PCSTR;
typedef const char* PCCH;
typedef unsigned char UCHAR, *PUCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef ULONG_PTR KAFFINITY;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG KPRIORITY;

#if __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;  // driver code (-fshort-wchar), see note 1
#else
typedef char16_t WCHAR;  // wdmsim itself
#endif
typedef WCHAR *PWCH, *PWSTR, *NTSTRSAFE_PWSTR;
typedef const WCHAR *PCWCH, *PCWSTR, *NTSTRSAFE_PCWSTR;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))

// ---------------------------------------------------------------------------
// Status values
// ---------------------------------------------------------------------------
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_CONTINUE_COMPLETION STATUS_SUCCESS
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_FILE_INVALID ((NTSTATUS)0xC0000098L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_BIOS_FAILED_TO_CONNECT_INTERRUPT ((NTSTATUS)0xC000016EL)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)

// ---------------------------------------------------------------------------
// IRQL, processor modes, waits
// ---------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define PROFILE_LEVEL 27
#define HIGH_LEVEL 15

#define KernelMode 0
#define UserMode 1

#define IO_NO_INCREMENT 0

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;

// Same size as the kit's header (24 bytes); wdmsim uses Type and SignalState.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData;  // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  struct _KDPC* Dpc;
  ULONG Processor;
  LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

static_assert(sizeof(DISPATCHER_HEADER) == 24, "x64 layout");
static_assert(sizeof(KEVENT) == 24, "x64 layout");
static_assert(sizeof(KDPC) == 64, "x64 layout");
static_assert(sizeof(KTIMER) == 64, "x64 layout");

// ---------------------------------------------------------------------------
// Objects of the I/O manager
// ---------------------------------------------------------------------------
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _KINTERRUPT;
typedef struct _KINTERRUPT* PKINTERRUPT;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS NTAPI DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject,
                                   struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                       PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID NTAPI DRIVER_CANCEL(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// IO_STACK_LOCATION.Flags of a device control request: what the caller's
// handle was granted (FILE_READ_DATA, FILE_WRITE_DATA).
#define SL_READ_ACCESS_GRANTED 0x01
#define SL_WRITE_ACCESS_GRANTED 0x04

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_HAS_NAME 0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode) & 3))

typedef enum _DEVICE_RELATION_TYPE {
  BusRelations,
  EjectionRelations,
  PowerRelations,
  RemovalRelations,
  TargetDeviceRelation,
  SingleBusRelations,
  TransportRelations
} DEVICE_RELATION_TYPE;

typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5
} DEVICE_POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;

typedef union _POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef enum { PowerActionNone = 0, PowerActionSleep = 2, PowerActionShutdown = 4 } POWER_ACTION;

typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG Flags;  // the kit's one-bit capability fields, not used by our drivers
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "x64 layout");

#define PCI_WHICHSPACE_CONFIG 0x0

// ---------------------------------------------------------------------------
// Resources (the 20-byte partial descriptor of the kit, packed to 4)
// ---------------------------------------------------------------------------
#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6

#define CmResourceShareUndetermined 0
#define CmResourceShareDeviceExclusive 1
#define CmResourceShareDriverExclusive 2
#define CmResourceShareShared 3

#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0
#define CM_RESOURCE_INTERRUPT_LATCHED 1
#define CM_RESOURCE_INTERRUPT_MESSAGE 2
#define CM_RESOURCE_MEMORY_READ_WRITE 0x0000

typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa = 1,
  Eisa = 2,
  MicroChannel = 3,
  TurboChannel = 4,
  PCIBus = 5,
  MaximumInterfaceType = 18
} INTERFACE_TYPE;

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Port;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Memory;
    struct {
      ULONG Channel;
      ULONG Port;
      ULONG Reserved1;
    } Dma;
    struct {
      ULONG DataSize;
      ULONG Reserved1;
      ULONG Reserved2;
    } DeviceSpecificData;
  } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20, "x64 layout");

typedef struct _CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[ANYSIZE_ARRAY];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
  INTERFACE_TYPE InterfaceType;
  ULONG BusNumber;
  CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
  ULONG Count;
  CM_FULL_RESOURCE_DESCRIPTOR List[ANYSIZE_ARRAY];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

// ---------------------------------------------------------------------------
// Stack locations and requests
// ---------------------------------------------------------------------------
typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT POINTER_ALIGNMENT FileAttributes;
      USHORT ShareAccess;
      ULONG POINTER_ALIGNMENT EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG POINTER_ALIGNMENT Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG POINTER_ALIGNMENT Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG POINTER_ALIGNMENT InputBufferLength;
      ULONG POINTER_ALIGNMENT IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      DEVICE_RELATION_TYPE Type;
    } QueryDeviceRelations;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      ULONG WhichSpace;
      PVOID Buffer;
      ULONG Offset;
      ULONG POINTER_ALIGNMENT Length;
    } ReadWriteConfig;
    struct {
      PCM_RESOURCE_LIST AllocatedResources;
      PCM_RESOURCE_LIST AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE POINTER_ALIGNMENT Type;
      POWER_STATE POINTER_ALIGNMENT State;
      POWER_ACTION POINTER_ALIGNMENT ShutdownType;
    } Power;
    struct {
      SYSTEM_POWER_STATE PowerState;
    } WaitWake;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  struct _DEVICE_OBJECT* DeviceObject;
  struct _FILE_OBJECT* FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _MDL {
  struct _MDL* Next;
  SHORT Size;
  SHORT MdlFlags;
  struct _EPROCESS* Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

typedef struct _IRP {
  USHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PVOID UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  PDRIVER_CANCEL CancelRoutine;  // set and cleared only with IoSetCancelRoutine
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PVOID Thread;
      PVOID AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      struct _FILE_OBJECT* OriginalFileObject;
    } Overlay;
    UCHAR Apc[88];  // a KAPC, which wdmsim does not use
    PVOID CompletionKey;
  } Tail;
  // The StackCount stack locations follow the IRP in memory; the first is
  // the lowest driver's.
} IRP, *PIRP;

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  SHORT Type;
  SHORT Size;
  struct _DEVICE_OBJECT* DeviceObject;  // list of the driver's devices, through NextDevice
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVOBJ_EXTENSION {
  SHORT Type;
  USHORT Size;
  struct _DEVICE_OBJECT* DeviceObject;
  struct _DEVICE_OBJECT* AttachedTo;  // the next lower device, or null
} DEVOBJ_EXTENSION, *PDEVOBJ_EXTENSION;

typedef struct _DEVICE_OBJECT {
  SHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;  // the next higher device, or null
  struct _IRP* CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CHAR StackSize;
  UCHAR Queue[72];  // a wait context block or list entry, unused here
  ULONG AlignmentRequirement;
  UCHAR DeviceQueue[40];  // a KDEVICE_QUEUE, unused here
  KDPC Dpc;  // reserved for IoRequestDpc
  ULONG ActiveThreadCount;
  PVOID SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  PDEVOBJ_EXTENSION DeviceObjectExtension;
  PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _FILE_OBJECT {
  SHORT Type;
  SHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PVOID SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  struct _FILE_OBJECT* RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
  LARGE_INTEGER CurrentByteOffset;
  ULONG Waiters;
  ULONG Busy;
  PVOID LastLock;
  KEVENT Lock;
  KEVENT Event;
  PVOID CompletionContext;
  KSPIN_LOCK IrpListLock;
  LIST_ENTRY IrpList;
  PVOID FileObjectExtension;
} FILE_OBJECT, *PFILE_OBJECT;

FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}
FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
FORCEINLINE VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
FORCEINLINE VOID IoSetNextIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}
FORCEINLINE VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  __builtin_memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
FORCEINLINE VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                        PVOID Context, BOOLEAN InvokeOnSuccess,
                                        BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
FORCEINLINE VOID IoMarkIrpPending(PIRP Irp) {
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
FORCEINLINE PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------
// DMA
// ---------------------------------------------------------------------------
typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, MaximumDmaWidth } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;

#define DEVICE_DESCRIPTION_VERSION 0
#define DEVICE_DESCRIPTION_VERSION1 1
#define DEVICE_DESCRIPTION_VERSION2 2

typedef struct _DEVICE_DESCRIPTION {
  ULONG Version;
  BOOLEAN Master;
  BOOLEAN ScatterGather;
  BOOLEAN DemandMode;
  BOOLEAN AutoInitialize;
  BOOLEAN Dma32BitAddresses;
  BOOLEAN IgnoreCount;
  BOOLEAN Reserved1;
  BOOLEAN Dma64BitAddresses;
  ULONG BusNumber;
  ULONG DmaChannel;
  INTERFACE_TYPE InterfaceType;
  DMA_WIDTH DmaWidth;
  DMA_SPEED DmaSpeed;
  ULONG MaximumLength;
  ULONG DmaPort;
} DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;
static_assert(sizeof(DEVICE_DESCRIPTION) == 40, "x64 layout");

struct _DMA_ADAPTER;
typedef VOID NTAPI PUT_DMA_ADAPTER(struct _DMA_ADAPTER* DmaAdapter);
typedef PVOID NTAPI ALLOCATE_COMMON_BUFFER(struct _DMA_ADAPTER* DmaAdapter, ULONG Length,
                                     PPHYSICAL_ADDRESS LogicalAddress, BOOLEAN CacheEnabled);
typedef VOID NTAPI FREE_COMMON_BUFFER(struct _DMA_ADAPTER* DmaAdapter, ULONG Length,
                                PHYSICAL_ADDRESS LogicalAddress, PVOID VirtualAddress,
                                BOOLEAN CacheEnabled);
typedef VOID NTAPI DMA_UNSUPPORTED_OPERATION(void);  // every other entry of the table

typedef struct _DMA_OPERATIONS {
  ULONG Size;
  PUT_DMA_ADAPTER* PutDmaAdapter;
  ALLOCATE_COMMON_BUFFER* AllocateCommonBuffer;
  FREE_COMMON_BUFFER* FreeCommonBuffer;
  DMA_UNSUPPORTED_OPERATION* AllocateAdapterChannel;
  DMA_UNSUPPORTED_OPERATION* FlushAdapterBuffers;
  DMA_UNSUPPORTED_OPERATION* FreeAdapterChannel;
  DMA_UNSUPPORTED_OPERATION* FreeMapRegisters;
  DMA_UNSUPPORTED_OPERATION* MapTransfer;
  DMA_UNSUPPORTED_OPERATION* GetDmaAlignment;
  DMA_UNSUPPORTED_OPERATION* ReadDmaCounter;
  DMA_UNSUPPORTED_OPERATION* GetScatterGatherList;
  DMA_UNSUPPORTED_OPERATION* PutScatterGatherList;
  DMA_UNSUPPORTED_OPERATION* CalculateScatterGatherList;
  DMA_UNSUPPORTED_OPERATION* BuildScatterGatherList;
  DMA_UNSUPPORTED_OPERATION* BuildMdlFromScatterGatherList;
} DMA_OPERATIONS, *PDMA_OPERATIONS;

typedef struct _DMA_ADAPTER {
  USHORT Version;
  USHORT Size;
  PDMA_OPERATIONS DmaOperations;
} DMA_ADAPTER, *PDMA_ADAPTER;

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

// ---------------------------------------------------------------------------
// Interrupts
// ---------------------------------------------------------------------------
typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;

typedef BOOLEAN NTAPI KSERVICE_ROUTINE(struct _KINTERRUPT* Interrupt, PVOID ServiceContext);
typedef KSERVICE_ROUTINE* PKSERVICE_ROUTINE;
typedef BOOLEAN NTAPI KMESSAGE_SERVICE_ROUTINE(struct _KINTERRUPT* Interrupt, PVOID ServiceContext,
                                         ULONG MessageId);
typedef KMESSAGE_SERVICE_ROUTINE* PKMESSAGE_SERVICE_ROUTINE;

#define CONNECT_FULLY_SPECIFIED 0x1
#define CONNECT_LINE_BASED 0x2
#define CONNECT_MESSAGE_BASED 0x3

typedef struct _IO_INTERRUPT_MESSAGE_INFO* PIO_INTERRUPT_MESSAGE_INFO;

typedef struct _IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PKINTERRUPT* InterruptObject;
  PKSERVICE_ROUTINE ServiceRoutine;
  PVOID ServiceContext;
  PKSPIN_LOCK SpinLock;
  KIRQL SynchronizeIrql;
  BOOLEAN FloatingSave;
  BOOLEAN ShareVector;
  ULONG Vector;
  KIRQL Irql;
  KINTERRUPT_MODE InterruptMode;
  KAFFINITY ProcessorEnableMask;
  USHORT Group;
} IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS;

typedef struct _IO_CONNECT_INTERRUPT_LINE_BASED_PARAMETERS {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PKINTERRUPT* InterruptObject;
  PKSERVICE_ROUTINE ServiceRoutine;
  PVOID ServiceContext;
  PKSPIN_LOCK SpinLock;
  KIRQL SynchronizeIrql;
  BOOLEAN FloatingSave;
} IO_CONNECT_INTERRUPT_LINE_BASED_PARAMETERS;

typedef struct _IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS {
  PDEVICE_OBJECT PhysicalDeviceObject;
  union {
    PVOID* Generic;
    PIO_INTERRUPT_MESSAGE_INFO* InterruptMessageTable;
    PKINTERRUPT* InterruptObject;
  } ConnectionContext;
  PKMESSAGE_SERVICE_ROUTINE MessageServiceRoutine;
  PVOID ServiceContext;
  PKSPIN_LOCK SpinLock;
  KIRQL SynchronizeIrql;
  BOOLEAN FloatingSave;
  PKSERVICE_ROUTINE FallBackServiceRoutine;
} IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS;

typedef struct _IO_CONNECT_INTERRUPT_PARAMETERS {
  ULONG Version;
  union {
    IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS FullySpecified;
    IO_CONNECT_INTERRUPT_LINE_BASED_PARAMETERS LineBased;
    IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS MessageBased;
  };
} IO_CONNECT_INTERRUPT_PARAMETERS, *PIO_CONNECT_INTERRUPT_PARAMETERS;
static_assert(sizeof(IO_CONNECT_INTERRUPT_PARAMETERS) == 80, "x64 layout");

typedef struct _IO_DISCONNECT_INTERRUPT_PARAMETERS {
  ULONG Version;
  union {
    PVOID Generic;
    PKINTERRUPT InterruptObject;
    PIO_INTERRUPT_MESSAGE_INFO InterruptMessageTable;
  } ConnectionContext;
} IO_DISCONNECT_INTERRUPT_PARAMETERS, *PIO_DISCONNECT_INTERRUPT_PARAMETERS;

// ---------------------------------------------------------------------------
// Routines
// ---------------------------------------------------------------------------
#ifdef __cplusplus
extern "C" {
#endif

// Debug output and checks
ULONG NTAPI DbgPrint(PCSTR Format, ...);
VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCSTR Message);
VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);

// Strings
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

// IRQL and spin locks
KIRQL NTAPI KeGetCurrentIrql(void);
KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeAcquireSpinLock(a, b) (*(b) = KeAcquireSpinLockRaiseToDpc(a))

// Events, waits, time
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

// Timers and DPCs
VOID NTAPI KeInitializeTimer(PKTIMER Timer);
VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);
VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
VOID NTAPI KeFlushQueuedDpcs(void);

// System information
typedef enum _MM_SYSTEMSIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem } MM_SYSTEMSIZE;
MM_SYSTEMSIZE NTAPI MmQuerySystemSize(void);

// I/O manager
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI IofCompleteRequest(PIRP Irp, CHAR PriorityBoost);
PIRP NTAPI IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoFreeIrp(PIRP Irp);
PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
NTSTATUS NTAPI IoValidateDeviceIoControlAccess(PIRP Irp, ULONG RequiredAccess);
#define IoCallDriver(a, b) IofCallDriver(a, b)
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)

// Object manager
VOID NTAPI ObfReferenceObject(PVOID Object);
VOID NTAPI ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)

// Memory manager: I/O space and MDLs
PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
VOID NTAPI IoFreeMdl(PMDL Mdl);

// Memory manager: user buffers. Probing and locking raise an exception
// (ExRaiseStatus) for addresses the caller may not use.
typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;
VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
typedef enum _MM_PAGE_PRIORITY { LowPagePriority, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress, ULONG BugCheckOnFailure,
                                         MM_PAGE_PRIORITY Priority);
VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
#define MmGetSystemAddressForMdlSafe(_Mdl, _Priority)                                   \
  (((_Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))         \
       ? (_Mdl)->MappedSystemVa                                                          \
       : (PVOID)MmMapLockedPagesSpecifyCache((_Mdl), KernelMode, MmCached, (PVOID)0, FALSE, (_Priority)))
VOID NTAPI ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
VOID NTAPI ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);
VOID NTAPI ExRaiseStatus(NTSTATUS Status);
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)

// Object manager: handles of the calling process.
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* ExEventObjectType;
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation);

// HAL: register access. Registers are reached only through these: a plain
// load or store at a mapped register address faults.
ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG* Register);
VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

// DMA adapters
PDMA_ADAPTER NTAPI IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters);

// Interrupts
NTSTATUS NTAPI IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave);
VOID NTAPI IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
NTSTATUS NTAPI IoConnectInterruptEx(PIO_CONNECT_INTERRUPT_PARAMETERS Parameters);
VOID NTAPI IoDisconnectInterruptEx(PIO_DISCONNECT_INTERRUPT_PARAMETERS Parameters);

// Power manager
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
VOID NTAPI PoStartNextPowerIrp(PIRP Irp);
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID NTAPI REQUEST_POWER_COMPLETE(struct _DEVICE_OBJECT* DeviceObject, UCHAR MinorFunction,
                                          POWER_STATE PowerState, PVOID Context, struct _IO_STATUS_BLOCK* IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);

// Work items
typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef VOID NTAPI IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue } WORK_QUEUE_TYPE;
PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context);
VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

#ifdef __cplusplus
}
#endif

// Interlocked operations: compiler intrinsics in the kit, sequentially
// consistent full barriers as on x64.
FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// Single-copy-atomic loads and stores without a fence (the kit's NoFence
// accessors): on x64 a plain aligned MOV, which is what the kit compiles
// them to. Here they are relaxed atomics, so that ThreadSanitizer knows the
// field is shared without a lock on purpose and still reports any plain
// access that races it.
FORCEINLINE LONG ReadNoFence(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
FORCEINLINE ULONG ReadULongNoFence(ULONG const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE ULONGLONG ReadULong64NoFence(ULONGLONG const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteULong64NoFence(ULONGLONG volatile* Destination, ULONGLONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE PVOID ReadPointerNoFence(PVOID const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID KeMemoryBarrier(void) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#define ReadTimeStampCounter() ((ULONGLONG)__builtin_ia32_rdtsc())

// The kit's pageable-code check, as a checked build has it.
#define PAGED_CODE()                                                                \
  do {                                                                              \
    if (KeGetCurrentIrql() > APC_LEVEL) {                                           \
      DbgPrint("EX: Pageable code called at IRQL %d\n", (int)KeGetCurrentIrql());   \
      RtlAssert((PVOID) "KeGetCurrentIrql() <= APC_LEVEL", (PVOID)__FILE__, __LINE__, \
                nullptr);                                                           \
    }                                                                               \
  } while (0)

#define ASSERT(exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, nullptr), FALSE) : TRUE)
#define NT_ASSERT(exp) ASSERT(exp)
#define KdPrint(x) DbgPrint x

#endif  // WDMSIM_NTDDK_H
