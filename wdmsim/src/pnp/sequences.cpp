// The Plug and Play manager's sequences: start (with resource lists),
// rebalance, disable and enable, orderly and surprise removal, and the
// queries it cancels.
//
// Notes:
//  1. One Plug and Play request at a time reaches a device stack: every
//     sequence holds the slot's lock from its first request to its last.
//     The power manager takes the same lock, so no power request crosses a
//     Plug and Play sequence.
//  2. Windows never removes a device that has open handles. An orderly
//     removal with handles open is vetoed before any request is sent (the
//     notification phase that precedes IRP_MN_QUERY_REMOVE_DEVICE); after a
//     surprise removal the remove request waits for the last handle to close.
//  3. Requests that drivers must not fail (stop, cancel-stop, cancel-remove,
//     surprise removal, remove) are reported when they fail; the sequence
//     goes on as Windows would.
//  4. Every request starts out as STATUS_NOT_SUPPORTED; a start request that
//     comes back so has not been handled and counts as failed.
#include <cstddef>
#include <cstring>

#include "hal/hal.h"
#include "internal.h"
#include "pnp/pdo.h"

namespace wdmsim {

namespace {

using pnp::StackLock;

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "IRP_MJ_PNP";
  }
}

bool AwaitingClose(KernelState& k, const Slot& slot) {
  std::lock_guard guard(k.pnpLocksGuard);
  return k.removalAwaitingClose.count(&slot) != 0;
}

// Why a sequence that needs the function device cannot run, or success.
NTSTATUS StackPresent(KernelState& k, const Slot& slot) {
  if (slot.pdo == nullptr || slot.Fdo() == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (AwaitingClose(k, slot)) return STATUS_DELETE_PENDING;
  return STATUS_SUCCESS;
}

std::string StatusText(NTSTATUS status) { return "0x" + Hex(static_cast<ULONG>(status)).substr(8); }

std::string DriverName(const Slot& slot) { return slot.driver != nullptr ? slot.driver->name() : "(no driver)"; }

// Sends one Plug and Play request to the top of the slot's stack at
// PASSIVE_LEVEL, as the PnP manager's system thread does, and waits for it.
NTSTATUS SendPnp(Slot& slot, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = {}) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(slot.pdo);
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_PNP, minor, MinorName(minor));
  if (irp == nullptr) {
    ObfDereferenceObject(top);
    throw std::runtime_error(std::string("wdmsim: the PnP manager could not allocate ") + MinorName(minor));
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // note 4
  if (fill) fill(IoGetNextIrpStackLocation(irp));
  NTSTATUS status = io::SendSynchronous(top, irp, nullptr, PASSIVE_LEVEL);
  ObfDereferenceObject(top);  // keeps a device deleted by the remove request alive until here
  return status;
}

// Note 3.
NTSTATUS SendMustSucceed(Slot& slot, UCHAR minor) {
  NTSTATUS status = SendPnp(slot, minor);
  if (!NT_SUCCESS(status)) {
    K().Finding(DriverName(slot) + ": " + MinorName(minor) + " failed with " + StatusText(status) +
                "; drivers must not fail it");
  }
  return status;
}

// Open handles on any device of the slot's stack (note 2). Handles to a
// device outside the stack (a control device) do not hold the stack.
size_t OpenFilesOn(const Slot& slot) {
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  std::set<const void*> stack;
  for (PDEVICE_OBJECT d = slot.pdo; d != nullptr; d = d->AttachedDevice) stack.insert(d);
  size_t open = 0;
  for (const auto& [object, info] : k.objectTable) {
    if (info.type != ObjectType::File) continue;
    if (stack.count(static_cast<const FILE_OBJECT*>(object)->DeviceObject) != 0) ++open;
  }
  return open;
}

}  // namespace

namespace pnp {

// The remove request and what follows it: the function device must have
// left the stack, and the card's resources must have been given back.
// `cardGone`: the bus driver deletes its device too (the card left the bus).
NTSTATUS RemoveStack(Slot& slot, bool cardGone) {
  KernelState& k = K();
  NTSTATUS status = SendMustSucceed(slot, IRP_MN_REMOVE_DEVICE);
  slot.started = false;
  if (slot.pdo->AttachedDevice != nullptr) {
    k.Finding(DriverName(slot) + ": IRP_MN_REMOVE_DEVICE left a device attached above the bus driver's device");
    std::lock_guard lock(k.objects);
    slot.pdo->AttachedDevice = nullptr;  // as if detached, so that the stack can be rebuilt
  }
  for (const auto& leak : hal::LeaksForSlot(slot)) k.Finding(DriverName(slot) + ": " + leak);
  if (cardGone) {
    pnp::DestroyPdoExtension(slot.pdo);
    IoDeleteDevice(slot.pdo);
    slot.pdo = nullptr;
  }
  return status;
}

}  // namespace pnp

