// The completion poll and the transfer watchdog.
//
// Notes:
//  1. Completion is found by polling, not from the interrupt: a 1 ms timer
//     runs checkDpc_func from the first hand-over after an open until
//     hardware stop. Each run consumes what the card reports (the status
//     words in host memory, or on cards that announce it two status
//     registers) and sets the direction's event.
//  2. The poll re-arms itself. Once bDeviceStopped is set a run does nothing
//     and does not re-arm; stop cancels the timer and flushes the DPC queue
//     after setting the flag (see hardware.cpp), so no run can start or be
//     in progress when stop releases what the poll uses.
//  3. Events are read once per run; a registration that replaces an event
//     flushes the DPC queue before it drops the old reference, so a run
//     never signals an event whose reference is gone.
//  5. Two runs of the poll can overlap: a hand-over after an open re-arms
//     the timer (SetCheckDpcTimer) while a run is in progress, and when that
//     run outlasts the 2 ms the DPC is queued again and runs on another
//     processor. A status word read and cleared in two steps was then
//     consumed by both runs and the event set twice; the second, stale
//     signal ended the caller's next wait before its transfer was done.
//  4. The watchdog timer is never armed: transfers end through the poll
//     only. Its routine touches the transfer state that the commands change
//     without a lock at PASSIVE_LEVEL; arming it would race them.
//  6. bCheckDpcTimerSet, the event pointers and the poll's own counters are
//     shared without a lock (driver.h, note 1): every access outside the
//     set-up and release paths is a NoFence load or store. A lost count or
//     an extra arming of the timer is harmless.
//  7. Cards that report completion in status registers also write the
//     status word in host memory. The poll leaves that word alone (callers
//     check it to tell this transfer's wake from the previous one's); the
//     commands that end a transfer clear it (transfer.cpp, note 7). A
//     register that reads all-ones is a card that has left the bus, not a
//     finished transfer.
#include "driver.h"

namespace {

constexpr LONGLONG kFirstPollDelay = -20000;  // 2 ms relative
constexpr LONGLONG kPollPeriod = -10000;      // 1 ms relative
constexpr ULONGLONG kCountTraceInterval = 100000000;  // 10 s in 100 ns units
constexpr ULONG kStatusTwo = 0x02000000;  // the card's big-endian 2, as the processor reads it
constexpr ULONG kVanishedCard = 0xFFFFFFFF;  // what a read of an empty slot returns

VOID SignalIfRegistered(PKEVENT Event) {
  if (Event != nullptr) KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
}

// One direction in memory mode: consume the status word the card wrote.
VOID ConsumeStatusWord(PVOID CommonBuffer, ULONG* LastStatus, volatile ULONG* Status2, volatile ULONG* Running,
                       PKEVENT Event) {
  if (CommonBuffer == nullptr) return;
  // Taken and cleared in one interlocked step (note 5): two runs of the
  // poll never both consume one completion.
  ULONG status = (ULONG)InterlockedExchangeFlag(static_cast<volatile ULONG*>(CommonBuffer), 0);
  if (status == 0) return;
  *LastStatus = status;
  if (status == kStatusTwo) InterlockedExchangeFlag(Status2, 1);
  if (InterlockedReadFlag(Running) != 0) InterlockedExchangeFlag(Running, 0);
  SignalIfRegistered(Event);
}

// One direction in register mode (note 7).
VOID SignalFromStatusRegister(PDEVICE_EXTENSION Extension, ULONG Register, PKEVENT Event) {
  ULONG status = ReadRegister(Extension, Register);
  if (status != 0 && status != kVanishedCard) SignalIfRegistered(Event);
}

}  // namespace

VOID ClearRunning_DmaRead(PDEVICE_EXTENSION Extension) {
  if (InterlockedReadFlag(&Extension->bRunning_DmaRead) != 0) InterlockedExchangeFlag(&Extension->bRunning_DmaRead, 0);
}

VOID ClearRunning_DmaWrite(PDEVICE_EXTENSION Extension) {
  if (InterlockedReadFlag(&Extension->bRunning_DmaWrite) != 0) {
    InterlockedExchangeFlag(&Extension->bRunning_DmaWrite, 0);
  }
}

