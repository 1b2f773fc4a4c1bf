// The map of the driver: the per-card device extension, the driver-wide
// state, and the routines of each source file.
//
// Files and what they own:
//   driver.cpp      entry, add-device, unload, device naming, request completion
//   pnp.cpp         Plug and Play requests, passing requests down, configuration space
//   hardware.cpp    hardware start and stop (resources in, resources out)
//   registers.cpp   register access, the write-back read, delays, the register tests
//   interrupts.cpp  the line and message-signalled interrupt routines and connections
//   dma.cpp         DMA adapters, common buffers and the buffer pool's memory
//   transfer.cpp    transfer set-up in both directions (locking, copying, the card's item)
//   poll.cpp        the completion poll and the transfer watchdog
//   dispatch.cpp    open, close and power
//   control.cpp     the control request: access, size checks, the command table,
//                   the register commands
//   events.cpp      the event commands (transfer and message-interrupt events)
//   transfers.cpp   the transfer commands and the per-direction locks
//   pool.cpp        the buffer pool commands (family A)
//
// Notes:
//  1. No lock guards the device extension. Fields that cross IRQLs are
//     changed with interlocked operations where noted. The few that threads
//     share on purpose with neither a lock nor an interlocked operation
//     (counters, one-shot flags, the event pointers the DPCs read, the DMA
//     status words) are read and written with the kit's NoFence accessors:
//     one aligned load or store, as a plain access compiles to on x64, but
//     the sanitizer builds know the sharing is intended. The file that owns
//     each one says why it is safe. Everything else is a plain access.
//  2. Every pointer to something the driver holds is null when not held, and
//     every release step tests, releases and clears it, so that the release
//     paths may run twice (stop, then remove).
#ifndef DRIVERXILINX_DRIVER_H
#define DRIVERXILINX_DRIVER_H

#include "platform.h"
#include "interface/ioctl.h"
#include "interface/registers.h"
#include "product.h"
#include "guard.h"

// ---------------------------------------------------------------------------
// Product-dependent pieces
// ---------------------------------------------------------------------------
template <bool FamilyA>
struct IoctlBufferOf {
  typedef IOCTL_BUFFER_B Type;
};
template <>
struct IoctlBufferOf<true> {
  typedef IOCTL_BUFFER_A Type;
};
typedef IoctlBufferOf<PRODUCT_FAMILY_A>::Type IOCTL_BUFFER;
constexpr ULONG IOCTL_BUFFER_SIZE = sizeof(IOCTL_BUFFER);

static_assert(DMA_COMMON_BUFFER_SIZE == DMA_MAX_TRANSFER_SIZE + cbuf::kHeadroom,
              "a common buffer holds the largest transfer plus the header and headroom");
static_assert(cbuf::kData + DMA_MAX_TRANSFER_SIZE + 0x1F000 == DMA_COMMON_BUFFER_SIZE,
              "0x1F000 bytes of every common buffer stay unused");

#define DEVICE_NAME_FORMAT L"\\Device\\" PRODUCT_BASE_NAME_W L"_v%d%d%d-%d"
#define LINK_NAME_FORMAT L"\\DosDevices\\" PRODUCT_BASE_NAME_W L"_v%d%d%d-%d"
constexpr ULONG MAX_DEVICE_INSTANCES = 64;
constexpr ULONG NAME_BUFFER_CHARS = 256;  // 512 bytes, always NUL-terminated
constexpr ULONG VERSION_MAJOR_DIGIT = 1, VERSION_MINOR_DIGIT = 0, VERSION_BUILD_DIGIT = 0;

// Source paths printed by the failure traces "vantrel  %s %d\n".
#define MODULE_DRIVER "driverxilinx/driver"
#define MODULE_DMA "driverxilinx/dma"
#define MODULE_DISPATCH "driverxilinx/dispatch"

// Initial values set by AddDevice.
constexpr ULONG READ_WRITEBACK_ADDR_INITIAL = 0x12340000;
constexpr ULONG READ_WRITEBACK_ADDR_STOPPED = 0x56780000;
constexpr ULONG READ_WRITEBACK_ADDR_POWER_STEP = 0x1000;
constexpr ULONG REG_SHADOW_FORCE_WRITE = 0xFFFFFFFF;