namespace {

using pnp::RemoveStack;

// Builds a CM_RESOURCE_LIST with one full descriptor for the PCI bus in
// `storage`, which must outlive the request.
PCM_RESOURCE_LIST BuildResourceList(std::vector<ULONGLONG>& storage,
                                    const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& partials) {
  size_t bytes = offsetof(CM_RESOURCE_LIST, List) + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                 offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                 partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  bytes = std::max(bytes, sizeof(CM_RESOURCE_LIST));
  storage.assign((bytes + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG), 0);
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
  list->Count = 1;
  CM_FULL_RESOURCE_DESCRIPTOR& full = list->List[0];
  full.InterfaceType = PCIBus;
  full.BusNumber = 0;
  full.PartialResourceList.Version = 1;
  full.PartialResourceList.Revision = 1;
  full.PartialResourceList.Count = static_cast<ULONG>(partials.size());
  if (!partials.empty()) {
    std::memcpy(full.PartialResourceList.PartialDescriptors, partials.data(),
                partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  }
  return list;
}

// A failed start is followed by removal, as on Windows 2000 and later.
NTSTATUS StartLocked(Kernel& kernel, Slot& slot, const std::optional<ResourceLists>& resources) {
  if (NTSTATUS present = StackPresent(kernel.state(), slot); !NT_SUCCESS(present)) return present;
  if (slot.started) return STATUS_INVALID_DEVICE_REQUEST;
  ResourceLists lists = resources ? *resources : kernel.DefaultResources(slot);
  if (lists.raw.size() != lists.translated.size()) {
    throw std::invalid_argument("wdmsim: raw and translated resource lists differ in length");
  }
  std::vector<ULONGLONG> rawStorage, translatedStorage;
  PCM_RESOURCE_LIST raw = lists.absent ? nullptr : BuildResourceList(rawStorage, lists.raw);
  PCM_RESOURCE_LIST translated = lists.absent ? nullptr : BuildResourceList(translatedStorage, lists.translated);
  NTSTATUS status = SendPnp(slot, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION next) {
    next->Parameters.StartDevice.AllocatedResources = raw;
    next->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  });
  if (NT_SUCCESS(status)) {
    slot.started = true;
    return status;
  }
  RemoveStack(slot, false);
  return status;
}

// The driver's AddDevice for a card already on the bus.
NTSTATUS AddDeviceLocked(Slot& slot) {
  KernelState& k = K();
  PDRIVER_OBJECT driver = slot.driver->driverObject();
  slot.addStatus = pnp::CallAddDevice(driver, slot.pdo);
  if (NT_SUCCESS(slot.addStatus) && slot.Fdo() != nullptr && (slot.Fdo()->Flags & DO_DEVICE_INITIALIZING)) {
    k.Finding(DriverName(slot) + ": AddDevice left DO_DEVICE_INITIALIZING set");
  }
  if (NT_SUCCESS(slot.addStatus) && slot.Fdo() == nullptr) {
    k.Finding(DriverName(slot) + ": AddDevice succeeded without attaching a device to the stack");
    slot.addStatus = STATUS_NO_SUCH_DEVICE;
  }
  if (NT_SUCCESS(slot.addStatus)) pnp::ApplyDeviceProperties(slot);
  return slot.addStatus;
}

// Query-remove and what follows an accepted one (note 2). `remove`: go on
// to the remove request, else cancel.
NTSTATUS QueryRemoveLocked(Slot& slot, bool remove) {
  if (NTSTATUS present = StackPresent(K(), slot); !NT_SUCCESS(present)) return present;
  if (OpenFilesOn(slot) != 0) return STATUS_DEVICE_BUSY;
  NTSTATUS status = SendPnp(slot, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status) || !remove) {
    SendMustSucceed(slot, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  return RemoveStack(slot, false);
}

}  // namespace

NTSTATUS Kernel::StartCard(Slot& slot, const std::optional<ResourceLists>& resources) {
  ClockScope scope(*state_);
  std::lock_guard lock(StackLock(slot));
  return StartLocked(*this, slot, resources);
}

NTSTATUS Kernel::AddAndStartDevice(DriverImage& driver, Slot** slot, const PciFunctionFactory& make) {
  ClockScope scope(*state_);
  Slot& plugged = PlugDevice(driver, make);
  if (slot != nullptr) *slot = &plugged;
  if (!NT_SUCCESS(plugged.addStatus)) return plugged.addStatus;
  return StartCard(plugged);
}

NTSTATUS Kernel::DisableCard(Slot& slot) {
  ClockScope scope(*state_);
  std::lock_guard lock(StackLock(slot));
  return QueryRemoveLocked(slot, true);
}

NTSTATUS Kernel::EnableCard(Slot& slot) {
  ClockScope scope(*state_);
  std::lock_guard lock(StackLock(slot));
  if (slot.pdo == nullptr || slot.driver == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (slot.Fdo() != nullptr) return STATUS_INVALID_DEVICE_REQUEST;  // not disabled
  NTSTATUS status = AddDeviceLocked(slot);
  if (!NT_SUCCESS(status)) return status;
  return StartLocked(*this, slot, std::nullopt);
}

NTSTATUS Kernel::Rebalance(Slot& slot, const std::optional<ResourceLists>& resources) {
  ClockScope scope(*state_);
  std::lock_guard lock(StackLock(slot));
  if (NTSTATUS present = StackPresent(*state_, slot); !NT_SUCCESS(present)) return present;
  if (!slot.started) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = SendPnp(slot, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendMustSucceed(slot, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  SendMustSucceed(slot, IRP_MN_STOP_DEVICE);
  slot.started = false;
  return StartLocked(*this, slot, resources);
}

NTSTATUS Kernel::QueryStopThenCancel(Slot& slot) {
  ClockScope scope(*state_);
  std::lock_guard lock(StackLock(slot));
  if (NTSTATUS present = StackPresent(*state_, slot); !NT_SUCCESS(present)) return present;
  if (!slot.started) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = SendPnp(slot, IRP_MN_QUERY_STOP_DEVICE);
  SendMustSucceed(slot, IRP_MN_CANCEL_STOP_DEVICE);
  return status;
}

NTSTATUS Kernel::QueryRemoveThenCancel(Slot& slot) {
  ClockScope scope(*state_);
  std::lock_guard lock(StackLock(slot));
  return QueryRemoveLocked(slot, false);
}

NTSTATUS Kernel::QueryRemoveAndRemove(Slot& slot) {
  ClockScope scope(*state_);
  std::lock_guard lock(StackLock(slot));
  return QueryRemoveLocked(slot, true);
}

NTSTATUS Kernel::SurpriseRemove(Slot& slot) {
  ClockScope scope(*state_);
  KernelState& k = *state_;
  std::lock_guard lock(StackLock(slot));
  if (slot.pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (AwaitingClose(k, slot)) return STATUS_DELETE_PENDING;
  // The device is gone before anyone is told: whatever the driver reads
  // from now on is what an empty slot answers.
  if (slot.function) slot.function->Unplug();
  if (slot.Fdo() == nullptr) {
    // No function device (disabled, or its start failed): only the bus
    // driver's device is left to delete.
    pnp::DestroyPdoExtension(slot.pdo);
    IoDeleteDevice(slot.pdo);
    slot.pdo = nullptr;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = SendMustSucceed(slot, IRP_MN_SURPRISE_REMOVAL);
  slot.started = false;
  {
    // Counted and recorded under the guard that pnp::HandleClosed checks,
    // so that a handle closing meanwhile cannot be missed.
    // The slot stays in the set until its stack is gone, so that no open
    // slips in while the removal runs (user/process.cpp, note 3).
    std::lock_guard guard(k.pnpLocksGuard);
    k.removalAwaitingClose.insert(&slot);  // note 2
    if (OpenFilesOn(slot) != 0) return status;
  }
  NTSTATUS removed = RemoveStack(slot, true);
  {
    std::lock_guard guard(k.pnpLocksGuard);
    k.removalAwaitingClose.erase(&slot);
  }
  return NT_SUCCESS(status) ? removed : status;
}

namespace pnp {

SimMutex& StackLock(const Slot& slot) {
  KernelState& k = K();
  std::lock_guard guard(k.pnpLocksGuard);
  return k.pnpLocks.try_emplace(&slot, k.clock).first->second;
}

bool RemovalPendingLocked(PDEVICE_OBJECT device) {
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  for (const Slot* slot : k.removalAwaitingClose) {
    for (PDEVICE_OBJECT d = slot->pdo; d != nullptr; d = d->AttachedDevice) {
      if (d == device) return true;
    }
  }
  return false;
}

void HandleClosed(PDEVICE_OBJECT device) {
  KernelState& k = K();
  Slot* waiting = nullptr;
  {
    std::lock_guard guard(k.pnpLocksGuard);
    std::lock_guard lock(k.objects);
    for (const Slot* slot : k.removalAwaitingClose) {
      for (PDEVICE_OBJECT d = slot->pdo; d != nullptr && waiting == nullptr; d = d->AttachedDevice) {
        if (d == device) waiting = const_cast<Slot*>(slot);
      }
    }
  }
  if (waiting == nullptr) return;
  std::lock_guard lock(StackLock(*waiting));
  {
    std::lock_guard guard(k.pnpLocksGuard);
    if (k.removalAwaitingClose.count(waiting) == 0 || OpenFilesOn(*waiting) != 0) return;
  }
  RemoveStack(*waiting, true);
  std::lock_guard guard(k.pnpLocksGuard);
  k.removalAwaitingClose.erase(waiting);  // only now: no open may slip in meanwhile
}

}  // namespace pnp

}  // namespace wdmsim
