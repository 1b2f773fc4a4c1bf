// The transfer, event and buffer pool commands of the control interface.
//
// Notes:
//  1. Commands of one direction run one at a time: each takes the
//     direction's lock, so two threads can never race on its locked buffer,
//     length or common buffer. Close takes the same locks.
//  2. An event handle comes from user mode and is referenced as a user-mode
//     request's handle (access checked, no kernel handles). A registration
//     replaces the slot's event and then drops the earlier reference, after
//     the DPC queue has been flushed: a poll or message DPC that read the old
//     pointer has finished by then, so no DPC signals a released event. A
//     registration that fails leaves the slot empty, as it always has.
//  3. Pool copies run through a locked MDL of the caller's buffer and touch
//     user memory only inside the guard; an entry without a buffer or MDL is
//     never copied to or from. A copy of zero bytes succeeds without
//     touching the caller's memory: it builds no MDL and locks nothing (what
//     the memory manager does with an empty MDL is not documented).
#include "driver.h"

namespace {

// -- events -------------------------------------------------------------------
NTSTATUS RegisterEvent(IOCTL_BUFFER* Block, PKEVENT* Slot, KPROCESSOR_MODE RequestorMode) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)Block->hEvent, EVENT_MODIFY_STATE,
                                              *ExEventObjectType, RequestorMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    Block->ulResult = RESULT_EVENT_NOT_REFERENCED;
    object = nullptr;
  }
  PKEVENT previous = static_cast<PKEVENT>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Slot), object));
  if (previous != nullptr) {
    KeFlushQueuedDpcs();
    ObDereferenceObject(previous);
  }
  return status;
}

// -- buffer pool (family A) ------------------------------------------------------
struct PoolCopy {
  PMDL mdl;
  PUCHAR pool;
  ULONG length;
  BOOLEAN toUser;
};

VOID LockPoolCaller(PVOID Context) {
  MmProbeAndLockPages(static_cast<PoolCopy*>(Context)->mdl, UserMode, IoModifyAccess);
}

VOID CopyPool(PVOID Context) {
  auto* c = static_cast<PoolCopy*>(Context);
  PVOID user = MmGetMdlVirtualAddress(c->mdl);
  if (c->toUser) {
    ProbeForWrite(user, c->length, 1);
    RtlCopyMemory(user, c->pool, c->length);
  } else {
    ProbeForRead(user, c->length, 1);
    RtlCopyMemory(c->pool, user, c->length);
  }
}

VOID UnlockPoolCaller(PVOID Context) { MmUnlockPages(static_cast<PoolCopy*>(Context)->mdl); }

// The pool commands exist in family A builds only (unused in family B).
[[maybe_unused]] VOID GetBufferPool(PDEVICE_EXTENSION Extension, IOCTL_BUFFER_A* Block) {
  PUCHAR table = reinterpret_cast<PUCHAR>(Block) + IOCTL_POOL_TABLE_OFFSET;
  for (ULONG i = 0; i < COMMON_BUFFER_POOL_ENTRIES; ++i) {
    const COMMON_BUFFER_POOL_ENTRY& entry = Extension->CommonBufferPool[i];
    RtlCopyMemory(table + 16 * i, &entry.pCommonBuffer_LA.QuadPart, sizeof(ULONGLONG));
    RtlCopyMemory(table + 16 * i + 8, &entry.ulBufferSize, sizeof(ULONG));
  }
}

// Commands 13 (ToUser) and 14: copy between a pool buffer found by its bus
// address and the caller's buffer (note 3).
[[maybe_unused]] VOID CopyBufferPool(PDEVICE_EXTENSION Extension, IOCTL_BUFFER_A* Block, BOOLEAN ToUser) {
  Block->ulResult = RESULT_POOL_NO_COPY;
  const COMMON_BUFFER_POOL_ENTRY* entry = nullptr;
  for (ULONG i = 0; i < COMMON_BUFFER_POOL_ENTRIES; ++i) {
    if ((ULONGLONG)Extension->CommonBufferPool[i].pCommonBuffer_LA.QuadPart == Block->ullKey) {
      entry = &Extension->CommonBufferPool[i];
      break;
    }
  }
  if (entry == nullptr || entry->pCommonBuffer_VA == nullptr || entry->pMdl == nullptr) return;
  const ULONG offset = Block->ulParam2, length = Block->ulData;
  if (offset > entry->ulBufferSize || length > entry->ulBufferSize - offset) return;
  if (length == 0) {  // note 3
    Block->ulResult = RESULT_SUCCESS;
    return;
  }

  PoolCopy copy = {nullptr, static_cast<PUCHAR>(entry->pCommonBuffer_VA) + offset, length, ToUser};
  copy.mdl = IoAllocateMdl((PVOID)(ULONG_PTR)Block->ulAddr, length, FALSE, FALSE, nullptr);
  if (copy.mdl == nullptr) return;
  if (RunGuarded(LockPoolCaller, &copy)) {
    IoFreeMdl(copy.mdl);
    return;
  }
  if (!RunGuarded(CopyPool, &copy)) Block->ulResult = RESULT_SUCCESS;
  RunGuarded(UnlockPoolCaller, &copy);
  IoFreeMdl(copy.mdl);
}

