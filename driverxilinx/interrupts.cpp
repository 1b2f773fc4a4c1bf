// The card's interrupts: the shared line interrupt, connected at start, and
// message-signalled interrupts, connected on demand through the control
// interface.
//
// Notes:
//  1. Neither routine touches the card. The line routine only tells whether
//     the interrupt is ours (a DMA status word is nonzero); completions are
//     found by the poll, which clears the word (poll.cpp, note 7). The line
//     is shared: an interrupt the card did not raise is left to the other
//     routines on the line, or the system calls ours again and again while
//     the other device holds the line, and stops with an interrupt storm.
//     The fallback routine, connected to the line when the system grants no
//     messages, answers the same way; a message is always the card's own.
//  2. A message-based connection is made at most once: a second connect
//     while one is live would overwrite the only record of it (and the spin
//     lock a running message routine holds), so it is refused. 0x7940
//     (reconnect) disconnects first.
//  3. The connection never outlives the extension that is its service
//     context: hardware stop disconnects it (and removal stops first).
//  4. Connecting, disconnecting and reconnecting take turns under MsiLock,
//     stop's disconnection included. Without it two requests could both
//     find the connection live and both disconnect it: the system frees its
//     record of a connection once, and the second disconnection is a bug
//     check.
#include "driver.h"

// LineIsr: at the line's device IRQL with the interrupt's spin lock held.
// True when either DMA status word is set: the card has raised the line.
// The status words are the poll's too (poll.cpp, note 5).
static BOOLEAN CardRaisedLine(PDEVICE_EXTENSION Extension) {
  volatile ULONG* readStatus = static_cast<volatile ULONG*>(Extension->pCommonBuffer_VA_DmaRead);
  volatile ULONG* writeStatus = static_cast<volatile ULONG*>(Extension->pCommonBuffer_VA_DmaWrite);
  if (readStatus == nullptr || writeStatus == nullptr) return FALSE;
  return (ReadULongNoFence(readStatus) != 0 || ReadULongNoFence(writeStatus) != 0) ? TRUE : FALSE;
}

// LineIsr: at the line's device IRQL with the interrupt's spin lock held.
// TRUE while either DMA status word is nonzero (note 1).
BOOLEAN LineIsr(PKINTERRUPT Interrupt, PVOID ServiceContext) {
  UNREFERENCED_PARAMETER(Interrupt);
  PDEVICE_EXTENSION ext = ExtensionOf(static_cast<PDEVICE_OBJECT>(ServiceContext));
  // A diagnostic count, read by get-register without the interrupt's lock.
  WriteULongNoFence(&ext->ulIsrCount, ReadULongNoFence(&ext->ulIsrCount) + 1);
  return CardRaisedLine(ext);
}

// MsiIsr: at the message's device IRQL with MsiSpinLock held. A message is
// the card's own: always claimed.
BOOLEAN MsiIsr(PKINTERRUPT Interrupt, PVOID ServiceContext, ULONG MessageId) {
  UNREFERENCED_PARAMETER(Interrupt);
  UNREFERENCED_PARAMETER(MessageId);
  PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(ServiceContext);
  // A DPC already queued is not queued again: messages that arrive before
  // it runs are signalled once.
  if (ext != nullptr && RegisteredEvent(&ext->pMsiEvent) != nullptr) {
    KeInsertQueueDpc(&ext->MsiEventDpc, nullptr, nullptr);
  }
  return TRUE;
}

// The fallback routine has the line routine's signature and claims only
// what the card raised (note 1).
static KSERVICE_ROUTINE MsiFallbackIsr;
static BOOLEAN MsiFallbackIsr(PKINTERRUPT Interrupt, PVOID ServiceContext) {
  PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(ServiceContext);
  if (ext == nullptr || !CardRaisedLine(ext)) return FALSE;
  return MsiIsr(Interrupt, ServiceContext, 0);
}