// ---------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------
struct COMMON_BUFFER_POOL_ENTRY {
  PVOID pCommonBuffer_VA;            // null when the entry holds no buffer
  PHYSICAL_ADDRESS pCommonBuffer_LA;  // 0 when the entry holds no buffer
  PMDL pMdl;                         // MDL over the whole buffer, or null
  ULONG ulBufferSize;                // DMA_COMMON_BUFFER_SIZE once described, else 0
};
constexpr ULONG COMMON_BUFFER_POOL_ENTRIES = 8;

// One per card; allocated by the I/O manager with the device object.
// Fields in the order of the record that the driver has always had.
struct DEVICE_EXTENSION {
  // Identity and device stack
  PDEVICE_OBJECT pPhysicalDeviceObject;
  PDEVICE_OBJECT pDeviceObject;
  PDEVICE_OBJECT pLowerDeviceObject;  // target of every request passed down
  WCHAR wszSymbolicLinkName[NAME_BUFFER_CHARS];

  // Start state and register write-back area
  ULONG bDeviceStarted;       // 1 once hardware start ran to its end; never cleared
  PULONG pulGetRegister;      // write-back area: [0] value, [1] flag word
  ULONGLONG pGetRegister_LA;  // its bus address (low 32 bits used)

  // Register windows
  ULONG ulBarValue[6];
  PVOID pBar0_VA;
  ULONG ulBar0_Length;
  PVOID pBar2_VA;  // the register window
  ULONG ulBar2_Length;

  // DmaRead: host to card, the card reads host memory
  PDMA_ADAPTER pDmaAdapter_DmaRead;
  ULONG ulMapRegMax_DmaRead;
  PVOID pCommonBuffer_VA_DmaRead;
  PHYSICAL_ADDRESS pCommonBuffer_LA_DmaRead;
  PMDL pMdl_CommonBuffer;
  ULONG ulLength_DmaRead;
  PKEVENT pEvent_DmaRead;
  PMDL pMdl_UserBuffer_DmaRead;
  ULONG ulStartReg_DmaRead;
  ULONG ulUserParam_DmaRead;
  ULONG bRunning_DmaRead;        // interlocked
  ULONG ulTimeoutTicks_DmaRead;  // interlocked
  ULONG bStatus2_DmaRead;        // interlocked

  // DmaWrite: card to host, the card writes host memory
  PDMA_ADAPTER pDmaAdapter_DmaWrite;  // also serves the buffer pool
  ULONG ulMapRegMax_DmaWrite;
  PVOID pCommonBuffer_VA_DmaWrite;
  PHYSICAL_ADDRESS pCommonBuffer_LA_DmaWrite;
  PMDL pMdl_CommonBuffer_DmaWrite;
  ULONG ulLength_DmaWrite;
  PKEVENT pEvent_DmaWrite;
  PMDL pMdl_UserBuffer_DmaWrite;
  ULONG ulStartReg_DmaWrite;
  ULONG ulUserParam_DmaWrite;
  ULONG bRunning_DmaWrite;        // interlocked
  ULONG ulTimeoutTicks_DmaWrite;  // interlocked
  ULONG bStatus2_DmaWrite;        // interlocked

  // Transfer watchdog
  KTIMER WatchdogTimer;
  KDPC WatchdogDpc;

  // Line interrupt
  PKINTERRUPT pInterruptObject;
  UCHAR ucInterruptIrql;  // 0: no interrupt resource seen
  ULONG ulInterruptVector;
  ULONGLONG ullInterruptAffinity;

  // Counters and gate flags
  ULONG ulIsrCount;
  LONG io_control_count;  // interlocked
  ULONG bDeviceStopped;   // interlocked; cleared by a successful start

  // Completion poll and descriptor-register shadows
  KTIMER CheckDpcTimer;
  KDPC CheckDpc;
  ULONG bCheckDpcTimerSet;
  ULONG ulLastStatus_DmaWrite;
  ULONG ulLastStatus_DmaRead;
  ULONG ulRegShadow_DmaWrite[4];  // registers 0x1040..0x104C
  ULONG ulRegShadow_DmaRead[4];   // registers 0x1050..0x105C

