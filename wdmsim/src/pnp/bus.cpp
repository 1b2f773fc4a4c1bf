// The simulated PCI bus driver: the bottom of every card's device stack.
// Its physical device objects answer the Plug and Play and power requests a
// bus driver answers, perform configuration-space reads and writes on the
// device model, and tell it its new power state.
//
// Notes:
//  1. A bus driver may return STATUS_PENDING and complete a request later
//     from a thread of its own ("Passing PnP IRPs down the device stack":
//     a function driver must be ready for it). With `pend` set it does so
//     for every Plug and Play and power request; the completing thread is a
//     simulated thread at PASSIVE_LEVEL.
//  2. `failMinors` refuses Plug and Play requests with STATUS_UNSUCCESSFUL,
//     so that tests reach the paths where a lower driver fails start,
//     query-stop or query-remove (and see the finding when a driver relies
//     on it for a request that must not fail).
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "pnp/pdo.h"

namespace wdmsim::pnp {

namespace {


NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ConfigAccess(PdoExtension* pdo, PIO_STACK_LOCATION stack, bool write) {
  auto& rw = stack->Parameters.ReadWriteConfig;
  if (rw.WhichSpace != PCI_WHICHSPACE_CONFIG) return STATUS_INVALID_PARAMETER;
  if (!pdo->config) return STATUS_NO_SUCH_DEVICE;
  size_t done = write ? pdo->config->Write(rw.Offset, rw.Buffer, rw.Length)
                      : pdo->config->Read(rw.Offset, rw.Buffer, rw.Length);
  pdo->lastConfigBytes = done;
  return done == rw.Length ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS HandlePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* pdo = static_cast<PdoExtension*>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (std::find(pdo->failMinors.begin(), pdo->failMinors.end(), stack->MinorFunction) != pdo->failMinors.end()) {
    return Complete(Irp, STATUS_UNSUCCESSFUL);  // note 2
  }
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (pdo->failStart) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
      pdo->started = true;
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
      pdo->started = false;
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      pdo->started = false;
      return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
      caps->D1Latency = caps->D2Latency = caps->D3Latency = 100;  // 10 ms each, as a bus reports
      caps->Address = pdo->slotNumber << 16;
      return Complete(Irp, STATUS_SUCCESS);
    }
    case IRP_MN_READ_CONFIG: {
      NTSTATUS status = ConfigAccess(pdo, stack, false);
      return Complete(Irp, status, NT_SUCCESS(status) ? stack->Parameters.ReadWriteConfig.Length : 0);
    }
    case IRP_MN_WRITE_CONFIG: {
      NTSTATUS status = ConfigAccess(pdo, stack, true);
      return Complete(Irp, status, NT_SUCCESS(status) ? stack->Parameters.ReadWriteConfig.Length : 0);
    }
    default: {
      // A bus driver completes what it does not handle with the status the
      // request already carries.
      NTSTATUS status = Irp->IoStatus.Status;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

NTSTATUS HandlePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* pdo = static_cast<PdoExtension*>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    pdo->devicePowerState = stack->Parameters.Power.State.DeviceState;
    const DEVICE_POWER_STATE state = pdo->devicePowerState;
    if (pdo->slot != nullptr && pdo->slot->function && state >= PowerDeviceD0 && state <= PowerDeviceD3) {
      pdo->slot->function->PowerStateChanged(static_cast<PciPowerState>(state - PowerDeviceD0));
    }
  }
  if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
    return Complete(Irp, STATUS_NOT_SUPPORTED);  // the card cannot wake the system
  }
  return Complete(Irp, STATUS_SUCCESS);
}

// Note 1: the request is marked pending and handled on a new simulated
// thread, counted by the clock from now, so that time cannot move between
// this return and the answer.
NTSTATUS PendOnAnotherThread(PdoExtension* pdo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                             NTSTATUS (*handle)(PDEVICE_OBJECT, PIRP)) {
  KernelState& k = K();
  IoMarkIrpPending(Irp);
  std::lock_guard lock(pdo->lock);
  std::erase_if(pdo->completers, [](PdoExtension::Completer& c) {
    if (!c.done->load()) return false;
    c.thread.join();
    return true;
  });
  auto done = std::make_shared<std::atomic<bool>>(false);
  k.clock.CountStartingThread();
  std::thread thread([&k, DeviceObject, Irp, handle, done] {
    k.clock.AdoptCount(Clock::Role::Other);
    SetCurrentIrql(PASSIVE_LEVEL);
    try {
      handle(DeviceObject, Irp);
    } catch (const BugCheck&) {
      // Recorded by RaiseBugCheck; the kernel is dead, waiters are released.
    }
    k.clock.Leave();
    done->store(true);
  });
  pdo->completers.push_back({std::move(thread), done});
  return STATUS_PENDING;
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* pdo = static_cast<PdoExtension*>(DeviceObject->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  {
    std::lock_guard lock(pdo->lock);
    pdo->minorsSeen.push_back(minor);
  }
  if (pdo->onRequest) pdo->onRequest(minor);
  if (pdo->pend) return PendOnAnotherThread(pdo, DeviceObject, Irp, HandlePnp);
  return HandlePnp(DeviceObject, Irp);
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* pdo = static_cast<PdoExtension*>(DeviceObject->DeviceExtension);
  PoStartNextPowerIrp(Irp);  // does nothing since Windows Vista; accepted
  if (pdo->pend) return PendOnAnotherThread(pdo, DeviceObject, Irp, HandlePower);
  return HandlePower(DeviceObject, Irp);
}

}  // namespace

PDRIVER_OBJECT CreateBusDriver() {
  auto* driver = new DRIVER_OBJECT{};
  auto* extension = new DRIVER_EXTENSION{};
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  for (auto& major : driver->MajorFunction) major = io::InvalidDeviceRequest;
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  return driver;
}

void DeleteBusDriver(PDRIVER_OBJECT driver) {
  if (driver == nullptr) return;
  delete driver->DriverExtension;
  delete driver;
}

}  // namespace wdmsim::pnp
