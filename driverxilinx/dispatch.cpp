// Open, close and power.
//
// Notes:
//  1. Opens are refused until hardware start has run to its end for the card;
//     there is no open count and no exclusive open, all handles share the
//     card's one extension.
//  2. Close releases the user buffers that the card holds for every handle,
//     not only the closing one's: a transfer belongs to the card, not to a
//     handle.
//  3. The configuration-space copy is taken on the way down to a low-power
//     state (the card is still powered) and written back on the way up,
//     once the bus driver has returned the card to D0. A restore is skipped
//     unless a real copy was saved: writing the zeros of creation (or the
//     all-ones a vanished card reads) over the card's configuration would
//     disable it. A copy is written back once: it is forgotten after the
//     restore and at every start (hardware.cpp, note 7), so that a copy
//     taken before a rebalance never puts the old BARs back.
//  4. The driver is its card's power policy owner. The power manager sends
//     system requests only; a system set-power request goes down with a
//     completion routine, which asks for the device request that matches
//     (D0 for the working state, D3 for every sleep state) once the bus
//     driver is done with it; the system request completes when the device
//     request has. Going to D1-D3, the new state is reported, the copy
//     taken, and the request passed down.
//  5. Coming back to D0, the bus driver powers the card first. Its
//     completion may come at DISPATCH_LEVEL, so a work item finishes at
//     PASSIVE_LEVEL: the configuration written back, then what the card
//     lost in D3 set up again (the write-back address is armed by the next
//     register read, the message enables written back, and the descriptor
//     shadows reset so that the first transfer writes every descriptor
//     again), then the new state reported and the device request completed.
#include "driver.h"

// Dispatch_Create: IRP_MJ_CREATE. PASSIVE_LEVEL, the opener's thread.
NTSTATUS Dispatch_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  if (InterlockedReadFlag(&ext->bDeviceStarted) == 0) {  // a start may be under way on the PnP thread
    return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  CompleteRequest(Irp, STATUS_SUCCESS, 0);
  // The next transfer set-up arms the completion poll again (poll.cpp, note 6).
  WriteULongNoFence(&ext->bCheckDpcTimerSet, 0);
  return STATUS_SUCCESS;
}

// Dispatch_Close: IRP_MJ_CLOSE (note 2). PASSIVE_LEVEL. The completion poll
// keeps running.
NTSTATUS Dispatch_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  KeCancelTimer(&ext->WatchdogTimer);
  // A command of another handle may be running in either direction.
  AcquireTransferLock(&ext->TransferLock_DmaRead);
  UnlockUserBuffer_DmaRead(ext);
  ReleaseTransferLock(&ext->TransferLock_DmaRead);
  AcquireTransferLock(&ext->TransferLock_DmaWrite);
  UnlockUserBuffer_DmaWrite(ext);
  ReleaseTransferLock(&ext->TransferLock_DmaWrite);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// True when ucConfigSpace holds a copy read from a present card (note 3).
static BOOLEAN HaveSavedConfigSpace(PDEVICE_EXTENSION Extension) {
  USHORT vendorId = (USHORT)(Extension->ucConfigSpace[0] | (Extension->ucConfigSpace[1] << 8));
  return vendorId != 0x0000 && vendorId != 0xFFFF;
}

// InvalidateSavedConfigSpace: forgets the copy (note 3).
VOID InvalidateSavedConfigSpace(PDEVICE_EXTENSION Extension) {
  RtlZeroMemory(Extension->ucConfigSpace, sizeof(Extension->ucConfigSpace));
}

// ResetDescriptorShadows: the card's descriptor registers as a reset card
// holds them (0), the first forced, so that the next transfer of each
// direction writes every one it needs (transfer.cpp, note 4).
VOID ResetDescriptorShadows(PDEVICE_EXTENSION Extension) {
  RtlZeroMemory(Extension->ulRegShadow_DmaRead, sizeof(Extension->ulRegShadow_DmaRead));
  RtlZeroMemory(Extension->ulRegShadow_DmaWrite, sizeof(Extension->ulRegShadow_DmaWrite));
  Extension->ulRegShadow_DmaRead[0] = REG_SHADOW_FORCE_WRITE;
  Extension->ulRegShadow_DmaWrite[0] = REG_SHADOW_FORCE_WRITE;
}

