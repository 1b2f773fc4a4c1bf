// Register access: byte order, the post-write delay, direct and write-back
// reads, the re-arming of the write-back address, and the register tests.
//
// Notes:
//  1. Registers are big-endian on the bus: every value is byte-swapped on its
//     way in and out. Offsets are host-order numbers.
//  2. All MMIO goes through WriteRegister and the two read paths, which
//     refuse any access that would fall outside the mapped register window
//     (the read request of a write-back read included): such a write is
//     dropped and such a read answers 0xFFFFFFFF, as a failed read does.
//  3. The write-back area is one slot per card. The card echoes the register
//     offset in the flag word, so a read that sees another register's answer
//     fails its attempt and retries; an echo of 0 is accepted. The echo alone
//     cannot keep two concurrent reads apart, though: the value and the flag
//     are two separate writes of the card, and a second answer's value can
//     land between the first answer's flag and the moment its read takes the
//     value. So the reads of one card take turns (WriteBackLock), each
//     starting from a clear slot.
//  4. Write-back reads poll with a busy loop but pause with thread delays, so
//     they run at PASSIVE_LEVEL only. Code at DISPATCH_LEVEL reads registers
//     only on cards with direct reads.
//  5. Nothing here may hold stop or removal up: a write-back read can last
//     half a minute with the longest post-write delay (ten attempts of up to
//     three delayed writes each), and the register tests repeat up to 2^32
//     times. Every pause waits on StopEvent with a time-out instead of
//     sleeping, a write-back read gives up once stop has begun (its value
//     would be meaningless), and the test loops also end when their request
//     is cancelled (its thread exited). Stop itself waits for the control
//     requests inside the driver, so each must leave promptly.
//  6. bFirstReadRegister and g_WriteDelay are shared without a lock
//     (driver.h, note 1) and read and written with NoFence accesses. Two
//     commands that both see bFirstReadRegister set only write the same
//     address twice; a write that meets a change of g_WriteDelay waits the
//     old delay or the new one.
#include "driver.h"

namespace {

constexpr ULONG kFirstAttemptLimit = 3;
constexpr ULONG kCoreRegisterAttemptLimit = 10;
constexpr LONGLONG kAttemptDeadlineStep = 200000;  // 20 ms in 100 ns units
constexpr LONG kRetryPauseMs = 10;
constexpr LONG kFailurePauseMs = 50;
constexpr LONG kStallSliceUs = 50;

inline ULONG Low32(ULONGLONG v) { return (ULONG)(v & 0xFFFFFFFFu); }

// The value register 0x1030 gets: the area's bus address with the enable bit.
inline ULONG WriteBackLowValue(PDEVICE_EXTENSION Extension) {
  return Low32(Extension->pGetRegister_LA) + regs::kWriteBackEnable;
}

}  // namespace

ULONG SwapRegisterValue(ULONG Value) { return __builtin_bswap32(Value); }

// A pointer to the 4 bytes of register `Offset`, or null when they do not lie
// entirely inside the mapped window (note 2). Any IRQL.
volatile ULONG* RegisterAddress(PDEVICE_EXTENSION Extension, ULONG Offset) {
  if (Extension->pBar2_VA == nullptr) return nullptr;
  if (Extension->ulBar2_Length < sizeof(ULONG) || Offset > Extension->ulBar2_Length - sizeof(ULONG)) {
    return nullptr;
  }
  return reinterpret_cast<volatile ULONG*>(static_cast<PUCHAR>(Extension->pBar2_VA) + Offset);
}

// DelayMicroseconds: a thread delay at PASSIVE and APC level, a busy wait in
// slices of at most 50 us at DISPATCH_LEVEL and above.
VOID DelayMicroseconds(LONG Microseconds) {
  if (Microseconds <= 0) return;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    for (LONG i = 0; i < Microseconds / kStallSliceUs; ++i) KeStallExecutionProcessor(kStallSliceUs);
    if (Microseconds % kStallSliceUs != 0) KeStallExecutionProcessor(Microseconds % kStallSliceUs);
    return;
  }
  LARGE_INTEGER interval;
  interval.QuadPart = -(LONGLONG)Microseconds * 10;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

VOID DelayMilliseconds(LONG Milliseconds) { DelayMicroseconds(Milliseconds * 1000); }

// True from the moment stop begins until the next start. Any IRQL.
BOOLEAN StopRequested(PDEVICE_EXTENSION Extension) {
  return KeReadStateEvent(&Extension->StopEvent) != 0 ? TRUE : FALSE;
}

// A pause that ends early when stop begins (note 5): a wait on StopEvent
// with a time-out at PASSIVE and APC level, DelayMicroseconds above.
// Returns TRUE when stop has begun.
BOOLEAN DelayUnlessStopped(PDEVICE_EXTENSION Extension, LONG Microseconds) {
  if (Extension == nullptr || KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    DelayMicroseconds(Microseconds);
    return Extension != nullptr && StopRequested(Extension);
  }
  if (Microseconds <= 0) return StopRequested(Extension);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)Microseconds * 10;
  return KeWaitForSingleObject(&Extension->StopEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS
             ? TRUE
             : FALSE;
}