  // Register access state
  ULONG bFirstReadRegister;
  ULONG ulReadWriteBackAddr;  // diagnostic marker

  // Buffer pool
  COMMON_BUFFER_POOL_ENTRY CommonBufferPool[COMMON_BUFFER_POOL_ENTRIES];

  // Message-signalled interrupt
  IO_CONNECT_INTERRUPT_PARAMETERS MsiConnectParameters;
  PVOID pMsiConnectionContext;
  KSPIN_LOCK MsiSpinLock;

  // Register read mode
  ULONG read_reg_direct;
  ULONG bDmaDoneByRegister;

  // Event for message-signalled interrupts
  PKEVENT pMsiEvent;
  KDPC MsiEventDpc;

  // Power
  UCHAR ucConfigSpace[256];

  // Poll trace
  ULONGLONG ullCheckDpcPrintTime;
  ULONG ulCheckDpcCnt;

  // Added after the historical fields, which keep their offsets
  // (synchronization events used as mutexes). The commands of one DMA
  // direction run one at a time; close takes these locks too before it
  // releases the buffers.
  KEVENT TransferLock_DmaRead;
  KEVENT TransferLock_DmaWrite;
  // Write-back register reads of one card run one at a time: the card's
  // answer is two words in one slot, and a second read's answer landing
  // between a first read's flag and value would hand it the wrong register.
  KEVENT WriteBackLock;
  // Signalled (notification) from the moment stop begins until the next
  // start: every delay inside a control request waits on it instead of
  // sleeping, so that no request can hold stop and removal up.
  KEVENT StopEvent;
  // Connecting and disconnecting the message interrupts take turns (a
  // synchronization event used as a mutex): two disconnects of one
  // connection would free the system's record of it twice.
  KEVENT MsiLock;
  // The work item that finishes the return to D0 at PASSIVE_LEVEL
  // (dispatch.cpp, note 5); allocated in AddDevice, freed with the device.
  PIO_WORKITEM pPowerWorkItem;
};
typedef DEVICE_EXTENSION* PDEVICE_EXTENSION;

// The record has one layout on every platform the driver is built for.
static_assert(offsetof(DEVICE_EXTENSION, wszSymbolicLinkName) == 24, "layout");
static_assert(offsetof(DEVICE_EXTENSION, bDeviceStarted) == 536, "layout");
static_assert(offsetof(DEVICE_EXTENSION, pulGetRegister) == 544, "layout");
static_assert(offsetof(DEVICE_EXTENSION, ulBarValue) == 560, "layout");
static_assert(offsetof(DEVICE_EXTENSION, pBar2_VA) == 600, "layout");
static_assert(offsetof(DEVICE_EXTENSION, pDmaAdapter_DmaRead) == 616, "layout");
static_assert(offsetof(DEVICE_EXTENSION, pCommonBuffer_LA_DmaRead) == 640, "layout");
static_assert(offsetof(DEVICE_EXTENSION, bStatus2_DmaRead) == 696, "layout");
static_assert(offsetof(DEVICE_EXTENSION, pDmaAdapter_DmaWrite) == 704, "layout");
static_assert(offsetof(DEVICE_EXTENSION, bStatus2_DmaWrite) == 784, "layout");
static_assert(offsetof(DEVICE_EXTENSION, WatchdogTimer) == 792, "layout");
static_assert(offsetof(DEVICE_EXTENSION, pInterruptObject) == 920, "layout");
static_assert(offsetof(DEVICE_EXTENSION, io_control_count) == 948, "layout");
static_assert(offsetof(DEVICE_EXTENSION, CheckDpcTimer) == 960, "layout");
static_assert(offsetof(DEVICE_EXTENSION, ulRegShadow_DmaWrite) == 1100, "layout");
static_assert(offsetof(DEVICE_EXTENSION, bFirstReadRegister) == 1132, "layout");
static_assert(offsetof(DEVICE_EXTENSION, CommonBufferPool) == 1144, "layout");
static_assert(offsetof(DEVICE_EXTENSION, MsiConnectParameters) == 1400, "layout");
static_assert(offsetof(DEVICE_EXTENSION, read_reg_direct) == 1496, "layout");
static_assert(offsetof(DEVICE_EXTENSION, MsiEventDpc) == 1512, "layout");
static_assert(offsetof(DEVICE_EXTENSION, ucConfigSpace) == 1576, "layout");
static_assert(offsetof(DEVICE_EXTENSION, ulCheckDpcCnt) == 1840, "layout");
static_assert(offsetof(DEVICE_EXTENSION, TransferLock_DmaRead) == 1848, "the additions follow the record");
static_assert(sizeof(DEVICE_EXTENSION) == 1848 + 5 * sizeof(KEVENT) + sizeof(PIO_WORKITEM), "layout");
static_assert(sizeof(COMMON_BUFFER_POOL_ENTRY) == 32, "layout");

