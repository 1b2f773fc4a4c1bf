// Driver entry, unload, add-device and the deletion of a card's device
// object, plus the request-completion helper every dispatch path uses.
//
// Notes:
//  1. One image serves every card of its product. A card's device is named
//     with the lowest free instance number 0..63, so numbers freed by a
//     removal are taken again by the next card added.
//  2. Dispatch_Power waits for configuration-space requests, so power
//     requests must reach it at PASSIVE_LEVEL. With DO_POWER_PAGABLE clear the
//     power manager may send them at DISPATCH_LEVEL; setting it asks for
//     PASSIVE_LEVEL. (A pageable device may sit above a non-pageable one.)
//  3. If attaching to the device stack fails there is no lower driver to pass
//     Plug and Play requests to; the new device is undone and AddDevice fails.
//  4. The completion poll needs a 1 ms tick, which ExSetTimerResolution asks
//     of the whole system. The driver asks with its first card and withdraws
//     with its last, so that the clock interrupt slows down again once no
//     card is left and nothing is still asked for when the image unloads.
#include "driver.h"

ULONG g_WriteDelay = 0;
static LONG g_CardsNeedingFineTick = 0;  // note 4

VOID HoldFineTick() {
  if (InterlockedIncrement(&g_CardsNeedingFineTick) == 1) ExSetTimerResolution(10000, TRUE);
}

VOID ReleaseFineTick() {
  if (InterlockedDecrement(&g_CardsNeedingFineTick) == 0) ExSetTimerResolution(0, FALSE);
}

// Formats one of the two names of instance n into a 256-unit buffer.
static NTSTATUS FormatInstanceName(PWSTR Buffer, PCWSTR Format, ULONG Instance) {
  return RtlStringCbPrintfW(Buffer, NAME_BUFFER_CHARS * sizeof(WCHAR), Format, VERSION_MAJOR_DIGIT,
                            VERSION_MINOR_DIGIT, VERSION_BUILD_DIGIT, Instance);
}

// DriverEntry: fills the dispatch table and prints the version banner.
// PASSIVE_LEVEL, system thread. Always succeeds.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DbgPrint("qm4200.sys: DriverEntry\n");

  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = Dispatch_Create;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = Dispatch_Close;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch_DeviceIoControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = Dispatch_Power;
  DriverObject->MajorFunction[IRP_MJ_PNP] = Dispatch_PnP;

  DbgPrint("qm4200.sys:  [version 1.507] DriverEntry complete\n");
  DbgPrint("vantrel   SystemSize: %d", (int)MmQuerySystemSize());
  return STATUS_SUCCESS;
}

// DriverUnload: every card has been removed (and released) before the
// system unloads a Plug and Play driver, so there is nothing left to free.
// PASSIVE_LEVEL.
VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  PAGED_CODE();
  DbgPrint("qm4200.sys: DriverUnload\n");
}

