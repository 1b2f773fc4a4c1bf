// The Plug and Play manager's side: new devices on the bus, AddDevice, the
// Plug and Play requests it sends down a card's stack, and the power
// manager's routines.
#include <cstring>
#include <new>

#include "hal/hal.h"
#include "internal.h"
#include "pnp/pdo.h"

namespace wdmsim {

namespace {


// The bus driver finds a new device: a physical device object for it, its
// resources assigned; then the PnP manager calls the function driver's
// AddDevice, if there is one.
Slot& PlugFor(KernelState& k, DriverImage* driver, const PciFunctionFactory& make, const Slot* lineOf = nullptr) {
  auto slot = std::make_unique<Slot>();
  slot->driver = driver;
  unsigned number = k.nextPdoNumber++;
  slot->number = number;

  std::u16string pdoName = u"\\Device\\NTPNP_PCI" + Widen(std::to_string(1000 + number));
  UNICODE_STRING nameString{static_cast<USHORT>(pdoName.size() * 2), static_cast<USHORT>(pdoName.size() * 2),
                            reinterpret_cast<PWSTR>(pdoName.data())};
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(k.pciDriver, sizeof(pnp::PdoExtension), &nameString, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
  if (!NT_SUCCESS(status)) throw std::runtime_error("wdmsim: the bus driver could not create a device");
  auto* ext = new (pdo->DeviceExtension) pnp::PdoExtension{};
  ext->slot = slot.get();
  ext->slotNumber = number;
  ext->name = pdoName;
  ext->pend = k.options.lowerDriversPend;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdo->Flags |= DO_POWER_PAGABLE;
  slot->pdo = pdo;
  pnp::AttachFunction(k, *slot, *ext, make, lineOf);

  if (driver != nullptr) {
    slot->addStatus = pnp::CallAddDevice(driver->driverObject(), pdo);
    if (NT_SUCCESS(slot->addStatus) && pdo->AttachedDevice != nullptr &&
        (pdo->AttachedDevice->Flags & DO_DEVICE_INITIALIZING)) {
      k.Finding(driver->name() + ": AddDevice left DO_DEVICE_INITIALIZING set");
    }
    if (NT_SUCCESS(slot->addStatus)) pnp::ApplyDeviceProperties(*slot);
  }
  k.slots.push_back(std::move(slot));
  return *k.slots.back();
}

}  // namespace

// An application may find a device by its name (or the symbolic link to it)
// while AddDevice is still filling it in; Windows turns it away while
// DO_DEVICE_INITIALIZING is set, and the driver clears that flag as its last
// step. wdmsim turns it away until AddDevice has returned, a few instructions
// later: that is the moment the PnP manager's thread publishes what the driver
// wrote, so an open that gets in never reads a half-made device extension.
NTSTATUS pnp::CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
  if (addDevice == nullptr) return STATUS_NOT_SUPPORTED;
  KernelState& k = K();
  tInAddDevice = true;
  NTSTATUS status;
  try {
    status = ldr::CallDriver(addDevice, driver, pdo);
  } catch (...) {
    tInAddDevice = false;
    throw;
  }
  tInAddDevice = false;
  std::lock_guard lock(k.objects);
  for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
    if (ObjectInfo* info = ob::Find(device)) info->inAddDevice = false;
  }
  return status;
}

Slot& Kernel::PlugDevice(DriverImage& driver, const PciFunctionFactory& make) {
  ClockScope scope(*state_);
  return PlugFor(*state_, &driver, make);
}

Slot& Kernel::PlugDeviceWithoutDriver(const PciFunctionFactory& make) {
  ClockScope scope(*state_);
  return PlugFor(*state_, nullptr, make);
}

Slot& Kernel::PlugDeviceOnLineOf(const Slot& card, const PciFunctionFactory& make) {
  ClockScope scope(*state_);
  if (card.pdo == nullptr) throw std::logic_error("wdmsim: PlugDeviceOnLineOf an empty slot");
  return PlugFor(*state_, nullptr, make, &card);
}

void Kernel::SetMsiSupported(const Slot& slot, bool supported) {
  hal::HalState& h = *state_->hal;
  std::lock_guard lock(h.lock);
  auto it = h.cards.find(slot.number);
  if (it == h.cards.end()) throw std::logic_error("wdmsim: SetMsiSupported on an empty slot");
  it->second->msiSupported = supported;
}

DEVICE_POWER_STATE Kernel::ReportedDeviceState(PDEVICE_OBJECT device) const {
  std::lock_guard lock(state_->powerStatesLock);
  auto it = state_->reportedPowerStates.find(device);
  return it != state_->reportedPowerStates.end() ? it->second : PowerDeviceUnspecified;
}

void Kernel::SetBusBehaviour(Slot& slot, BusBehaviour behaviour) {
  ClockScope scope(*state_);
  if (slot.pdo == nullptr) throw std::logic_error("wdmsim: SetBusBehaviour on an empty slot");
  std::lock_guard lock(pnp::StackLock(slot));  // not under a request
  auto* ext = static_cast<pnp::PdoExtension*>(slot.pdo->DeviceExtension);
  ext->pend = behaviour.pend;
  ext->failMinors = std::move(behaviour.fail);
  ext->onRequest = std::move(behaviour.onRequest);
}

std::vector<Slot*> Kernel::Slots() {
  std::vector<Slot*> out;
  for (auto& s : state_->slots) {
    if (s->pdo != nullptr) out.push_back(s.get());
  }
  return out;
}

// The card leaves the bus: the remove request goes down its stack (with the
// verifier's checks), then the bus driver deletes its device.
NTSTATUS Kernel::RemoveCard(Slot& slot) {
  ClockScope scope(*state_);
  if (slot.pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  std::lock_guard lock(pnp::StackLock(slot));
  if (slot.pdo->AttachedDevice != nullptr) return pnp::RemoveStack(slot, true);
  pnp::DestroyPdoExtension(slot.pdo);
  IoDeleteDevice(slot.pdo);
  slot.pdo = nullptr;
  return STATUS_SUCCESS;
}

namespace pnp {
void DestroyPdoExtension(PDEVICE_OBJECT pdo) {
  static_cast<PdoExtension*>(pdo->DeviceExtension)->~PdoExtension();
}
}  // namespace pnp

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  RequireIrqlAtMost("PoSetPowerState", DISPATCH_LEVEL);
  // The power manager only records the new device state (a system state is
  // ignored, as on Windows since Vista); the previous one is returned.
  KernelState& k = K();
  POWER_STATE previous;
  previous.DeviceState = PowerDeviceD0;
  if (Type != DevicePowerState || DeviceObject == nullptr) return previous;
  std::lock_guard lock(k.powerStatesLock);
  auto [it, inserted] = k.reportedPowerStates.try_emplace(DeviceObject, PowerDeviceD0);
  previous.DeviceState = it->second;
  it->second = State.DeviceState;
  return previous;
}

// Since Windows Vista this only tells the power manager that the next power
// request may come; requests are sent one at a time anyway.
VOID PoStartNextPowerIrp(PIRP Irp) { (void)Irp; }

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost("PoCallDriver", DISPATCH_LEVEL);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (next->MajorFunction != IRP_MJ_POWER) {
    K().Finding("PoCallDriver with a request that is not IRP_MJ_POWER");
  }
  return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"