// msiDpc_func: DISPATCH_LEVEL. Signals the registered message event, if one
// is still registered when the DPC runs.
VOID msiDpc_func(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(DeferredContext);
  PKEVENT event = RegisteredEvent(&ext->pMsiEvent);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// Connects with the parameters reg_msi filled in and enables every source at
// the card, whatever the connection's status.
static VOID ConnectAndEnable(PVOID Context) {
  PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(Context);
  NTSTATUS status = IoConnectInterruptEx(&ext->MsiConnectParameters);
  DbgPrint("vantrel  %s  %d  IoConnectInterruptEx\n", "reg_msi", status);
  WriteCardRegister(ext, regs::kRegMsiEnable, regs::kMsiEnableAll);
}

static VOID AcquireMsiLock(PDEVICE_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->MsiLock, Executive, KernelMode, FALSE, nullptr);
}
static VOID ReleaseMsiLock(PDEVICE_EXTENSION Extension) { KeSetEvent(&Extension->MsiLock, IO_NO_INCREMENT, FALSE); }

// Connects and enables, unless a connection is live (note 2). The caller
// holds MsiLock.
static VOID ConnectMsiLocked(PDEVICE_EXTENSION Extension) {
  if (Extension->pMsiConnectionContext != nullptr) {  // note 2
    DbgPrint("vantrel  %s  %d  already connected\n", "reg_msi", __LINE__);
    return;
  }
  KeInitializeSpinLock(&Extension->MsiSpinLock);
  IO_CONNECT_INTERRUPT_PARAMETERS& params = Extension->MsiConnectParameters;
  RtlZeroMemory(&params, sizeof(params));
  params.Version = CONNECT_MESSAGE_BASED;
  params.MessageBased.PhysicalDeviceObject = Extension->pPhysicalDeviceObject;
  params.MessageBased.ConnectionContext.Generic = &Extension->pMsiConnectionContext;
  params.MessageBased.MessageServiceRoutine = MsiIsr;
  params.MessageBased.ServiceContext = Extension;
  params.MessageBased.SpinLock = &Extension->MsiSpinLock;
  params.MessageBased.SynchronizeIrql = 0;
  params.MessageBased.FloatingSave = FALSE;
  params.MessageBased.FallBackServiceRoutine = MsiFallbackIsr;

  if (RunGuarded(ConnectAndEnable, Extension)) {
    DbgPrint("vantrel  %s  %d  EXCEPTION\n", "reg_msi", __LINE__);
  }
}

// Disables message interrupts at the card and disconnects them. The caller
// holds MsiLock.
static VOID DisconnectMsiLocked(PDEVICE_EXTENSION Extension) {
  WriteCardRegister(Extension, regs::kRegMsiEnable, regs::kMsiDisableAll);
  if (Extension->pMsiConnectionContext == nullptr) return;
  IO_DISCONNECT_INTERRUPT_PARAMETERS params;
  RtlZeroMemory(&params, sizeof(params));
  params.Version = Extension->MsiConnectParameters.Version;  // reports a line-based fallback
  params.ConnectionContext.Generic = Extension->pMsiConnectionContext;
  IoDisconnectInterruptEx(&params);
  Extension->pMsiConnectionContext = nullptr;
}

// reg_msi: connects the message-signalled interrupts and enables them at the
// card, under the exception guard. PASSIVE_LEVEL (above it, nothing is
// connected).
VOID reg_msi(PDEVICE_EXTENSION Extension) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  AcquireMsiLock(Extension);  // note 4
  ConnectMsiLocked(Extension);
  ReleaseMsiLock(Extension);
}

// unreg_msi: disables message interrupts at the card and disconnects them.
// PASSIVE_LEVEL.
VOID unreg_msi(PDEVICE_EXTENSION Extension) {
  AcquireMsiLock(Extension);  // note 4
  DisconnectMsiLocked(Extension);
  ReleaseMsiLock(Extension);
}

// ReconnectMsi: disconnects and connects again as one step, so that no other
// request's connection can slip in between. PASSIVE_LEVEL.
VOID ReconnectMsi(PDEVICE_EXTENSION Extension) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  AcquireMsiLock(Extension);  // note 4
  DisconnectMsiLocked(Extension);
  ConnectMsiLocked(Extension);
  ReleaseMsiLock(Extension);
}

// RestoreMessageEnables: the card came back from D3 with its registers
// reset; a live message connection gets its enables back. PASSIVE_LEVEL.
VOID RestoreMessageEnables(PDEVICE_EXTENSION Extension) {
  AcquireMsiLock(Extension);  // note 4
  if (Extension->pMsiConnectionContext != nullptr) {
    WriteCardRegister(Extension, regs::kRegMsiEnable, regs::kMsiEnableAll);
  }
  ReleaseMsiLock(Extension);
}