namespace {

// The power callbacks, declared through their role types (the kernel calls
// them with its own convention).
REQUEST_POWER_COMPLETE SystemPowerDeviceDone;
IO_COMPLETION_ROUTINE SystemPowerComplete;
IO_WORKITEM_ROUTINE FinishPowerUp;
IO_COMPLETION_ROUTINE DevicePowerUpComplete;

// The device state the card takes in a system state (note 4).
DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE State) {
  return State == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

VOID ReportDeviceState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  POWER_STATE state;
  state.DeviceState = State;
  PoSetPowerState(DeviceObject, DevicePowerState, state);
}

// The device request asked for by SystemPowerComplete is done: the system
// request completes with its status. Up to DISPATCH_LEVEL.
VOID SystemPowerDeviceDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                           PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  PIRP systemIrp = static_cast<PIRP>(Context);
  systemIrp->IoStatus.Status = IoStatus->Status;
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

// The bus driver has completed a system set-power request: ask for the
// device request (note 4). Up to DISPATCH_LEVEL.
NTSTATUS SystemPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    PoStartNextPowerIrp(Irp);
    return STATUS_CONTINUE_COMPLETION;
  }
  POWER_STATE device;
  device.DeviceState = DeviceStateFor(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState);
  NTSTATUS status = PoRequestPowerIrp(ExtensionOf(DeviceObject)->pPhysicalDeviceObject, IRP_MN_SET_POWER, device,
                                      SystemPowerDeviceDone, Irp, nullptr);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Status = status;
    PoStartNextPowerIrp(Irp);
    return STATUS_CONTINUE_COMPLETION;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;  // SystemPowerDeviceDone completes it
}

// The return to D0, at PASSIVE_LEVEL (note 5). Completes the device request.
VOID FinishPowerUp(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  PIRP irp = static_cast<PIRP>(Context);
  if (HaveSavedConfigSpace(ext)) {
    WriteConfigSpace(DeviceObject, 0, sizeof(ext->ucConfigSpace), ext->ucConfigSpace);
    InvalidateSavedConfigSpace(ext);
  }
  WriteULongNoFence(&ext->bFirstReadRegister, 1);  // registers.cpp, note 6
  AcquireTransferLock(&ext->TransferLock_DmaRead);
  AcquireTransferLock(&ext->TransferLock_DmaWrite);
  ResetDescriptorShadows(ext);
  ReleaseTransferLock(&ext->TransferLock_DmaWrite);
  ReleaseTransferLock(&ext->TransferLock_DmaRead);
  RestoreMessageEnables(ext);
  ReportDeviceState(DeviceObject, PowerDeviceD0);
  PoStartNextPowerIrp(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The bus driver has powered the card: the rest goes to the work item
// (note 5). Up to DISPATCH_LEVEL.
NTSTATUS DevicePowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    PoStartNextPowerIrp(Irp);
    return STATUS_CONTINUE_COMPLETION;
  }
  IoQueueWorkItem(ExtensionOf(DeviceObject)->pPowerWorkItem, FinishPowerUp, DelayedWorkQueue, Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;  // FinishPowerUp completes it
}

}  // namespace

// Dispatch_Power: IRP_MJ_POWER. PASSIVE_LEVEL (DO_POWER_PAGABLE is set).
// Returns the lower driver's status, or STATUS_PENDING for the set-power
// requests the driver finishes later (notes 4 and 5).
NTSTATUS Dispatch_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DbgPrint("Dispatch_Power +++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++\n");
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ASSERT(stack->MajorFunction == IRP_MJ_POWER);
  AdvanceMarker(&ext->ulReadWriteBackAddr, READ_WRITEBACK_ADDR_POWER_STEP);

  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    WriteULongNoFence(&ext->bFirstReadRegister, 1);  // registers.cpp, note 6
    const BOOLEAN system = stack->Parameters.Power.Type == SystemPowerState;
    if (system || stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
      IoMarkIrpPending(Irp);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, system ? SystemPowerComplete : DevicePowerUpComplete, nullptr, TRUE, TRUE, TRUE);
      PoCallDriver(ext->pLowerDeviceObject, Irp);
      return STATUS_PENDING;
    }
    // Down to D1-D3 (note 4).
    ReportDeviceState(DeviceObject, stack->Parameters.Power.State.DeviceState);
    ReadConfigSpace(DeviceObject, 0, sizeof(ext->ucConfigSpace), ext->ucConfigSpace);
  }

  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(ext->pLowerDeviceObject, Irp);
}
