// The power manager: system sleep and resume, and single power requests to
// a card's stack.
//
// Notes:
//  1. Power requests go to the top of a stack at PASSIVE_LEVEL when its top
//     device object has DO_POWER_PAGABLE set, at DISPATCH_LEVEL otherwise:
//     a non-pageable stack must cope with the raised IRQL.
//  2. One power request at a time in the whole system, and none while a Plug
//     and Play sequence runs on the same stack (the slot's lock, see
//     pnp/sequences.cpp): Windows does not change power states under a
//     starting or departing device.
//  3. The power manager sends system power requests only. A system
//     set-power request is a notification; the device's power policy owner
//     (its function driver) answers it with a device set-power request of
//     its own (PoRequestPowerIrp), D3 going to sleep and D0 on the way back,
//     and completes the system request when that is done ("Managing Device
//     Power Policy", "Handling a System Set-Power IRP in a Device Power
//     Policy Owner"). A stack whose device is still in D0 once the system
//     request is complete, or not back in D0 after the return to working,
//     has an owner that did not do its part: a verifier finding. Only
//     started stacks take part.
//  4. PoRequestPowerIrp sends its request from a system thread (a function
//     driver asks for it from a completion routine, at up to
//     DISPATCH_LEVEL), to the top of the device's stack at the IRQL note 1
//     gives, and calls the requester's completion function there once every
//     driver has completed it. It returns STATUS_PENDING.
#include "internal.h"
#include "pnp/pdo.h"

namespace wdmsim {

namespace {

const char* PowerMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
    default: return "IRP_MJ_POWER";
  }
}

using pnp::StackLock;

// A power request for the top of `top`'s stack, as the power manager builds
// one; null if none could be allocated.
PIRP BuildPowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action) {
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_POWER, minor, PowerMinorName(minor));
  if (irp == nullptr) return nullptr;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = action;
  }
  return irp;
}

// Note 1.
KIRQL PowerIrql(PDEVICE_OBJECT top) { return (top->Flags & DO_POWER_PAGABLE) ? PASSIVE_LEVEL : DISPATCH_LEVEL; }

// The caller holds the power lock and the slot's lock (note 2).
NTSTATUS SendPowerLocked(Slot& slot, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                         POWER_ACTION action) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(slot.pdo);
  PIRP irp = BuildPowerIrp(top, minor, type, state, action);
  if (irp == nullptr) {
    ObfDereferenceObject(top);
    throw std::runtime_error(std::string("wdmsim: the power manager could not allocate ") + PowerMinorName(minor));
  }
  NTSTATUS status = io::SendSynchronous(top, irp, nullptr, PowerIrql(top));
  ObfDereferenceObject(top);
  if (minor == IRP_MN_SET_POWER && type == DevicePowerState && !NT_SUCCESS(status)) {
    K().Finding((slot.driver != nullptr ? slot.driver->name() : std::string("(no driver)")) +
                ": device IRP_MN_SET_POWER failed with 0x" + Hex(static_cast<ULONG>(status)).substr(8) +
                "; drivers above the bus driver must not fail it");
  }
  return status;
}

NTSTATUS SetPower(Slot& slot, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action) {
  return SendPowerLocked(slot, IRP_MN_SET_POWER, type, state, action);
}

POWER_STATE System(SYSTEM_POWER_STATE s) {
  POWER_STATE state;
  state.SystemState = s;
  return state;
}


// Every slot whose stack is started, in the order the cards were plugged.
DEVICE_POWER_STATE DeviceStateOf(const Slot& slot) {
  return static_cast<const pnp::PdoExtension*>(slot.pdo->DeviceExtension)->devicePowerState;
}

// Note 3.
void ExpectDeviceState(Slot& slot, bool asleep, SYSTEM_POWER_STATE system) {
  const DEVICE_POWER_STATE state = DeviceStateOf(slot);
  if (asleep == (state != PowerDeviceD0)) return;
  std::string name = slot.driver != nullptr ? slot.driver->name() : std::string("(no driver)");
  K().Finding(name + (asleep ? ": the system went to S" + std::to_string(system - PowerSystemWorking) +
                                   " with the device still in D0"
                             : ": the system returned to S0 with the device still in D" +
                                   std::to_string(state - PowerDeviceD0)) +
              "; its power policy owner sent no device set-power request (PoRequestPowerIrp)");
}

