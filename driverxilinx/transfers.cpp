// The transfer commands of the control interface: start and finish a
// transfer in either direction (5 to 8), the status-word queries (10, 11)
// and the status-2 flags (0x100, 0x101).
//
// Notes:
//  1. Commands of one direction run one at a time: each takes the
//     direction's lock, so two threads can never race on its locked buffer,
//     length or common buffer. Close takes the same locks.
#include "driver.h"

namespace {

ULONG StatusWordIsClear(PVOID CommonBuffer) {
  // The poll takes the word at any moment (poll.cpp, note 5).
  return (CommonBuffer == nullptr || ReadULongNoFence(static_cast<volatile ULONG*>(CommonBuffer)) == 0) ? 1 : 0;
}

NTSTATUS Locked(PKEVENT Lock, NTSTATUS (*Command)(PDEVICE_EXTENSION, IOCTL_BUFFER*), PDEVICE_EXTENSION Extension,
                IOCTL_BUFFER* Block) {
  AcquireTransferLock(Lock);  // note 1
  NTSTATUS status = Command(Extension, Block);
  ReleaseTransferLock(Lock);
  return status;
}

}  // namespace

VOID AcquireTransferLock(PKEVENT Lock) { KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, nullptr); }
VOID ReleaseTransferLock(PKEVENT Lock) { KeSetEvent(Lock, IO_NO_INCREMENT, FALSE); }

// Commands 5 to 8. PASSIVE_LEVEL, the caller's process. Return the request's
// status and set the block's result (transfer.cpp).
NTSTATUS StartDmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  return Locked(&Extension->TransferLock_DmaRead, SubmitDmaRead, Extension, Block);
}

NTSTATUS ReleaseDmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  return Locked(&Extension->TransferLock_DmaRead, ReleaseDmaRead, Extension, Block);
}

NTSTATUS StartDmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  return Locked(&Extension->TransferLock_DmaWrite, SubmitDmaWrite, Extension, Block);
}

NTSTATUS FinishDmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  return Locked(&Extension->TransferLock_DmaWrite, CompleteDmaWrite, Extension, Block);
}

// Commands 10 and 11: 1 in ulAddr while the direction's status word is clear.
NTSTATUS QueryDmaWriteClearCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  Block->ulAddr = StatusWordIsClear(Extension->pCommonBuffer_VA_DmaWrite);
  return STATUS_SUCCESS;
}

NTSTATUS QueryDmaReadClearCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  Block->ulAddr = StatusWordIsClear(Extension->pCommonBuffer_VA_DmaRead);
  return STATUS_SUCCESS;
}

// Commands 0x100 and 0x101: whether the card ended a transfer with status 2
// since the last query, cleared by the query.
NTSTATUS GetStatus2DmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  Block->ulData = (ULONG)InterlockedExchangeFlag(&Extension->bStatus2_DmaRead, 0);
  return STATUS_SUCCESS;
}

NTSTATUS GetStatus2DmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  Block->ulData = (ULONG)InterlockedExchangeFlag(&Extension->bStatus2_DmaWrite, 0);
  return STATUS_SUCCESS;
}
