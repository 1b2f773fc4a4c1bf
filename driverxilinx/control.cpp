// The control interface: one buffered control code whose parameter block
// names a command, the table of commands, and the register commands.
//
// Notes:
//  1. Stop must never release what a request inside the driver still uses.
//     A request counts itself in io_control_count before it looks at
//     bDeviceStopped a second time; stop sets bDeviceStopped before it waits
//     for the count to drop to zero. With both steps interlocked (full
//     barriers), either the request sees the stop and leaves, or stop sees
//     the request and waits for it.
//  2. A request refused before its block is looked at completes with
//     information 0, and the routine returns the status it completed with.
//  3. Information is the block size, but never more than the caller's
//     output buffer: the I/O manager copies that many bytes back into it.
//  4. The I/O manager copies only InputBufferLength bytes into the system
//     buffer; when the block is longer than that, its tail is zeroed so that
//     no stale pool bytes can travel back to user mode.
//  5. A foreign control code that is not METHOD_BUFFERED has no system
//     buffer: it is answered without writing a result into one.
//  6. The control code is FILE_ANY_ACCESS (callers rely on its value), so
//     the I/O manager lets any handle send it, even one opened without data
//     access. The register commands can aim the card's DMA engine at any
//     memory: every request must come through a handle opened for reading
//     and writing. Only SYSTEM and administrators can open one at all (the
//     INF's device security).
//  7. The register test commands repeat up to 2^32 times. A run cut short
//     by stop or by cancellation completes with STATUS_CANCELLED; the I/O
//     manager then copies nothing back.
//  8. One table names every command and its routine; the routines live in
//     the file that owns their state (driver.h lists them by file).
//  9. The pseudo registers read driver state that other threads change
//     without a lock (driver.h, note 1): the interrupt count, the status
//     words the poll takes, the write delay. Those reads are NoFence loads,
//     and so is the trace's read of io_control_count.
#include "driver.h"

