// Transfer set-up: one block of user data per request, in either
// direction, staged through the direction's common buffer.
//
// Notes:
//  1. The user buffer is locked for the life of the transfer to validate and
//     pin it; the data itself is copied by the processor between the locked
//     pages' system address and the common buffer. The user address is the
//     locking request's: a finish may come from another thread or process
//     (any handle of the card), and the user may change its view of the
//     pages meanwhile, but the locked pages stay where they are. The card
//     is only ever given bus addresses inside common buffers.
//  2. The scatter/gather item at 0x200 is four big-endian words: the length
//     in 32-bit words (bits 21..0), the user parameter, 0, and the bus
//     address of the data area (common buffer + 0x1000).
//  3. Everything the card reads (data, status word, item) is stored before
//     the start register is written: the buffer is non-cached and every
//     register write ends with a full fence.
//  4. Descriptor registers are written only when their value changes, so a
//     steady stream of equal transfers writes the start register alone.
//  5. A start register outside the mapped window is refused before anything
//     changes, like a transfer that is too long.
//  6. The host-to-card clear spares the 8-byte register write-back slot at
//     0x40. Clearing it would not stop a register read that is waiting (its
//     attempt would only time out), but it could zero an answer between the
//     moment a read sees the ready flag and the moment it takes the value,
//     and the read would then report 0 as the register's value.
//  7. The status word is the poll's as much as the commands': the poll takes
//     it with an interlocked exchange at any moment, under no lock
//     (poll.cpp, note 5). The commands clear it with a store of its own
//     (ClearStatusWord) and leave it out of their bulk clears. The commands
//     that end a transfer (6 and 8) clear it too: on cards that report
//     completion in status registers the poll leaves it set, and the line
//     routine, which claims the shared line while a word is set
//     (interrupts.cpp, note 1), would otherwise claim every interrupt of
//     the other devices on it until the next transfer.
#include "driver.h"