// AddDevice: creates the card's named device object and Win32 link, joins the
// card's device stack and initialises the extension. Touches no hardware.
// PASSIVE_LEVEL, Plug and Play manager thread.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  DbgPrint("qm4200.sys: AddDevice\n");

  WCHAR deviceName[NAME_BUFFER_CHARS];
  WCHAR linkName[NAME_BUFFER_CHARS];
  UNICODE_STRING deviceNameString;
  PDEVICE_OBJECT deviceObject = nullptr;
  NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
  ULONG instance = 0;

  // The lowest instance whose name is free (note 1). Any failure moves on.
  for (instance = 0; instance < MAX_DEVICE_INSTANCES; ++instance) {
    FormatInstanceName(deviceName, DEVICE_NAME_FORMAT, instance);
    RtlInitUnicodeString(&deviceNameString, deviceName);
    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceNameString,
                            FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (NT_SUCCESS(status)) break;
  }
  if (instance == MAX_DEVICE_INSTANCES) {
    DbgPrint("qm4200.sys: - Unable to create Device\n");
    return status;
  }
  DbgPrint("Created Device (%ws)...\n", deviceName);

  PDEVICE_EXTENSION ext = ExtensionOf(deviceObject);
  RtlZeroMemory(ext, sizeof(DEVICE_EXTENSION));
  ResetDescriptorShadows(ext);
  ext->pPowerWorkItem = IoAllocateWorkItem(deviceObject);
  if (ext->pPowerWorkItem == nullptr) {
    IoDeleteDevice(deviceObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  FormatInstanceName(linkName, LINK_NAME_FORMAT, instance);
  size_t linkBytes = 0;
  RtlStringCbLengthW(linkName, 256, &linkBytes);  // link names are at most 127 units
  RtlStringCchCopyW(ext->wszSymbolicLinkName, NAME_BUFFER_CHARS, linkName);

  DbgPrint("Creating Win32 symbolic link (%ws)...\n", linkName);
  UNICODE_STRING linkNameString;
  RtlInitUnicodeString(&linkNameString, linkName);
  NTSTATUS linkStatus = IoCreateSymbolicLink(&linkNameString, &deviceNameString);
  if (!NT_SUCCESS(linkStatus)) {
    DbgPrint("WARNING - Unable to create symbolic link for Win32 Apps\n");
    IoFreeWorkItem(ext->pPowerWorkItem);
    IoDeleteDevice(deviceObject);
    return linkStatus;
  }

  ext->pPhysicalDeviceObject = PhysicalDeviceObject;
  ext->pDeviceObject = deviceObject;
  ext->pLowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  if (ext->pLowerDeviceObject == nullptr) {  // note 3
    DbgPrint("vantrel  %s %d\n", MODULE_DRIVER, __LINE__);
    IoDeleteSymbolicLink(&linkNameString);
    IoFreeWorkItem(ext->pPowerWorkItem);
    IoDeleteDevice(deviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }

  POWER_STATE powerState;
  powerState.DeviceState = PowerDeviceD0;
  PoSetPowerState(deviceObject, DevicePowerState, powerState);

  ext->bFirstReadRegister = 1;
  ext->ulReadWriteBackAddr = READ_WRITEBACK_ADDR_INITIAL;

  HoldFineTick();  // note 4

  KeInitializeTimer(&ext->WatchdogTimer);
  KeInitializeDpc(&ext->WatchdogDpc, WatchdogDpc_func, ext);
  KeInitializeTimer(&ext->CheckDpcTimer);
  KeInitializeDpc(&ext->CheckDpc, checkDpc_func, ext);
  KeInitializeDpc(&ext->MsiEventDpc, msiDpc_func, ext);
  KeInitializeEvent(&ext->TransferLock_DmaRead, SynchronizationEvent, TRUE);
  KeInitializeEvent(&ext->TransferLock_DmaWrite, SynchronizationEvent, TRUE);
  KeInitializeEvent(&ext->WriteBackLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&ext->StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->MsiLock, SynchronizationEvent, TRUE);

  // Last: the symbolic link already exists, so an application may open the
  // device the moment DO_DEVICE_INITIALIZING goes, and everything it can
  // reach (the transfer locks above all) must be ready by then.
  deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;  // note 2
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

  DbgPrint("vantrel  %s qm4200.sys: AddDevice ulReadWriteBackAddr : 0x%x \n", "AddDevice",
           ext->ulReadWriteBackAddr);
  DbgPrint("qm4200.sys: AddDevice complete\n");
  return linkStatus;
}

// CompleteRequest: stores the status (and the information, except for
// IRP_MN_QUERY_DEVICE_RELATIONS, whose information field carries the lower
// drivers' relations) and completes without priority boost. Any IRQL up to
// DISPATCH_LEVEL. Returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG Information) {
  Irp->IoStatus.Status = Status;
  if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_QUERY_DEVICE_RELATIONS) {
    Irp->IoStatus.Information = Information;
  }
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// DeleteDevice: the last step of removal. Takes the message-interrupt DPC
// out of the queue, leaves the stack, deletes the link and the device (and
// with it the extension). PASSIVE_LEVEL.
VOID DeleteDevice(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr) return;
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);

  KeRemoveQueueDpc(&ext->MsiEventDpc);
  if (ext->pLowerDeviceObject != nullptr) {
    IoDetachDevice(ext->pLowerDeviceObject);
    ext->pLowerDeviceObject = nullptr;
  }
  UNICODE_STRING linkNameString;
  RtlInitUnicodeString(&linkNameString, ext->wszSymbolicLinkName);
  IoDeleteSymbolicLink(&linkNameString);
  if (ext->pPowerWorkItem != nullptr) IoFreeWorkItem(ext->pPowerWorkItem);  // no power request is under way
  IoDeleteDevice(DeviceObject);
}