// SetCheckDpcTimer: the last step of every hand-over. Arms the poll 2 ms out
// unless it was armed since the last open. PASSIVE_LEVEL.
VOID SetCheckDpcTimer(PDEVICE_EXTENSION Extension) {
  if (ReadULongNoFence(&Extension->bCheckDpcTimerSet) != 0) return;  // note 6
  LARGE_INTEGER due;
  due.QuadPart = kFirstPollDelay;
  KeSetTimer(&Extension->CheckDpcTimer, due, &Extension->CheckDpc);
  WriteULongNoFence(&Extension->bCheckDpcTimerSet, 1);
}

// checkDpc_func: one run of the completion poll. DISPATCH_LEVEL.
VOID checkDpc_func(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(DeferredContext);
  if (InterlockedReadFlag(&ext->bDeviceStopped) != 0) return;  // note 2

  PKEVENT readEvent = RegisteredEvent(&ext->pEvent_DmaRead);  // notes 3 and 6
  PKEVENT writeEvent = RegisteredEvent(&ext->pEvent_DmaWrite);
  if (ext->bDmaDoneByRegister) {
    // Register mode: the card's status registers stay set until it clears
    // them; the event is set on every run while they do (note 7).
    SignalFromStatusRegister(ext, regs::kDmaReadDoneStatus, readEvent);
    SignalFromStatusRegister(ext, regs::kDmaWriteDoneStatus, writeEvent);
  } else {
    ConsumeStatusWord(ext->pCommonBuffer_VA_DmaRead, &ext->ulLastStatus_DmaRead, &ext->bStatus2_DmaRead,
                      &ext->bRunning_DmaRead, readEvent);
    ConsumeStatusWord(ext->pCommonBuffer_VA_DmaWrite, &ext->ulLastStatus_DmaWrite, &ext->bStatus2_DmaWrite,
                      &ext->bRunning_DmaWrite, writeEvent);
  }

  // Two runs may overlap (note 5): the count and the trace time are NoFence (note 6).
  WriteULongNoFence(&ext->ulCheckDpcCnt, ReadULongNoFence(&ext->ulCheckDpcCnt) + 1);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  if ((ULONGLONG)now.QuadPart - ReadULong64NoFence(&ext->ullCheckDpcPrintTime) > kCountTraceInterval) {
    WriteULong64NoFence(&ext->ullCheckDpcPrintTime, (ULONGLONG)now.QuadPart);
    DbgPrint("vantrel  %s %d  cnt = %d \n", "checkDpc_func", __LINE__, ReadULongNoFence(&ext->ulCheckDpcCnt));
    WriteULongNoFence(&ext->ulCheckDpcCnt, 0);
  }

  LARGE_INTEGER due;
  due.QuadPart = kPollPeriod;
  KeSetTimer(&ext->CheckDpcTimer, due, &ext->CheckDpc);
}

// WatchdogDpc_func: ends a transfer that has run for more than one tick
// (note 4: nothing arms the timer). DISPATCH_LEVEL.
VOID WatchdogDpc_func(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(DeferredContext);
  if (InterlockedReadFlag(&ext->bRunning_DmaRead) != 0) {
    if (InterlockedReadFlag(&ext->ulTimeoutTicks_DmaRead) >= 1) {
      ClearRunning_DmaRead(ext);
      UnlockUserBuffer_DmaRead(ext);
      ext->ulLength_DmaRead = 0;
      InterlockedExchangeFlag(&ext->ulTimeoutTicks_DmaRead, 0);
      SignalIfRegistered(ext->pEvent_DmaRead);
    }
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext->ulTimeoutTicks_DmaRead));
  }
  if (InterlockedReadFlag(&ext->bRunning_DmaWrite) != 0) {
    if (InterlockedReadFlag(&ext->ulTimeoutTicks_DmaWrite) >= 1) {
      ClearRunning_DmaWrite(ext);
      UnlockUserBuffer_DmaWrite(ext);
      ext->ulLength_DmaWrite = 0;
      InterlockedExchangeFlag(&ext->ulTimeoutTicks_DmaWrite, 0);
      SignalIfRegistered(ext->pEvent_DmaWrite);
    }
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ext->ulTimeoutTicks_DmaWrite));
  }
}