ULONG StatusWordIsClear(PVOID CommonBuffer) {
  return (CommonBuffer == nullptr || *static_cast<volatile ULONG*>(CommonBuffer) == 0) ? 1 : 0;
}

NTSTATUS Locked(PKEVENT Lock, NTSTATUS (*Command)(PDEVICE_EXTENSION, IOCTL_BUFFER*), PDEVICE_EXTENSION Extension,
                IOCTL_BUFFER* Block) {
  AcquireTransferLock(Lock);
  NTSTATUS status = Command(Extension, Block);
  ReleaseTransferLock(Lock);
  return status;
}

}  // namespace

VOID AcquireTransferLock(PKEVENT Lock) { KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, nullptr); }
VOID ReleaseTransferLock(PKEVENT Lock) { KeSetEvent(Lock, IO_NO_INCREMENT, FALSE); }

// Runs the commands of this file; any other number is unknown (result 8).
// PASSIVE_LEVEL, the caller's thread.
NTSTATUS RunTransferCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, KPROCESSOR_MODE RequestorMode) {
  switch (Block->ulCommand) {
    case IOCTL_SET_EVENT_DMAREAD:
      return RegisterEvent(Block, &Extension->pEvent_DmaRead, RequestorMode);
    case IOCTL_SET_EVENT_DMAWRITE:
      return RegisterEvent(Block, &Extension->pEvent_DmaWrite, RequestorMode);
    case IOCTL_SET_EVENT_MSI:
      return RegisterEvent(Block, &Extension->pMsiEvent, RequestorMode);
    case IOCTL_START_DMAREAD:
      return Locked(&Extension->TransferLock_DmaRead, SubmitDmaRead, Extension, Block);
    case IOCTL_RELEASE_DMAREAD:
      return Locked(&Extension->TransferLock_DmaRead, ReleaseDmaRead, Extension, Block);
    case IOCTL_START_DMAWRITE:
      return Locked(&Extension->TransferLock_DmaWrite, SubmitDmaWrite, Extension, Block);
    case IOCTL_FINISH_DMAWRITE:
      return Locked(&Extension->TransferLock_DmaWrite, CompleteDmaWrite, Extension, Block);
    case IOCTL_QUERY_DMAWRITE_CLEAR:
      Block->ulAddr = StatusWordIsClear(Extension->pCommonBuffer_VA_DmaWrite);
      return STATUS_SUCCESS;
    case IOCTL_QUERY_DMAREAD_CLEAR:
      Block->ulAddr = StatusWordIsClear(Extension->pCommonBuffer_VA_DmaRead);
      return STATUS_SUCCESS;
    case IOCTL_GET_STATUS2_DMAREAD:
      Block->ulData = (ULONG)InterlockedExchangeFlag(&Extension->bStatus2_DmaRead, 0);
      return STATUS_SUCCESS;
    case IOCTL_GET_STATUS2_DMAWRITE:
      Block->ulData = (ULONG)InterlockedExchangeFlag(&Extension->bStatus2_DmaWrite, 0);
      return STATUS_SUCCESS;
    default:
      break;
  }
  if constexpr (PRODUCT_FAMILY_A) {
    // Only family A blocks are long enough for the pool commands.
    auto* block = reinterpret_cast<IOCTL_BUFFER_A*>(Block);
    switch (Block->ulCommand) {
      case IOCTL_GET_BUFFER_POOL:
        GetBufferPool(Extension, block);
        return STATUS_SUCCESS;
      case IOCTL_READ_BUFFER_POOL:
        CopyBufferPool(Extension, block, TRUE);
        return STATUS_SUCCESS;
      case IOCTL_WRITE_BUFFER_POOL:
        CopyBufferPool(Extension, block, FALSE);
        return STATUS_SUCCESS;
      default:
        break;
    }
  }
  Block->ulResult = RESULT_UNKNOWN_COMMAND;
  return STATUS_SUCCESS;
}