namespace {

constexpr ULONG kSglWordCountMask = 0x003FFFFF;  // bits 21..0
constexpr ULONG kStatusWordEnd = cbuf::kStatusWord + sizeof(ULONG);
static_assert(cbuf::kStatusWord == 0, "the bulk clears start after the status word");

// Note 7.
VOID ClearStatusWord(PVOID Buffer) {
  WriteULongNoFence(reinterpret_cast<volatile ULONG*>(static_cast<PUCHAR>(Buffer) + cbuf::kStatusWord), 0);
}

// The per-direction fields, so that both directions share one code path.
struct Direction {
  PVOID buffer;
  PHYSICAL_ADDRESS bus;
  ULONG* length;
  PMDL* userMdl;
  ULONG* startReg;
  ULONG* userParam;
  volatile ULONG* running;
  volatile ULONG* timeoutTicks;
  ULONG* shadow;
  ULONG firstDescriptor;  // 0x1050 (DmaRead) or 0x1040 (DmaWrite)
};

Direction DmaRead(PDEVICE_EXTENSION e) {
  return {e->pCommonBuffer_VA_DmaRead, e->pCommonBuffer_LA_DmaRead, &e->ulLength_DmaRead,
          &e->pMdl_UserBuffer_DmaRead, &e->ulStartReg_DmaRead, &e->ulUserParam_DmaRead,
          &e->bRunning_DmaRead, &e->ulTimeoutTicks_DmaRead, e->ulRegShadow_DmaRead, regs::kDmaReadDesc0};
}

Direction DmaWrite(PDEVICE_EXTENSION e) {
  return {e->pCommonBuffer_VA_DmaWrite, e->pCommonBuffer_LA_DmaWrite, &e->ulLength_DmaWrite,
          &e->pMdl_UserBuffer_DmaWrite, &e->ulStartReg_DmaWrite, &e->ulUserParam_DmaWrite,
          &e->bRunning_DmaWrite, &e->ulTimeoutTicks_DmaWrite, e->ulRegShadow_DmaWrite, regs::kDmaWriteDesc0};
}

// Clears the DmaRead common buffer for a new transfer, all but the register
// write-back slot (note 6): a register read may be taking its answer from
// there at this very moment.
VOID ClearDmaReadBuffer(PVOID Buffer) {
  PUCHAR bytes = static_cast<PUCHAR>(Buffer);
  constexpr ULONG kSlotEnd = cbuf::kWriteBackArea + 2 * sizeof(ULONG);
  ClearStatusWord(bytes);
  RtlZeroMemory(bytes + kStatusWordEnd, cbuf::kWriteBackArea - kStatusWordEnd);
  RtlZeroMemory(bytes + kSlotEnd, DMA_COMMON_BUFFER_SIZE - kSlotEnd);
}

VOID UnlockUserBuffer(PMDL* UserMdl) {
  if (*UserMdl == nullptr) return;
  MmUnlockPages(*UserMdl);
  IoFreeMdl(*UserMdl);
  *UserMdl = nullptr;
}

struct LockContext {
  PMDL mdl;
};

VOID ProbeAndLock(PVOID Context) {
  MmProbeAndLockPages(static_cast<LockContext*>(Context)->mdl, UserMode, IoModifyAccess);
}

// Locks the caller's buffer for the direction (note 1).
BOOLEAN LockUserBuffer(PDEVICE_EXTENSION Extension, const Direction& Dir, IOCTL_BUFFER* Block) {
  UNREFERENCED_PARAMETER(Extension);
  UnlockUserBuffer(Dir.userMdl);
  *Dir.userMdl = IoAllocateMdl((PVOID)(ULONG_PTR)Block->ulAddr, Block->ulData, FALSE, FALSE, nullptr);
  if (*Dir.userMdl == nullptr) return FALSE;
  // IoModifyAccess for both directions: a host-to-card buffer must be
  // writable too.
  LockContext lock = {*Dir.userMdl};
  if (RunGuarded(ProbeAndLock, &lock)) {
    IoFreeMdl(*Dir.userMdl);
    *Dir.userMdl = nullptr;
    return FALSE;
  }
  *Dir.startReg = Block->ulParam0;
  *Dir.userParam = Block->ulParam1;
  return TRUE;
}

// The locked buffer's system address (note 1), or null when the system
// cannot map it now.
PUCHAR LockedBuffer(PMDL Mdl) {
  return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority));
}

// Hands the prepared transfer to the card (notes 2 to 4). PASSIVE_LEVEL.
VOID StartTransfer(PDEVICE_EXTENSION Extension, const Direction& Dir) {
  PUCHAR buffer = static_cast<PUCHAR>(Dir.buffer);
  ClearStatusWord(buffer);

  const ULONG base = Dir.bus.LowPart;
  const ULONG data = base + cbuf::kData;
  ULONG item[4];
  item[0] = SwapRegisterValue((*Dir.length / 4) & kSglWordCountMask);
  item[1] = SwapRegisterValue(*Dir.userParam);
  item[2] = 0;
  item[3] = SwapRegisterValue(data);
  RtlCopyMemory(buffer + cbuf::kSglItem, item, sizeof(item));

  WriteCardRegister(Extension, *Dir.startReg, base);
  const ULONG values[4] = {*Dir.userParam, data, *Dir.length, base};
  for (ULONG i = 0; i < 4; ++i) {
    if (Dir.shadow[i] == values[i]) continue;
    WriteCardRegister(Extension, Dir.firstDescriptor + 4 * i, values[i]);
    Dir.shadow[i] = values[i];
  }
  InterlockedExchangeFlag(Dir.running, 1);
  InterlockedExchangeFlag(Dir.timeoutTicks, 0);
  SetCheckDpcTimer(Extension);
}

