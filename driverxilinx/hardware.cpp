// Hardware start and stop of a card.
//
// Notes:
//  1. The memory windows are told apart by comparing the translated start
//     with the card's base address registers, low 16 bits cleared (flag bits
//     and any offset below 64 KiB).
//  2. A start without a mapped register window fails before anything is
//     allocated or written: every register access needs BAR2.
//  3. Start acquires windows, DMA resources, the interrupt, then arms the
//     write-back; stop releases in the reverse order.
//  4. Stop fences off everything that could still use what it releases:
//     control requests (bDeviceStopped, then waiting until none is inside),
//     the completion poll (cancelled and flushed twice, since a run that
//     began before the fence may re-arm it once), the interrupt routines
//     (disconnected, which waits for a running routine) and the message
//     DPC (flushed after the disconnection). Only then do the events, the
//     windows and the DMA buffers go.
//  5. The card itself may still be moving data into a common buffer: a
//     transfer handed over whose status word is still 0. Stop waits up to
//     a second for it (the card writes the status after the data); a card
//     that never ends a transfer cannot be stopped any other way. The second
//     is measured on the system clock: counting 1 ms delays would last up to
//     16 s, since a thread delay ends on a clock tick.
//  6. Stop and removal always finish: StopEvent tells every control request
//     inside the driver to give up (its pauses wait on it, its loops check
//     it), so the wait for them is short. Together with the 200 ms pause and
//     the wait for a moving transfer, stop takes at most about 1.2 s.
//  7. A start begins from a clean slate. The interrupt of the last start is
//     forgotten (a restart whose resources carry no interrupt fails as a
//     first start does, instead of connecting the old vector), and so is
//     the configuration copy of the last power-down: after a rebalance it
//     holds the old BARs, and writing it back would move the card's windows
//     away from the mapped ones. A successful start lifts the stop fence, so
//     that the card serves control requests again after a rebalance.
#include "driver.h"

