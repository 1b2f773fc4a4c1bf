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
//  3. A system set-power request is a notification; the device's power
//     policy owner answers it with a device set-power request. wdmsim plays
//     that owner: D3 after a sleep state, D0 after the return to working.
//     Only started stacks take part.
#include "internal.h"

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

// The caller holds the power lock and the slot's lock (note 2).
NTSTATUS SendPowerLocked(Slot& slot, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                         POWER_ACTION action) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(slot.pdo);
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_POWER, minor, PowerMinorName(minor));
  if (irp == nullptr) {
    ObfDereferenceObject(top);
    throw std::runtime_error(std::string("wdmsim: the power manager could not allocate ") + PowerMinorName(minor));
  }
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
  KIRQL irql = (top->Flags & DO_POWER_PAGABLE) ? PASSIVE_LEVEL : DISPATCH_LEVEL;  // note 1
  NTSTATUS status = io::SendSynchronous(top, irp, nullptr, irql);
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

POWER_STATE Device(DEVICE_POWER_STATE d) {
  POWER_STATE state;
  state.DeviceState = d;
  return state;
}

// Every slot whose stack is started, in the order the cards were plugged.
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
    SetPower(*slot, DevicePowerState, Device(PowerDeviceD3), PowerActionNone);  // note 3
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
    SetPower(*slot, DevicePowerState, Device(PowerDeviceD0), PowerActionNone);
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