// The only driver-wide variable: microseconds WriteRegister waits after each
// store, shared by every card this driver serves.
extern "C" ULONG g_WriteDelay;

// ---------------------------------------------------------------------------
// driver.cpp: entry, add-device, unload, Plug and Play, configuration space,
// hardware start and stop, register access
// ---------------------------------------------------------------------------
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH Dispatch_PnP;
IO_COMPLETION_ROUTINE ForwardIrpCompletion;

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG Information);
VOID DeleteDevice(PDEVICE_OBJECT DeviceObject);
// The system's 1 ms tick, held from the first card's AddDevice to the last
// card's removal (driver.cpp, note 4). PASSIVE_LEVEL.
VOID HoldFineTick();
VOID ReleaseFineTick();
NTSTATUS ForwardIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PnPStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PnPQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PnPRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PnPCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PnPQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PnPSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS ReadWriteConfigSpace(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, ULONG Offset,
                              ULONG Length, PVOID Buffer);
NTSTATUS ReadConfigSpace(PDEVICE_OBJECT DeviceObject, ULONG Offset, ULONG Length, PVOID Buffer);
NTSTATUS WriteConfigSpace(PDEVICE_OBJECT DeviceObject, ULONG Offset, ULONG Length, PVOID Buffer);
NTSTATUS ReadConfigDword(PDEVICE_OBJECT DeviceObject, ULONG Offset, PVOID Buffer);

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PCM_PARTIAL_RESOURCE_LIST RawList,
                     PCM_PARTIAL_RESOURCE_LIST TranslatedList);
VOID StopDevice(PDEVICE_OBJECT DeviceObject);
VOID FenceOffCard(PDEVICE_EXTENSION Extension);
VOID ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------
// registers.cpp: register access
// ---------------------------------------------------------------------------
ULONG SwapRegisterValue(ULONG Value);
volatile ULONG* RegisterAddress(PDEVICE_EXTENSION Extension, ULONG Offset);
VOID WriteRegister(volatile ULONG* Address, ULONG Value, PDEVICE_EXTENSION Extension);
VOID WriteCardRegister(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Value);  // host-order value
VOID ArmWriteBack(PDEVICE_EXTENSION Extension);
ULONG ReadRegister(PDEVICE_EXTENSION Extension, ULONG Offset);
ULONG ReadRegister_WriteBack(PDEVICE_EXTENSION Extension, ULONG Offset);
ULONG Dispatch_ReadRegister(PDEVICE_EXTENSION Extension, ULONG Offset);
VOID RearmOnFirstAccess(PDEVICE_EXTENSION Extension, BOOLEAN SetRegister, ULONG Offset);
VOID DelayMicroseconds(LONG Microseconds);
VOID DelayMilliseconds(LONG Milliseconds);
BOOLEAN StopRequested(PDEVICE_EXTENSION Extension);
BOOLEAN DelayUnlessStopped(PDEVICE_EXTENSION Extension, LONG Microseconds);
BOOLEAN RequestAbandoned(PDEVICE_EXTENSION Extension, PIRP Irp);
BOOLEAN WriteRandomRegisters(PDEVICE_EXTENSION Extension, ULONG Count, PIRP Irp);
BOOLEAN ReadRegisterPair(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Count, PIRP Irp, ULONG* Value);
VOID PeekWriteBackArea(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Count, PUCHAR Out, ULONG OutLength);

