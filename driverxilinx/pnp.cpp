// Plug and Play: the function driver's part of the card's device stack, the
// routines that pass requests to the lower driver, and configuration-space
// access through the bus driver.
//
// Notes:
//  1. Start runs the lower drivers first (the bus driver must have powered
//     and enabled the card); stop, surprise removal and remove release or
//     fence off the card before the lower drivers see the request, since
//     the bus driver may power the card down or forget it as it handles it.
//  2. Query-stop and query-remove are refused while a control request is
//     inside the driver; there is no remove lock.
//  3. Configuration-space requests are sent to the top of the card's stack,
//     so they pass through our own Dispatch_PnP on their way to the bus driver.
#include "driver.h"

// ForwardIrp: passes the request to the lower driver and lets go of it.
// Resident; any IRQL up to DISPATCH_LEVEL. Returns the lower driver's status.
NTSTATUS ForwardIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DbgPrint("Forwarded IRP to next lower driver\n");
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(ExtensionOf(DeviceObject)->pLowerDeviceObject, Irp);
}

// ForwardIrpCompletion: wakes ForwardIrpSynchronous and keeps the request.
// Up to DISPATCH_LEVEL.
NTSTATUS ForwardIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// ForwardIrpSynchronous: sends the request down and waits until the lower
// drivers have completed it; the caller then owns and completes it.
// PASSIVE_LEVEL. Returns the lower drivers' status.
NTSTATUS ForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardIrpCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(ExtensionOf(DeviceObject)->pLowerDeviceObject, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

// HandleStartDevice: lower drivers first, then the hardware (note 1).
// PASSIVE_LEVEL. Completes the request with StartDevice's status.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = ForwardIrpSynchronous(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) {
    DbgPrint("ERROR - Lower driver failed IRP, unable to start device (status=%08X)\n", status);
    return CompleteRequest(Irp, status, 0);
  }
  PAGED_CODE();

  // A start without resource lists gets empty ones: StartDevice then finds
  // no interrupt and fails without touching the card.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PCM_RESOURCE_LIST raw = stack->Parameters.StartDevice.AllocatedResources;
  PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
  CM_PARTIAL_RESOURCE_LIST empty = {};
  PCM_PARTIAL_RESOURCE_LIST rawList = &empty;
  PCM_PARTIAL_RESOURCE_LIST translatedList = &empty;
  if (raw != nullptr && translated != nullptr && raw->Count > 0 && translated->Count > 0 &&
      raw->List[0].PartialResourceList.Count == translated->List[0].PartialResourceList.Count) {
    rawList = &raw->List[0].PartialResourceList;
    translatedList = &translated->List[0].PartialResourceList;
  }
  status = StartDevice(DeviceObject, rawList, translatedList);
  CompleteRequest(Irp, status, 0);
  DbgPrint("qm4200.sys: HandleStartDevice completed!\n");
  return status;
}

// PnPStopDevice: our resources go before the lower drivers see the stop
// (note 1). PASSIVE_LEVEL. Returns the lower drivers' status.
NTSTATUS PnPStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  StopDevice(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;  // a function driver does not fail a stop
  NTSTATUS status = ForwardIrp(DeviceObject, Irp);
  DbgPrint("qm4200.sys: PnPStopDevice complete!\n");
  return status;
}

// PnPQueryRemoveDevice: query-remove and query-stop alike (note 2).
// PASSIVE_LEVEL.
NTSTATUS PnPQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  if (InterlockedExchangeAdd(&ext->io_control_count, 0) > 0) {
    return CompleteRequest(Irp, STATUS_DEVICE_BUSY, 0);
  }
  PAGED_CODE();
  NTSTATUS status = ForwardIrp(DeviceObject, Irp);
  DbgPrint("qm4200.sys: PnPQueryRemoveDevice completed!\n");
  return status;
}

// PnPRemoveDevice: releases the card (again, if a stop already did), passes
// the removal down and deletes the device object. PASSIVE_LEVEL.
NTSTATUS PnPRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  StopDevice(DeviceObject);
  NTSTATUS status = ForwardIrp(DeviceObject, Irp);
  DeleteDevice(DeviceObject);
  ReleaseFineTick();
  DbgPrint("qm4200.sys: PnPRemoveDevice completed!\n");
  return status;
}

// PnPSurpriseRemoval: the card is gone. Nothing is released until the
// remove request (the last handle may be closed long after), but the card is
// fenced off at once, as stop fences it (FenceOffCard): the control requests
// inside the driver give up (their register reads and loops would otherwise
// wait on a card that can no longer answer, and hold the handle, and so the
// removal, up), new ones are refused, and the completion poll ends, so that
// nothing takes the all-ones of an empty slot for a finished transfer.
// PASSIVE_LEVEL.
NTSTATUS PnPSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DbgPrint("IRP_MN_SURPRISE_REMOVAL\n");
  FenceOffCard(ExtensionOf(DeviceObject));
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return ForwardIrp(DeviceObject, Irp);
}

// PnPQueryCapabilities: the bus driver fills in the capabilities first (the
// device state for each system state, removal, the address); the driver's
// own change, zero D1-D3 latencies, is applied on the way back up.
// PASSIVE_LEVEL. Completes with the lower drivers' status.
NTSTATUS PnPQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  NTSTATUS status = ForwardIrpSynchronous(DeviceObject, Irp);
  if (NT_SUCCESS(status)) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->D1Latency = 0;
    caps->D2Latency = 0;
    caps->D3Latency = 0;
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// PnPCancelRemoveDevice: PASSIVE_LEVEL; the answer is the lower drivers'.
NTSTATUS PnPCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  NTSTATUS status = ForwardIrp(DeviceObject, Irp);
  DbgPrint("qm4200.sys: PnPCancelRemoveDevice completed!\n");
  return status;
}

