// The event commands of the control interface: the events the driver sets
// when a transfer of either direction has ended (3, 4) and when a
// message-signalled interrupt arrives (0x1010).
//
// Notes:
//  1. An event handle comes from user mode and is referenced as a user-mode
//     request's handle (access checked, no kernel handles). A registration
//     replaces the slot's event and then drops the earlier reference, after
//     the DPC queue has been flushed: a poll or message DPC that read the old
//     pointer has finished by then, so no DPC signals a released event. A
//     registration that fails leaves the slot empty, as it always has.
#include "driver.h"

namespace {

NTSTATUS RegisterEvent(IOCTL_BUFFER* Block, PKEVENT* Slot, KPROCESSOR_MODE RequestorMode) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)Block->hEvent, EVENT_MODIFY_STATE,
                                              EventObjectType(), RequestorMode, &object, nullptr);
  if (!NT_SUCCESS(status)) {
    Block->ulResult = RESULT_EVENT_NOT_REFERENCED;
    object = nullptr;
  }
  PKEVENT previous = static_cast<PKEVENT>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Slot), object));
  if (previous != nullptr) {
    KeFlushQueuedDpcs();  // note 1
    ObDereferenceObject(previous);
  }
  return status;
}

}  // namespace

// Commands 3, 4 and 0x1010. PASSIVE_LEVEL, the caller's process. Returns the
// status of the reference by handle.
NTSTATUS SetEventDmaReadCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  return RegisterEvent(Block, &Extension->pEvent_DmaRead, Irp->RequestorMode);
}

NTSTATUS SetEventDmaWriteCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  return RegisterEvent(Block, &Extension->pEvent_DmaWrite, Irp->RequestorMode);
}

NTSTATUS SetEventMsiCommand(PDEVICE_EXTENSION Extension, IOCTL_BUFFER* Block, PIRP Irp) {
  return RegisterEvent(Block, &Extension->pMsiEvent, Irp->RequestorMode);
}