// ---------------------------------------------------------------------------
// dma.cpp: DMA resources, transfers, DPCs, completion poll
// ---------------------------------------------------------------------------
BOOLEAN AllocateDmaResource(PDEVICE_OBJECT DeviceObject);
VOID FreeDmaResource(PDEVICE_OBJECT DeviceObject);

// poll.cpp: the completion poll and the transfer watchdog
VOID SetCheckDpcTimer(PDEVICE_EXTENSION Extension);
KDEFERRED_ROUTINE checkDpc_func;
KDEFERRED_ROUTINE WatchdogDpc_func;
VOID ClearRunning_DmaRead(PDEVICE_EXTENSION Extension);
VOID ClearRunning_DmaWrite(PDEVICE_EXTENSION Extension);

// transfer.cpp: transfer set-up
VOID UnlockUserBuffer_DmaRead(PDEVICE_EXTENSION Extension);
VOID UnlockUserBuffer_DmaWrite(PDEVICE_EXTENSION Extension);
NTSTATUS SubmitDmaRead(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block);
NTSTATUS ReleaseDmaRead(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block);
NTSTATUS SubmitDmaWrite(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block);
NTSTATUS CompleteDmaWrite(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block);

// ---------------------------------------------------------------------------
// interrupts.cpp: line and message-signalled interrupts
// ---------------------------------------------------------------------------
KSERVICE_ROUTINE LineIsr;
KMESSAGE_SERVICE_ROUTINE MsiIsr;
KDEFERRED_ROUTINE msiDpc_func;
VOID reg_msi(PDEVICE_EXTENSION Extension);
VOID unreg_msi(PDEVICE_EXTENSION Extension);
VOID RestoreMessageEnables(PDEVICE_EXTENSION Extension);
VOID ReconnectMsi(PDEVICE_EXTENSION Extension);

// ---------------------------------------------------------------------------
// dispatch.cpp: power, create and close; control.cpp: the control request
// ---------------------------------------------------------------------------
DRIVER_DISPATCH Dispatch_Create;
DRIVER_DISPATCH Dispatch_Close;
DRIVER_DISPATCH Dispatch_Power;
VOID InvalidateSavedConfigSpace(PDEVICE_EXTENSION Extension);
VOID ResetDescriptorShadows(PDEVICE_EXTENSION Extension);
DRIVER_DISPATCH Dispatch_DeviceIoControl;  // control.cpp

// Commands of the control interface, in the shape of control.cpp's command
// table: each returns the request's status and sets the block's result.
// events.cpp
NTSTATUS SetEventDmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS SetEventDmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS SetEventMsiCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
// transfers.cpp
NTSTATUS StartDmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS ReleaseDmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS StartDmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS FinishDmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS QueryDmaWriteClearCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS QueryDmaReadClearCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS GetStatus2DmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS GetStatus2DmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
VOID AcquireTransferLock(PKEVENT Lock);
VOID ReleaseTransferLock(PKEVENT Lock);
// pool.cpp
NTSTATUS GetBufferPoolCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS ReadBufferPoolCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
NTSTATUS WriteBufferPoolCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------
FORCEINLINE PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// The event a registration last stored in Slot, read by a DPC or an
// interrupt routine while a registration may swap it with an interlocked
// exchange (events.cpp, note 1; note 1 above).
FORCEINLINE PKEVENT RegisteredEvent(PKEVENT* Slot) {
  return static_cast<PKEVENT>(ReadPointerNoFence(reinterpret_cast<PVOID const volatile*>(Slot)));
}

// The 32-bit flags the record keeps are read and written with interlocked
// operations where other IRQLs race them (note 1).
FORCEINLINE LONG InterlockedReadFlag(volatile ULONG* Flag) {
  return InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(Flag), 0);
}
FORCEINLINE LONG InterlockedExchangeFlag(volatile ULONG* Flag, LONG Value) {
  return InterlockedExchange(reinterpret_cast<volatile LONG*>(Flag), Value);
}
// The write-back marker is moved by power requests and by register reads at
// once, which hold no lock in common: an interlocked add loses neither step
// (32-bit, wrapping).
FORCEINLINE VOID AdvanceMarker(volatile ULONG* Marker, ULONG Step) {
  InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(Marker), static_cast<LONG>(Step));
}

#endif  // DRIVERXILINX_DRIVER_H
