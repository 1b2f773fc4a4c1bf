// The buffer pool commands of the control interface (family A builds): the
// pool's bus addresses (12), and copies between a pool buffer and the
// caller's memory (13, 14). Family B blocks are too short for them: there
// the commands are unknown.
//
// Notes:
//  1. Pool copies run through a locked MDL of the caller's buffer and touch
//     user memory only inside the guard; an entry without a buffer or MDL is
//     never copied to or from. A copy of zero bytes succeeds without
//     touching the caller's memory: it builds no MDL and locks nothing (what
//     the memory manager does with an empty MDL is not documented).
#include "driver.h"

namespace {

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

VOID GetBufferPool(PDEVICE_EXTENSION Extension, IOCTL_BUFFER_A* Block) {
  PUCHAR table = reinterpret_cast<PUCHAR>(Block) + IOCTL_POOL_TABLE_OFFSET;
  for (ULONG i = 0; i < COMMON_BUFFER_POOL_ENTRIES; ++i) {
    const COMMON_BUFFER_POOL_ENTRY& entry = Extension->CommonBufferPool[i];
    RtlCopyMemory(table + 16 * i, &entry.pCommonBuffer_LA.QuadPart, sizeof(ULONGLONG));
    RtlCopyMemory(table + 16 * i + 8, &entry.ulBufferSize, sizeof(ULONG));
  }
}

// Commands 13 (ToUser) and 14: copy between a pool buffer found by its bus
// address and the caller's buffer (note 1).
VOID CopyBufferPool(PDEVICE_EXTENSION Extension, IOCTL_BUFFER_A* Block, BOOLEAN ToUser) {
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
  if (length == 0) {  // note 1
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

// Only a family A block is long enough for the pool commands.
IOCTL_BUFFER_A* FamilyABlock(IOCTL_BUFFER* Block) {
  if (!PRODUCT_FAMILY_A) {
    Block->ulResult = RESULT_UNKNOWN_COMMAND;
    return nullptr;
  }
  return reinterpret_cast<IOCTL_BUFFER_A*>(Block);
}

}  // namespace

// Commands 12, 13 and 14. PASSIVE_LEVEL, the caller's process. The outcome
// travels in the result word; the status is always STATUS_SUCCESS.
NTSTATUS GetBufferPoolCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  if (IOCTL_BUFFER_A* block = FamilyABlock(Block)) GetBufferPool(Extension, block);
  return STATUS_SUCCESS;
}

NTSTATUS ReadBufferPoolCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  if (IOCTL_BUFFER_A* block = FamilyABlock(Block)) CopyBufferPool(Extension, block, TRUE);
  return STATUS_SUCCESS;
}

NTSTATUS WriteBufferPoolCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  if (IOCTL_BUFFER_A* block = FamilyABlock(Block)) CopyBufferPool(Extension, block, FALSE);
  return STATUS_SUCCESS;
}