// Messages of the minor codes that are only passed down, indexed by code.
static const char* const kForwardedMinorMessages[] = {
    nullptr,                                    // 0x00 start
    nullptr,                                    // 0x01 query-remove
    nullptr,                                    // 0x02 remove
    nullptr,                                    // 0x03 cancel-remove
    nullptr,                                    // 0x04 stop
    nullptr,                                    // 0x05 query-stop
    "qm4200.sys: IRP_MN_CANCEL_STOP_DEVICE\n",  // 0x06
    "IRP_MN_QUERY_DEVICE_RELATIONS\n",          // 0x07
    "IRP_MN_QUERY_INTERFACE\n",                 // 0x08
    nullptr,                                    // 0x09 capabilities
    "IRP_MN_QUERY_RESOURCES\n",                 // 0x0A
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS\n",     // 0x0B
    "IRP_MN_QUERY_DEVICE_TEXT\n",               // 0x0C
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS\n",    // 0x0D
    nullptr,                                    // 0x0E has no name of ours
    "IRP_MN_READ_CONFIG\n",                     // 0x0F
    "IRP_MN_WRITE_CONFIG\n",                    // 0x10
    "IRP_MN_EJECT\n",                           // 0x11
    "IRP_MN_SET_LOCK\n",                        // 0x12
    "IRP_MN_QUERY_ID\n",                        // 0x13
    "IRP_MN_QUERY_PNP_DEVICE_STATE\n",          // 0x14
    "IRP_MN_QUERY_BUS_INFORMATION\n",           // 0x15
    "IRP_MN_DEVICE_USAGE_NOTIFICATION\n",       // 0x16
    "IRP_MN_SURPRISE_REMOVAL\n",                // 0x17: see PnPSurpriseRemoval
};

// Dispatch_PnP: IRP_MJ_PNP. PASSIVE_LEVEL, one request at a time per device.
// Returns the status of the handler or lower driver that dealt with it.
NTSTATUS Dispatch_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DbgPrint("Received PNP Message (IRP=%p) ==> \n", Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = stack->MinorFunction;

  switch (minor) {
    case IRP_MN_START_DEVICE:
      DbgPrint("IRP_MN_START_DEVICE\n");
      return HandleStartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      DbgPrint("qm4200.sys: IRP_MN_QUERY_REMOVE_DEVICE\n");
      return PnPQueryRemoveDevice(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      DbgPrint("qm4200.sys: IRP_MN_REMOVE_DEVICE\n");
      return PnPRemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      DbgPrint("qm4200.sys: IRP_MN_CANCEL_REMOVE_DEVICE\n");
      return PnPCancelRemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
      DbgPrint("qm4200.sys: IRP_MN_STOP_DEVICE\n");
      return PnPStopDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      DbgPrint("qm4200.sys: IRP_MN_QUERY_STOP_DEVICE\n");
      return PnPQueryRemoveDevice(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return PnPSurpriseRemoval(DeviceObject, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
      DbgPrint("----------------------IRP_MN_QUERY_CAPABILITIES---------------------------\n");
      return PnPQueryCapabilities(DeviceObject, Irp);
    default:
      break;
  }

  const ULONG messages = sizeof(kForwardedMinorMessages) / sizeof(kForwardedMinorMessages[0]);
  if (minor < messages && kForwardedMinorMessages[minor] != nullptr) {
    DbgPrint("%s", kForwardedMinorMessages[minor]);
  } else {
    DbgPrint("Unsupported IRP_MN_Xxx (%08x)\n", minor);
  }
  return ForwardIrp(DeviceObject, Irp);
}

// ReadWriteConfigSpace: one configuration-space read or write through the
// whole device stack (note 3). PASSIVE_LEVEL (it waits). Returns the bus
// driver's status, or STATUS_INSUFFICIENT_RESOURCES if no request was built.
NTSTATUS ReadWriteConfigSpace(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, ULONG Offset,
                              ULONG Length, PVOID Buffer) {
  PAGED_CODE();
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  RtlZeroMemory(&ioStatus, sizeof(ioStatus));

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = MinorFunction;
  next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  next->Parameters.ReadWriteConfig.Buffer = Buffer;
  next->Parameters.ReadWriteConfig.Offset = Offset;
  next->Parameters.ReadWriteConfig.Length = Length;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // required of every PnP request a driver originates

  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  ObDereferenceObject(top);
  return status;
}

NTSTATUS ReadConfigSpace(PDEVICE_OBJECT DeviceObject, ULONG Offset, ULONG Length, PVOID Buffer) {
  return ReadWriteConfigSpace(DeviceObject, IRP_MN_READ_CONFIG, Offset, Length, Buffer);
}

NTSTATUS WriteConfigSpace(PDEVICE_OBJECT DeviceObject, ULONG Offset, ULONG Length, PVOID Buffer) {
  return ReadWriteConfigSpace(DeviceObject, IRP_MN_WRITE_CONFIG, Offset, Length, Buffer);
}

NTSTATUS ReadConfigDword(PDEVICE_OBJECT DeviceObject, ULONG Offset, PVOID Buffer) {
  return ReadWriteConfigSpace(DeviceObject, IRP_MN_READ_CONFIG, Offset, sizeof(ULONG), Buffer);
}