namespace {

constexpr ULONG kBarCount = 6;
constexpr ULONG kBarOffset0 = 0x10;
constexpr ULONG kBarMatchMask = 0xFFFF0000;
constexpr LONG kArmSettleMs = 5;
constexpr LONG kStopPauseMs = 200;
constexpr LONG kDrainPollMs = 1;
constexpr LONG kTransferDrainMs = 1000;

#define DRIVER_TRACE_FAILURE() DbgPrint("vantrel  %s %d\n", MODULE_DRIVER, __LINE__)

VOID MapMemoryWindow(PDEVICE_EXTENSION Extension, PCM_PARTIAL_RESOURCE_DESCRIPTOR Raw,
                     PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated) {
  DbgPrint("qm4200.sys: Resource Raw Memory: (0x%x) Length: (0x%x)\n", Raw->u.Memory.Start.LowPart,
           Raw->u.Memory.Length);
  DbgPrint("qm4200.sys: Resource Translated Memory: (0x%x) Length: (0x%x)\n", Translated->u.Memory.Start.LowPart,
           Translated->u.Memory.Length);
  DbgPrint("vantrel  %s Raw Memory  %p   Translated Memory   %p   %d\n", "StartDevice",
           (PVOID)(ULONG_PTR)Raw->u.Memory.Start.QuadPart, (PVOID)(ULONG_PTR)Translated->u.Memory.Start.QuadPart,
           Raw->u.Memory.Length);

  ULONG start = Translated->u.Memory.Start.LowPart;
  ULONG length = Translated->u.Memory.Length;
  if ((Extension->ulBarValue[0] & kBarMatchMask) == start) {
    Extension->ulBar0_Length = length;
    Extension->pBar0_VA = MmMapIoSpace(Translated->u.Memory.Start, length, MmNonCached);
    DbgPrint("qm4200.sys: Translated resource(Bar0) is memory at 0x%x\n", (ULONG)(ULONG_PTR)Extension->pBar0_VA);
  } else if ((Extension->ulBarValue[2] & kBarMatchMask) == start) {
    Extension->ulBar2_Length = length;
    Extension->pBar2_VA = MmMapIoSpace(Translated->u.Memory.Start, length, MmNonCached);
    DbgPrint("qm4200.sys: Translated resource(Bar2) is memory at 0x%x\n", (ULONG)(ULONG_PTR)Extension->pBar2_VA);
  } else {
    DbgPrint("qm4200.sys: Unexcepted resource of memory\n");
  }
}

VOID ReportPortResource(PCM_PARTIAL_RESOURCE_DESCRIPTOR Raw, PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated) {
  DbgPrint("qm4200.sys: Resource Raw Port: (0x%x) Length: (0x%x)\n", Raw->u.Port.Start.LowPart, Raw->u.Port.Length);
  switch (Translated->Type) {
    case CmResourceTypePort:
      DbgPrint("qm4200.sys: Resource Translated Port: (0x%x) Length: (0x%x)\n", Translated->u.Port.Start.LowPart,
               Translated->u.Port.Length);
      break;
    case CmResourceTypeMemory:
      DbgPrint("qm4200.sys: Resource Translated Memory: (0x%x) Length: (0x%x)\n",
               Translated->u.Memory.Start.LowPart, Translated->u.Memory.Length);
      break;
    default:
      DbgPrint("qm4200.sys: Unhandled resource 0x%x\n", Translated->Type);
      break;
  }
}

// Waits until no control request is inside the driver. Requests that arrive
// from now on see bDeviceStopped and leave without using the card.
VOID WaitForControlRequests(PDEVICE_EXTENSION Extension) {
  while (InterlockedExchangeAdd(&Extension->io_control_count, 0) > 0) DelayMilliseconds(kDrainPollMs);
}

// True while the card may still be moving data for a direction: handed over
// and no status written yet (the card writes it after the data).
BOOLEAN TransferInFlight(volatile ULONG* Running, PVOID CommonBuffer) {
  return InterlockedReadFlag(Running) != 0 && CommonBuffer != nullptr &&
         *static_cast<volatile ULONG*>(CommonBuffer) == 0;
}

// The card has no abort: before its buffers go, give a transfer in flight
// time to end, so that the card does not write into freed memory (note 5).
VOID WaitForTransfersToEnd(PDEVICE_EXTENSION Extension) {
  LARGE_INTEGER start, now;
  KeQuerySystemTime(&start);
  for (now = start; now.QuadPart - start.QuadPart < (LONGLONG)kTransferDrainMs * 10000; KeQuerySystemTime(&now)) {
    if (!TransferInFlight(&Extension->bRunning_DmaRead, Extension->pCommonBuffer_VA_DmaRead) &&
        !TransferInFlight(&Extension->bRunning_DmaWrite, Extension->pCommonBuffer_VA_DmaWrite)) {
      return;
    }
    DelayMilliseconds(kDrainPollMs);
  }
  DbgPrint("vantrel  %s %d\n", MODULE_DRIVER, __LINE__);  // a transfer the card never ended
}

// After this no completion-poll run is queued or running, and none can
// start again (the poll does not re-arm once bDeviceStopped is set).
VOID FenceCompletionPoll(PDEVICE_EXTENSION Extension) {
  for (int pass = 0; pass < 2; ++pass) {
    KeCancelTimer(&Extension->CheckDpcTimer);
    KeFlushQueuedDpcs();
  }
}

// The first steps of stop: from here on no control request enters and no
// run of the completion poll is queued (note 4).
VOID RaiseStopFence(PDEVICE_EXTENSION Extension) {
  InterlockedExchangeFlag(&Extension->ulReadWriteBackAddr, static_cast<LONG>(READ_WRITEBACK_ADDR_STOPPED));
  KeCancelTimer(&Extension->CheckDpcTimer);
  InterlockedExchangeFlag(&Extension->bDeviceStopped, 1);
  KeSetEvent(&Extension->StopEvent, IO_NO_INCREMENT, FALSE);  // note 6
}

}  // namespace

// FenceOffCard: after this nothing of the driver touches the card or waits
// on it: no control request is inside the driver or can enter, and the
// completion poll has ended. Nothing is released. PASSIVE_LEVEL.
VOID FenceOffCard(PDEVICE_EXTENSION Extension) {
  RaiseStopFence(Extension);
  WaitForControlRequests(Extension);
  FenceCompletionPoll(Extension);
}