// True when a control request should give up: stop has begun, or the
// request was cancelled (the I/O manager cancels the requests of a thread
// that exits). PASSIVE_LEVEL.
BOOLEAN RequestAbandoned(PDEVICE_EXTENSION Extension, PIRP Irp) {
  if (StopRequested(Extension)) return TRUE;
  return Irp != nullptr && *static_cast<volatile BOOLEAN*>(&Irp->Cancel) ? TRUE : FALSE;
}

// WriteRegister: one 32-bit store of an already swapped value and a full
// fence, then the driver-wide post-write delay, cut short by stop (note 5).
// A null address (outside the window, note 2) writes nothing.
VOID WriteRegister(volatile ULONG* Address, ULONG Value, PDEVICE_EXTENSION Extension) {
  if (Address == nullptr) return;
  WRITE_REGISTER_ULONG(Address, Value);
  KeMemoryBarrier();
  ULONG delay = ReadULongNoFence(&g_WriteDelay);  // note 6
  if (delay != 0) DelayUnlessStopped(Extension, (LONG)delay);
}

VOID WriteCardRegister(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Value) {
  WriteRegister(RegisterAddress(Extension, Offset), SwapRegisterValue(Value), Extension);
}

// Programs both halves of the write-back address; bit 0 of the low half
// enables the card's answers. PASSIVE_LEVEL.
VOID ArmWriteBack(PDEVICE_EXTENSION Extension) {
  WriteCardRegister(Extension, regs::kWriteBackAddrHigh, (ULONG)Extension->pCommonBuffer_LA_DmaRead.HighPart);
  WriteCardRegister(Extension, regs::kWriteBackAddrLow, WriteBackLowValue(Extension));
}

static ULONG ReadWriteBackLocked(PDEVICE_EXTENSION Extension, ULONG Offset, volatile ULONG* request,
                                 volatile ULONG* area);

// ReadRegister_WriteBack: asks the card to write the register into the
// write-back area and polls for the answer (notes 3 and 4). PASSIVE_LEVEL.
// Returns the value in host order, or 0xFFFFFFFF when every attempt failed.
ULONG ReadRegister_WriteBack(PDEVICE_EXTENSION Extension, ULONG Offset) {
  volatile ULONG* request = RegisterAddress(Extension, Offset | regs::kRegReadRequest);
  volatile ULONG* area = Extension->pulGetRegister;
  if (request == nullptr || area == nullptr) return 0xFFFFFFFF;

  // Note 3: one read at a time, starting from a clear slot (an answer to an
  // attempt that timed out may have landed since).
  KeWaitForSingleObject(&Extension->WriteBackLock, Executive, KernelMode, FALSE, nullptr);
  area[0] = 0;
  area[1] = 0;
  ULONG value = ReadWriteBackLocked(Extension, Offset, request, area);
  KeSetEvent(&Extension->WriteBackLock, IO_NO_INCREMENT, FALSE);
  return value;
}

// The attempts of one write-back read; the caller holds WriteBackLock.
static ULONG ReadWriteBackLocked(PDEVICE_EXTENSION Extension, ULONG Offset, volatile ULONG* request,
                                 volatile ULONG* area) {
  ULONG limit = kFirstAttemptLimit;
  for (ULONG attempt = 0; attempt < limit; ++attempt) {
    WriteRegister(request, 0, Extension);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    const LONGLONG deadline = (LONGLONG)(5 * attempt + 1) * kAttemptDeadlineStep;

    for (BOOLEAN last = FALSE; !last;) {
      if (StopRequested(Extension)) return 0xFFFFFFFF;  // note 5
      LARGE_INTEGER now;
      KeQuerySystemTime(&now);
      last = now.QuadPart - start.QuadPart >= deadline;
      ULONG stored = area[1];
      ULONG flag = SwapRegisterValue(stored);
      if ((flag & regs::kWriteBackReadyMask) != regs::kWriteBackReady) continue;
      ULONG echoed = flag >> regs::kWriteBackOffsetShift;
      if (echoed != 0 && echoed != Offset) {
        DbgPrint("vantrel  %s  ERROR  t--> 0x%x  ulFlag 0x%x  r--> pulGetRegister[1] 0x%x \n",
                 "ReadRegister_WriteBack", Offset, echoed, stored);
        break;
      }
      area[1] = 0;
      ULONG value = SwapRegisterValue(area[0]);
      area[0] = 0;
      if (value == 0xFFFFFFFF && Offset < regs::kRegCoreLimit) {
        DbgPrint("vantrel  %s  reg:0x%x  --> val:0x%x \n", "ReadRegister_WriteBack", Offset, value);
      }
      return value;
    }

    // Timed out or answered for another register: start this slot afresh.
    area[0] = 0;
    area[1] = 0;
    if (Offset < regs::kRegCoreLimit) limit = kCoreRegisterAttemptLimit;
    if (attempt == 0 || limit == kCoreRegisterAttemptLimit) ArmWriteBack(Extension);
    AdvanceMarker(&Extension->ulReadWriteBackAddr, 1);
    if (DelayUnlessStopped(Extension, kRetryPauseMs * 1000)) return 0xFFFFFFFF;
  }
  DbgPrint("vantrel  %s  0x%x  fail...\n", "ReadRegister_WriteBack", Offset);
  DelayUnlessStopped(Extension, kFailurePauseMs * 1000);
  return 0xFFFFFFFF;
}