// The checks both submit commands make before anything changes. Returns
// FALSE with the request's status in *Status when the request is refused.
BOOLEAN AcceptSubmit(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, ULONG RefusedResult, NTSTATUS* Status) {
  if (Block->ulData > DMA_MAX_TRANSFER_SIZE) {
    Block->ulResult = RefusedResult;
    *Status = STATUS_BUFFER_TOO_SMALL;
    return FALSE;
  }
  if (Block->ulData != 0 && RegisterAddress(Extension, Block->ulParam0) == nullptr) {  // note 5
    Block->ulResult = RefusedResult;
    *Status = STATUS_INVALID_PARAMETER;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

VOID UnlockUserBuffer_DmaRead(PDEVICE_EXTENSION Extension) { UnlockUserBuffer(&Extension->pMdl_UserBuffer_DmaRead); }
VOID UnlockUserBuffer_DmaWrite(PDEVICE_EXTENSION Extension) { UnlockUserBuffer(&Extension->pMdl_UserBuffer_DmaWrite); }

// SubmitDmaRead (command 5): lock, copy the caller's bytes into the common
// buffer, hand over. PASSIVE_LEVEL, the caller's process.
NTSTATUS SubmitDmaRead(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!AcceptSubmit(Extension, Block, RESULT_DMAREAD_FAILED, &status)) return status;
  Direction dir = DmaRead(Extension);
  *dir.length = Block->ulData;
  if (*dir.length == 0) return STATUS_SUCCESS;  // an earlier lock stays
  if (!LockUserBuffer(Extension, dir, Block)) return STATUS_INSUFFICIENT_RESOURCES;

  ClearDmaReadBuffer(dir.buffer);
  PUCHAR source = LockedBuffer(*dir.userMdl);
  if (source == nullptr) {
    // Not handed over; the buffer stays locked until command 6, the next
    // lock or close.
    Block->ulResult = RESULT_DMAREAD_FAILED;
    return STATUS_SUCCESS;
  }
  RtlCopyMemory(static_cast<PUCHAR>(dir.buffer) + cbuf::kData, source, *dir.length);
  StartTransfer(Extension, dir);
  return STATUS_SUCCESS;
}

// ReleaseDmaRead (command 6): forgets the transfer, whether or not the card
// is done with it.
NTSTATUS ReleaseDmaRead(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block) {
  UNREFERENCED_PARAMETER(Block);
  if (Extension->pCommonBuffer_VA_DmaRead != nullptr) ClearStatusWord(Extension->pCommonBuffer_VA_DmaRead);  // note 7
  UnlockUserBuffer_DmaRead(Extension);
  Extension->ulLength_DmaRead = 0;
  return STATUS_SUCCESS;
}

// SubmitDmaWrite (command 7): lock, clear the common buffer, hand over.
NTSTATUS SubmitDmaWrite(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!AcceptSubmit(Extension, Block, RESULT_DMAWRITE_TOO_LONG, &status)) return status;
  Direction dir = DmaWrite(Extension);
  *dir.length = Block->ulData;
  if (*dir.length == 0) return STATUS_SUCCESS;
  if (!LockUserBuffer(Extension, dir, Block)) return STATUS_INSUFFICIENT_RESOURCES;
  ClearStatusWord(dir.buffer);  // note 7
  RtlZeroMemory(static_cast<PUCHAR>(dir.buffer) + kStatusWordEnd, DMA_COMMON_BUFFER_SIZE - kStatusWordEnd);
  StartTransfer(Extension, dir);
  return STATUS_SUCCESS;
}

// CompleteDmaWrite (command 8): copies whatever the common buffer holds into
// the caller's buffer and unlocks it.
NTSTATUS CompleteDmaWrite(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block) {
  Direction dir = DmaWrite(Extension);
  if (*dir.length != 0 && *dir.userMdl != nullptr) {
    PUCHAR target = LockedBuffer(*dir.userMdl);
    if (target != nullptr) {
      RtlCopyMemory(target, static_cast<PUCHAR>(dir.buffer) + cbuf::kData, *dir.length);
    } else {
      Block->ulResult = RESULT_DMAWRITE_COPY_FAILED;
    }
  }
  *dir.length = 0;
  if (dir.buffer != nullptr) ClearStatusWord(dir.buffer);  // note 7
  UnlockUserBuffer_DmaWrite(Extension);
  return STATUS_SUCCESS;
}