namespace {

constexpr ULONG kDumpLineLaWrite = 438, kDumpLineLaRead = 440, kDumpLineVaWrite = 442, kDumpLineVaRead = 444,
                kDumpLineSglRead = 450, kDumpLineSglWrite = 457;

inline ULONG Low32(ULONGLONG v) { return (ULONG)(v & 0xFFFFFFFFu); }
inline ULONG High32(ULONGLONG v) { return (ULONG)(v >> 32); }

ULONG StatusWord(PVOID CommonBuffer) {
  return CommonBuffer == nullptr ? 0 : ReadULongNoFence(static_cast<volatile ULONG*>(CommonBuffer));  // note 9
}

VOID DumpSglItem(const char* Format, ULONG Line, PVOID CommonBuffer) {
  if (CommonBuffer == nullptr) return;
  volatile ULONG* item = reinterpret_cast<volatile ULONG*>(static_cast<PUCHAR>(CommonBuffer) + cbuf::kSglItem);
  DbgPrint(Format, Line, (PVOID)item, item[1], item[2], item[3], item[0]);
}

VOID DiagnosticDump(PDEVICE_EXTENSION Extension) {
  ULONGLONG laWrite = (ULONGLONG)Extension->pCommonBuffer_LA_DmaWrite.QuadPart;
  ULONGLONG laRead = (ULONGLONG)Extension->pCommonBuffer_LA_DmaRead.QuadPart;
  DbgPrint("vantrel  %d  pCommonBuffer_LA_DmaWrite %p  %08x  %08x \n", kDumpLineLaWrite, (PVOID)(ULONG_PTR)laWrite,
           Low32(laWrite), High32(laWrite));
  DbgPrint("vantrel  %d  pCommonBuffer_LA_DmaRead  %p  %08x  %08x \n", kDumpLineLaRead, (PVOID)(ULONG_PTR)laRead,
           Low32(laRead), High32(laRead));
  DbgPrint("vantrel  %d  pCommonBuffer_VA_DmaWrite  %p  \n", kDumpLineVaWrite, Extension->pCommonBuffer_VA_DmaWrite);
  DbgPrint("vantrel  %d  pCommonBuffer_VA_DmaRead  %p  \n", kDumpLineVaRead, Extension->pCommonBuffer_VA_DmaRead);
  DumpSglItem("vantrel  %d  DmaRead_SGL_Item  %p  %08x  %08x  %08x  %08x \n", kDumpLineSglRead,
              Extension->pCommonBuffer_VA_DmaRead);
  DumpSglItem("vantrel  %d  DmaWrite_SGL_Item  %p  %08x  %08x  %08x  %08x \n", kDumpLineSglWrite,
              Extension->pCommonBuffer_VA_DmaWrite);
}

// IOCTL_SET_REGISTER: the write reaches the card for every offset; a few
// offsets also act on the driver. Message-interrupt connections are changed
// one at a time (interrupts.cpp, note 4).
VOID SetRegister(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block) {
  RearmOnFirstAccess(Extension, TRUE, Block->ulAddr);
  WriteRegister(RegisterAddress(Extension, Block->ulAddr), SwapRegisterValue(Block->ulData), Extension);
  switch (Block->ulAddr) {
    case PSEUDO_REG_WRITE_DELAY:
      // Every write of every card reads it (registers.cpp, note 6).
      WriteULongNoFence(&g_WriteDelay, Block->ulData > WRITE_DELAY_MAX_US ? WRITE_DELAY_MAX_US : Block->ulData);
      break;
    case PSEUDO_REG_MSI_RECONNECT:
      ReconnectMsi(Extension);
      break;
    case PSEUDO_REG_MSI_CONNECT:
      reg_msi(Extension);
      break;
    case PSEUDO_REG_MSI_DISCONNECT:
      unreg_msi(Extension);
      break;
    default:
      break;
  }
}

// IOCTL_GET_REGISTER: pseudo registers are plain reads of driver state;
// every other offset is read from the card.
VOID GetRegister(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block) {
  RearmOnFirstAccess(Extension, FALSE, Block->ulAddr);
  ULONGLONG laRead = (ULONGLONG)Extension->pCommonBuffer_LA_DmaRead.QuadPart;
  ULONGLONG laWrite = (ULONGLONG)Extension->pCommonBuffer_LA_DmaWrite.QuadPart;
  ULONG value;
  switch (Block->ulAddr) {
    case PSEUDO_REG_ISR_COUNT: value = ReadULongNoFence(&Extension->ulIsrCount); break;  // note 9
    case PSEUDO_REG_RESERVED_7901: value = 0; break;
    case PSEUDO_REG_RESERVED_7902: value = 0; break;
    case PSEUDO_REG_DMAREAD_STATUS: value = StatusWord(Extension->pCommonBuffer_VA_DmaRead); break;
    case PSEUDO_REG_DMAREAD_LAST_STATUS: value = Extension->ulLastStatus_DmaRead; break;
    case PSEUDO_REG_DMAWRITE_STATUS: value = StatusWord(Extension->pCommonBuffer_VA_DmaWrite); break;
    case PSEUDO_REG_DMAWRITE_LAST_STATUS: value = Extension->ulLastStatus_DmaWrite; break;
    case PSEUDO_REG_WRITE_DELAY: value = ReadULongNoFence(&g_WriteDelay); break;
    case PSEUDO_REG_WRITEBACK_ADDR_LOW: value = Low32(Extension->pGetRegister_LA) + regs::kWriteBackEnable; break;
    case PSEUDO_REG_WRITEBACK_ADDR_HIGH: value = High32(laRead); break;
    case PSEUDO_REG_WRITEBACK_AREA_VA: value = Low32((ULONGLONG)(ULONG_PTR)Extension->pulGetRegister); break;
    case PSEUDO_REG_RESERVED_7944: value = 0; break;
    case PSEUDO_REG_DMAREAD_BUFFER_LOW: value = Low32(laRead); break;
    case PSEUDO_REG_DMAREAD_BUFFER_HIGH: value = High32(laRead); break;
    case PSEUDO_REG_DMAWRITE_BUFFER_LOW: value = Low32(laWrite); break;
    case PSEUDO_REG_DMAWRITE_BUFFER_HIGH: value = High32(laWrite); break;
    case PSEUDO_REG_BAR2_VA: value = Low32((ULONGLONG)(ULONG_PTR)Extension->pBar2_VA); break;
    case PSEUDO_REG_READ_WRITEBACK_ADDR: value = static_cast<ULONG>(InterlockedReadFlag(&Extension->ulReadWriteBackAddr)); break;
    case PSEUDO_REG_DIAGNOSTIC_DUMP:
      Block->ulData = 0;
      DiagnosticDump(Extension);
      return;
    default: value = Dispatch_ReadRegister(Extension, Block->ulAddr); break;
  }
  Block->ulData = value;
}

// Commands 9, 0x1000, 0x1001 and 0x1005, in the shape of the command table.
NTSTATUS SetRegisterCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  SetRegister(Extension, Block);
  return STATUS_SUCCESS;
}

NTSTATUS GetRegisterCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  GetRegister(Extension, Block);
  return STATUS_SUCCESS;
}

NTSTATUS GetVersionCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Extension);
  UNREFERENCED_PARAMETER(Irp);
  Block->ulData = DRIVER_INTERFACE_VERSION;
  return STATUS_SUCCESS;
}

NTSTATUS TestWriteRegistersCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {  // note 7
  return WriteRandomRegisters(Extension, Block->ulParam0, Irp) ? STATUS_SUCCESS : STATUS_CANCELLED;
}

NTSTATUS TestReadRegisterCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {  // note 7
  ULONG value = Block->ulData;
  BOOLEAN finished = ReadRegisterPair(Extension, Block->ulAddr, Block->ulParam0, Irp, &value);
  Block->ulData = value;
  return finished ? STATUS_SUCCESS : STATUS_CANCELLED;
}

NTSTATUS ReadWriteBackCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  constexpr ULONG kOut = 16;
  PeekWriteBackArea(Extension, Block->ulAddr, Block->ulData, reinterpret_cast<PUCHAR>(Block) + kOut,
                    IOCTL_BUFFER_SIZE - kOut);
  return STATUS_SUCCESS;
}