// StartDevice: takes the card from a bare device object to a running card.
// PASSIVE_LEVEL, Plug and Play thread, after the lower drivers started.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PCM_PARTIAL_RESOURCE_LIST RawList,
                     PCM_PARTIAL_RESOURCE_LIST TranslatedList) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  KeClearEvent(&ext->StopEvent);  // a restart after a stop (note 6)
  ext->ucInterruptIrql = 0;       // note 7
  ext->ulInterruptVector = 0;
  ext->ullInterruptAffinity = 0;
  InvalidateSavedConfigSpace(ext);

  for (ULONG i = 0; i < kBarCount; ++i) {
    ReadConfigDword(DeviceObject, kBarOffset0 + 4 * i, &ext->ulBarValue[i]);
  }
  DbgPrint("qm4200.sys: Read bars' value for config space\n");

  for (ULONG i = 0; i < RawList->Count; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR raw = &RawList->PartialDescriptors[i];
    PCM_PARTIAL_RESOURCE_DESCRIPTOR translated = &TranslatedList->PartialDescriptors[i];
    switch (raw->Type) {
      case CmResourceTypeNull:
        DbgPrint("qm4200.sys: Resource RAW Null\n");
        break;
      case CmResourceTypePort:
        ReportPortResource(raw, translated);
        break;
      case CmResourceTypeInterrupt:
        DbgPrint("qm4200.sys: Resource Interrupt provided\n");
        ext->ucInterruptIrql = (UCHAR)(translated->u.Interrupt.Level & 0xFF);
        ext->ulInterruptVector = translated->u.Interrupt.Vector;
        ext->ullInterruptAffinity = translated->u.Interrupt.Affinity;
        break;
      case CmResourceTypeMemory:
        MapMemoryWindow(ext, raw, translated);
        break;
      case CmResourceTypeDma:
        DbgPrint("qm4200.sys: Translated resource is dma. Channel:0x%x  Port:0x%x\n", translated->u.Dma.Channel,
                 translated->u.Dma.Port);
        break;
      case CmResourceTypeDeviceSpecific:
        DbgPrint("qm4200.sys: Translated resource is specific.\n");
        break;
      default:
        DbgPrint("qm4200.sys: Defaut process.\n");
        break;
    }
  }

  if (ext->ucInterruptIrql == 0) {
    DRIVER_TRACE_FAILURE();
    return STATUS_BIOS_FAILED_TO_CONNECT_INTERRUPT;
  }
  if (ext->pBar2_VA == nullptr) {  // note 2
    DRIVER_TRACE_FAILURE();
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  if (!AllocateDmaResource(DeviceObject)) {
    DRIVER_TRACE_FAILURE();
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = IoConnectInterrupt(&ext->pInterruptObject, LineIsr, DeviceObject, nullptr, ext->ulInterruptVector,
                                       ext->ucInterruptIrql, ext->ucInterruptIrql, LevelSensitive, TRUE,
                                       (KAFFINITY)ext->ullInterruptAffinity, FALSE);
  if (status != STATUS_SUCCESS) {
    ext->pInterruptObject = nullptr;
    DbgPrint("qm4200.sys: PnPStartDevice - IoConnectInterrupt failed\n");
  } else {
    DbgPrint("qm4200.sys: PnPStartDevice completed\n");
  }

  InterlockedExchangeFlag(&ext->bDeviceStarted, 1);  // after what an open relies on (Dispatch_Create)
  ext->pulGetRegister = reinterpret_cast<PULONG>(static_cast<PUCHAR>(ext->pCommonBuffer_VA_DmaRead) +
                                                 cbuf::kWriteBackArea);
  ext->pGetRegister_LA = (ULONGLONG)ext->pCommonBuffer_LA_DmaRead.LowPart + cbuf::kWriteBackArea;

  ArmWriteBack(ext);
  DelayMilliseconds(kArmSettleMs);
  ULONG capability = ReadRegister_WriteBack(ext, regs::kRegCapability);
  DbgPrint("vantrel  %s  %d  6008:%d\n", "StartDevice", __LINE__, capability);
  if (capability != 0xFFFFFFFF && (capability & regs::kCapDirectRead) != 0) {
    ext->read_reg_direct = 1;
    ext->bDmaDoneByRegister = 1;
  }
  DbgPrint("vantrel  %s  %d  read_reg_direct:%d\n", "StartDevice", __LINE__, ext->read_reg_direct);
  // The next transfer arms the poll again; then the fence of an earlier
  // stop is lifted (note 7).
  WriteULongNoFence(&ext->bCheckDpcTimerSet, 0);
  InterlockedExchangeFlag(&ext->bDeviceStopped, 0);
  return STATUS_SUCCESS;
}

// StopDevice: fences off every user of the card's resources (note 4), then
// releases them. PASSIVE_LEVEL; runs for stop and again for remove.
VOID StopDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  RaiseStopFence(ext);
  DelayMilliseconds(kStopPauseMs);
  WaitForControlRequests(ext);
  FenceCompletionPoll(ext);
  WaitForTransfersToEnd(ext);
  ReleaseDeviceResources(DeviceObject);
  FreeDmaResource(DeviceObject);
}

// ReleaseDeviceResources: the interrupts, the events and the windows, each
// tested, released and cleared (so that it may run twice). PASSIVE_LEVEL.
VOID ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr) return;
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);

  if (ext->pInterruptObject != nullptr) {
    IoDisconnectInterrupt(ext->pInterruptObject);
    ext->pInterruptObject = nullptr;
  }
  // The message connection must not outlive the extension (its context).
  if (ext->pMsiConnectionContext != nullptr) unreg_msi(ext);
  KeFlushQueuedDpcs();  // a message DPC queued before the disconnection has run

  PKEVENT* events[] = {&ext->pEvent_DmaRead, &ext->pEvent_DmaWrite, &ext->pMsiEvent};
  for (PKEVENT* event : events) {
    if (*event != nullptr) {
      ObDereferenceObject(*event);
      *event = nullptr;
    }
  }
  if (ext->pBar0_VA != nullptr) {
    MmUnmapIoSpace(ext->pBar0_VA, ext->ulBar0_Length);
    ext->pBar0_VA = nullptr;
  }
  if (ext->pBar2_VA != nullptr) {
    MmUnmapIoSpace(ext->pBar2_VA, ext->ulBar2_Length);
    ext->pBar2_VA = nullptr;
  }
}