std::vector<Slot*> StartedSlots(KernelState& k) {
  std::vector<Slot*> out;
  for (auto& slot : k.slots) {
    if (slot->pdo != nullptr && slot->Fdo() != nullptr && slot->started) out.push_back(slot.get());
  }
  return out;
}

}  // namespace

void Kernel::Sleep(SYSTEM_POWER_STATE state) {
  ClockScope scope(*state_);
  KernelState& k = *state_;
  if (state <= PowerSystemWorking || state >= PowerSystemShutdown) {
    throw std::invalid_argument("wdmsim: Sleep needs a sleeping or hibernate state");
  }
  std::lock_guard power(k.powerLock);
  if (k.systemPowerState != PowerSystemWorking) throw std::logic_error("wdmsim: the system is already asleep");
  for (Slot* slot : StartedSlots(k)) {
    std::lock_guard lock(StackLock(*slot));
    if (!slot->started) continue;  // removed meanwhile
    SetPower(*slot, SystemPowerState, System(state), PowerActionSleep);
    ExpectDeviceState(*slot, true, state);  // note 3
  }
  k.systemPowerState = state;
}

void Kernel::Resume() {
  ClockScope scope(*state_);
  KernelState& k = *state_;
  std::lock_guard power(k.powerLock);
  if (k.systemPowerState == PowerSystemWorking) throw std::logic_error("wdmsim: the system is not asleep");
  // A wake reports the action that put the system to sleep.
  for (Slot* slot : StartedSlots(k)) {
    std::lock_guard lock(StackLock(*slot));
    if (!slot->started) continue;
    SetPower(*slot, SystemPowerState, System(PowerSystemWorking), PowerActionSleep);
    ExpectDeviceState(*slot, false, PowerSystemWorking);
  }
  k.systemPowerState = PowerSystemWorking;
}

void Kernel::SleepAndResume(SYSTEM_POWER_STATE state) {
  Sleep(state);
  Resume();
}

NTSTATUS Kernel::SendPowerRequest(Slot& slot, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  ClockScope scope(*state_);
  KernelState& k = *state_;
  std::lock_guard power(k.powerLock);
  std::lock_guard lock(StackLock(slot));
  if (slot.pdo == nullptr || slot.Fdo() == nullptr) return STATUS_NO_SUCH_DEVICE;
  POWER_ACTION action = PowerActionNone;
  if (type == SystemPowerState && minor != IRP_MN_WAIT_WAKE) {
    if (state.SystemState == PowerSystemShutdown) {
      action = PowerActionShutdown;
    } else if (state.SystemState > PowerSystemWorking) {
      action = PowerActionSleep;
    }
  }
  return SendPowerLocked(slot, minor, type, state, action);
}

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

// Note 4.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost("PoRequestPowerIrp", DISPATCH_LEVEL);
  KernelState& k = K();
  if (DeviceObject == nullptr ||
      (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (MinorFunction != IRP_MN_WAIT_WAKE &&
      (PowerState.DeviceState <= PowerDeviceUnspecified || PowerState.DeviceState >= PowerDeviceMaximum)) {
    return STATUS_INVALID_PARAMETER;  // a driver asks for device power states only
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = BuildPowerIrp(top, MinorFunction, DevicePowerState, PowerState, PowerActionNone);
  if (irp == nullptr) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Irp != nullptr) *Irp = irp;
  const KIRQL irql = PowerIrql(top);
  k.SpawnSystemThread([=] {
    IO_STATUS_BLOCK result{};
    ULONG_PTR information = 0;
    result.Status = io::SendSynchronous(top, irp, &information, irql);
    result.Information = information;
    if (CompletionFunction != nullptr) {
      SetCurrentIrql(irql);
      ldr::CallDriver(CompletionFunction, DeviceObject, MinorFunction, PowerState, Context, &result);
      SetCurrentIrql(PASSIVE_LEVEL);
    }
    ObfDereferenceObject(top);
  });
  return STATUS_PENDING;
}

}  // extern "C"