// Every command of the control interface and the routine that runs it
// (note 8). Each routine returns the request's status and sets the block's
// result word.
typedef NTSTATUS COMMAND_ROUTINE(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp);
struct COMMAND_ENTRY {
  ULONG Command;
  COMMAND_ROUTINE* Routine;
};

constexpr COMMAND_ENTRY kCommands[] = {
    {IOCTL_SET_REGISTER, SetRegisterCommand},                  // control.cpp
    {IOCTL_GET_REGISTER, GetRegisterCommand},
    {IOCTL_GET_VERSION, GetVersionCommand},
    {IOCTL_TEST_WRITE_REGISTERS, TestWriteRegistersCommand},
    {IOCTL_TEST_READ_REGISTER, TestReadRegisterCommand},
    {IOCTL_READ_WRITEBACK, ReadWriteBackCommand},
    {IOCTL_SET_EVENT_DMAREAD, SetEventDmaReadCommand},          // events.cpp
    {IOCTL_SET_EVENT_DMAWRITE, SetEventDmaWriteCommand},
    {IOCTL_SET_EVENT_MSI, SetEventMsiCommand},
    {IOCTL_START_DMAREAD, StartDmaReadCommand},                 // transfers.cpp
    {IOCTL_RELEASE_DMAREAD, ReleaseDmaReadCommand},
    {IOCTL_START_DMAWRITE, StartDmaWriteCommand},
    {IOCTL_FINISH_DMAWRITE, FinishDmaWriteCommand},
    {IOCTL_QUERY_DMAWRITE_CLEAR, QueryDmaWriteClearCommand},
    {IOCTL_QUERY_DMAREAD_CLEAR, QueryDmaReadClearCommand},
    {IOCTL_GET_STATUS2_DMAREAD, GetStatus2DmaReadCommand},
    {IOCTL_GET_STATUS2_DMAWRITE, GetStatus2DmaWriteCommand},
    {IOCTL_GET_BUFFER_POOL, GetBufferPoolCommand},              // pool.cpp
    {IOCTL_READ_BUFFER_POOL, ReadBufferPoolCommand},
    {IOCTL_WRITE_BUFFER_POOL, WriteBufferPoolCommand},
};

// Runs one command of the block; any number not in the table is unknown
// (result 8). Returns the request's status.
NTSTATUS RunCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  for (const COMMAND_ENTRY& entry : kCommands) {
    if (entry.Command == Block->ulCommand) return entry.Routine(Extension, Block, Irp);
  }
  Block->ulResult = RESULT_UNKNOWN_COMMAND;
  return STATUS_SUCCESS;
}

}  // namespace

// Dispatch_DeviceIoControl: IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL, the
// caller's thread; always completes the request itself.
NTSTATUS Dispatch_DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (DeviceObject == nullptr) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  PAGED_CODE();
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);

  if (!NT_SUCCESS(IoValidateDeviceIoControlAccess(Irp, FILE_READ_ACCESS | FILE_WRITE_ACCESS))) {  // note 6
    DbgPrint("vantrel  DeviceIoControl STATUS_ACCESS_DENIED\n");
    return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  }

  if (InterlockedReadFlag(&ext->bDeviceStopped) != 0) {  // note 2
    return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  LONG before = InterlockedIncrement(&ext->io_control_count) - 1;
  if (InterlockedReadFlag(&ext->bDeviceStopped) != 0) {  // note 1
    InterlockedDecrement(&ext->io_control_count);
    return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  if (before != 0) DbgPrint("qm4200    io_control_count %d", ReadNoFence(&ext->io_control_count));  // note 9

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (inLength < IOCTL_BUFFER_SIZE && outLength < IOCTL_BUFFER_SIZE) {
    DbgPrint("vantrel  DeviceIoControl STATUS_BUFFER_TOO_SMALL   %d  %d  %d\n", inLength, outLength,
             IOCTL_BUFFER_SIZE);
    CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    InterlockedDecrement(&ext->io_control_count);
    return STATUS_BUFFER_TOO_SMALL;
  }

  const ULONG information = outLength < IOCTL_BUFFER_SIZE ? outLength : IOCTL_BUFFER_SIZE;  // note 3
  auto* block = static_cast<IOCTL_BUFFER*>(Irp->AssociatedIrp.SystemBuffer);
  NTSTATUS status;
  if (code != IOCTL_COMMAND) {
    status = STATUS_NOT_IMPLEMENTED;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && block != nullptr) {
      block->ulResult = RESULT_NOT_IMPLEMENTED;
      CompleteRequest(Irp, status, information);
    } else {
      CompleteRequest(Irp, status, 0);  // note 5
    }
  } else {
    if (inLength < IOCTL_BUFFER_SIZE) {  // note 4
      RtlZeroMemory(reinterpret_cast<PUCHAR>(block) + inLength, IOCTL_BUFFER_SIZE - inLength);
    }
    block->ulResult = RESULT_SUCCESS;
    status = RunCommand(ext, block, Irp);
    CompleteRequest(Irp, status, information);
  }
  InterlockedDecrement(&ext->io_control_count);
  return status;
}
