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
//     before the bus driver has seen the request. A restore is skipped unless
//     a real copy was saved: writing the zeros of creation (or the all-ones a
//     vanished card reads) over the card's configuration would disable it.
#include "driver.h"

// Dispatch_Create: IRP_MJ_CREATE. PASSIVE_LEVEL, the opener's thread.
NTSTATUS Dispatch_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  if (ext->bDeviceStarted == 0) {
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

// Dispatch_Power: IRP_MJ_POWER. PASSIVE_LEVEL (DO_POWER_PAGABLE is set).
// Returns the lower driver's status.
NTSTATUS Dispatch_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DbgPrint("Dispatch_Power +++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++++\n");
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ASSERT(stack->MajorFunction == IRP_MJ_POWER);

  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    WriteULongNoFence(&ext->bFirstReadRegister, 1);  // registers.cpp, note 6
    // PowerSystemWorking and PowerDeviceD0 are both 1: system and device
    // requests are treated alike.
    if (stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
      if (HaveSavedConfigSpace(ext)) {
        WriteConfigSpace(DeviceObject, 0, sizeof(ext->ucConfigSpace), ext->ucConfigSpace);
      }
    } else {
      ReadConfigSpace(DeviceObject, 0, sizeof(ext->ucConfigSpace), ext->ucConfigSpace);
    }
  }
  ext->ulReadWriteBackAddr += READ_WRITEBACK_ADDR_POWER_STEP;

  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(ext->pLowerDeviceObject, Irp);
}