// ReadRegister: a direct load on cards that announce it, else a write-back
// read. Direct reads work at any IRQL. Returns 0xFFFFFFFF on failure.
ULONG ReadRegister(PDEVICE_EXTENSION Extension, ULONG Offset) {
  if (Extension->read_reg_direct == 1) {
    volatile ULONG* address = RegisterAddress(Extension, Offset);
    return address == nullptr ? 0xFFFFFFFF : SwapRegisterValue(READ_REGISTER_ULONG(address));
  }
  return ReadRegister_WriteBack(Extension, Offset);
}

ULONG Dispatch_ReadRegister(PDEVICE_EXTENSION Extension, ULONG Offset) {
  ULONG value = ReadRegister(Extension, Offset);
  if (Offset < regs::kRegCoreLimit && value == 0xFFFFFFFF) {
    DbgPrint("vantrel  %s  reg:0x%x  --> 0x%x\n", "Dispatch_ReadRegister", Offset, value);
  }
  return value;
}

// The first register request after add-device or a power transition
// re-programs the low half of the write-back address: the card may have
// lost it while powered down. PASSIVE_LEVEL.
VOID RearmOnFirstAccess(PDEVICE_EXTENSION Extension, BOOLEAN SetRegister, ULONG Offset) {
  if (ReadULongNoFence(&Extension->bFirstReadRegister) != 1) return;  // note 6
  ULONG value = WriteBackLowValue(Extension);
  WriteCardRegister(Extension, regs::kWriteBackAddrLow, value);
  WriteULongNoFence(&Extension->bFirstReadRegister, 0);
  if (SetRegister) {
    DbgPrint("vantrel  %s  IOCTL_SET_REGISTER bFirstReadRegister Addr : 0x%x  Data : 0x%x \n",
             "Dispatch_DeviceIoControl", Offset, value);
  } else {
    DbgPrint("vantrel  %s  IOCTL_GET_REGISTER bFirstReadRegister Addr : 0x%x  Data : 0x%x \n",
             "Dispatch_DeviceIoControl", Offset, value);
  }
  DelayUnlessStopped(Extension, kRetryPauseMs * 1000);
}

// WriteRandomRegisters: a destructive test of the card's upper register
// space: all ones to pseudo-random offsets 0x2000..0x6FFF. PASSIVE_LEVEL.
// FALSE when the request was abandoned before Count writes (note 5).
BOOLEAN WriteRandomRegisters(PDEVICE_EXTENSION Extension, ULONG Count, PIRP Irp) {
  for (ULONG i = 0; i < Count; ++i) {
    if (RequestAbandoned(Extension, Irp)) return FALSE;
    ULONG offset = (ULONG)(ReadTimeStampCounter() % regs::kRandomTestSpan) + regs::kRandomTestBase;
    if (offset == regs::kRandomTestAvoid) offset = regs::kRandomTestAvoidReplacement;
    WriteRegister(RegisterAddress(Extension, offset), 0xFFFFFFFF, Extension);
  }
  return TRUE;
}

// ReadRegisterPair: reads Offset and Offset + 4, Count times; *Value is the
// last value read (left as it is when Count is 0). PASSIVE_LEVEL. FALSE when
// the request was abandoned before Count rounds (note 5).
BOOLEAN ReadRegisterPair(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Count, PIRP Irp, ULONG* Value) {
  for (ULONG i = 0; i < Count; ++i) {
    if (RequestAbandoned(Extension, Irp)) return FALSE;
    *Value = ReadRegister(Extension, Offset);
    *Value = ReadRegister(Extension, Offset + 4);
  }
  return TRUE;
}

// PeekWriteBackArea: clears Out (256 bytes, never past OutLength), then
// copies up to 8 bytes from the write-back area + Offset. Bytes outside the
// DmaRead common buffer are never read: such a request only clears.
VOID PeekWriteBackArea(PDEVICE_EXTENSION Extension, ULONG Offset, ULONG Count, PUCHAR Out, ULONG OutLength) {
  constexpr ULONG kClearBytes = 256;
  constexpr ULONG kMaxPeek = 8;
  RtlZeroMemory(Out, OutLength < kClearBytes ? OutLength : kClearBytes);
  ULONG n = Count > kMaxPeek ? kMaxPeek : Count;
  if (n > OutLength) n = OutLength;
  if (n == 0 || Extension->pulGetRegister == nullptr || Extension->pCommonBuffer_VA_DmaRead == nullptr) return;
  const ULONGLONG areaStart = cbuf::kWriteBackArea;
  if (areaStart + Offset + n > DMA_COMMON_BUFFER_SIZE) return;
  RtlCopyMemory(Out, reinterpret_cast<PUCHAR>(Extension->pulGetRegister) + Offset, n);
}
