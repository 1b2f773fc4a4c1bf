// I/O request packets: allocation, passing down the stack, completion with
// completion routines, and the I/O manager's synchronous requests.
//
// Notes:
//  1. Stack locations follow the IRP in memory and are numbered as the kit
//     numbers them: the first belongs to the lowest driver, CurrentLocation
//     counts down from StackCount + 1 as the request travels down and back
//     up as it completes.
//  2. A completion routine that returns STATUS_MORE_PROCESSING_REQUIRED
//     stops completion; the request then belongs to that driver again.
//  3. Requests the I/O manager builds for user mode and for Plug and Play are
//     checked the way Driver Verifier checks them: completed once, not with
//     STATUS_PENDING, the returned status equal to the completed one, pending
//     marked when STATUS_PENDING is returned, IRQL unchanged.
//  4. Every completion is checked for a well-formed status (any request,
//     also those a driver builds itself).
#include <cstring>

#include "internal.h"

namespace wdmsim {

namespace {

constexpr USHORT kIrpType = 6;

PIO_STACK_LOCATION StackLocations(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

std::string MajorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return "IRP_MJ_0x" + Hex(major).substr(14);
  }
}

// Caller holds K().objects.
void FreeIrpLocked(KernelState& k, PIRP irp) {
  k.irps.erase(irp);
  ::operator delete(irp);
}

}  // namespace

namespace io {

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PIRP AllocateTrackedIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, const char* what) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  std::lock_guard lock(K().objects);
  K().irps[irp].what = what != nullptr ? what : MajorName(major);
  return irp;
}

NTSTATUS SendSynchronous(PDEVICE_OBJECT top, PIRP irp, ULONG_PTR* information, KIRQL irql) {
  KernelState& k = K();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->UserEvent = &done;
  std::string what;
  {
    std::lock_guard lock(k.objects);
    what = k.irps[irp].what;
  }

  KIRQL callerIrql = CurrentIrql();
  SetCurrentIrql(irql);
  NTSTATUS status = IofCallDriver(top, irp);
  SetCurrentIrql(callerIrql);

  bool completed;
  {
    std::lock_guard lock(k.objects);
    completed = k.irps[irp].completed;
  }
  if (status != STATUS_PENDING && !completed) {
    k.Finding(what + ": dispatch routine returned 0x" + Hex(static_cast<ULONG>(status)).substr(8) +
              " without completing the request");
    EndThreadIrp(irp);
    std::lock_guard lock(k.objects);
    k.irps.erase(irp);  // the driver may still hold it: freed at shutdown
    k.abandonedIrps.push_back(irp);
    return status;
  }
  if (status == STATUS_PENDING) {
    // The requesting thread waits as long as the request takes; a driver that
    // never completes it hangs the caller, as on Windows, but is reported:
    // after ten minutes of real time on the real-time clock, of simulated
    // time on the Simulated one (where they pass at once when nothing else
    // is left to happen).
    LARGE_INTEGER limit;
    const double scale = k.clock.simulated() ? 1.0 : k.clock.speedup();
    limit.QuadPart = -static_cast<LONGLONG>(600.0 * 10000000.0 * scale);
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
      k.Finding(what + ": STATUS_PENDING returned and the request was never completed");
      EndThreadIrp(irp);
      std::lock_guard lock(k.objects);
      k.irps.erase(irp);
      k.abandonedIrps.push_back(irp);
      return STATUS_PENDING;
    }
    if (!irp->PendingReturned) {
      k.Finding(what + ": STATUS_PENDING returned without IoMarkIrpPending");
    }
  } else if (status != irp->IoStatus.Status) {
    k.Finding(what + ": dispatch routine returned 0x" + Hex(static_cast<ULONG>(status)).substr(8) +
              " but completed the request with 0x" + Hex(static_cast<ULONG>(irp->IoStatus.Status)).substr(8));
  }
  NTSTATUS final = irp->IoStatus.Status;
  if (information != nullptr) *information = irp->IoStatus.Information;
  EndThreadIrp(irp);  // no cancel still touches it (io/cancel.cpp, note 2)
  std::lock_guard lock(k.objects);
  FreeIrpLocked(k, irp);
  return final;
}

}  // namespace io

Kernel::RequestResult Kernel::SendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                                          const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill) {
  ClockScope scope(*state_);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = io::AllocateTrackedIrp(top, major, minor, nullptr);
  if (major == IRP_MJ_PNP) irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (fill) fill(irp, IoGetNextIrpStackLocation(irp));
  RequestResult result{};
  result.status = io::SendSynchronous(top, irp, &result.information);
  ObfDereferenceObject(top);
  return result;
}

namespace {
void SetCompleteCalls(KernelState& k, PIRP irp, int calls) {
  std::lock_guard lock(k.objects);
  if (auto it = k.irps.find(irp); it != k.irps.end()) it->second.completeCalls = calls;
}
}  // namespace

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  RequireIrqlAtMost("IoAllocateIrp", DISPATCH_LEVEL);
  KernelState& k = K();
  if (k.ShouldFail("IoAllocateIrp") || StackSize < 1) return nullptr;
  size_t bytes = sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(::operator new(bytes));
  std::memset(irp, 0, bytes);
  irp->Type = kIrpType;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = StackLocations(irp) + StackSize;  // one past the top (note 1)
  std::lock_guard lock(k.objects);
  k.irps[irp].what = "IRP";
  return irp;
}

VOID IoFreeIrp(PIRP Irp) {
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  auto it = k.irps.find(Irp);
  if (it == k.irps.end()) {
    k.RaiseBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x01, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                    "IoFreeIrp on a request that does not exist (freed twice?)");
  }
  FreeIrpLocked(k, Irp);
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  RequirePassive("IoBuildSynchronousFsdRequest");
  KernelState& k = K();
  if (k.ShouldFail("IoBuildSynchronousFsdRequest")) return nullptr;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(MajorFunction);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    next->Parameters.Read.Length = Length;
    if (StartingOffset != nullptr) next->Parameters.Read.ByteOffset = *StartingOffset;
    irp->UserBuffer = Buffer;
  }
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  std::lock_guard lock(k.objects);
  IrpInfo& info = k.irps[irp];
  info.ioManagerFrees = true;
  info.what = MajorName(static_cast<UCHAR>(MajorFunction)) + " built by IoBuildSynchronousFsdRequest";
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost("IoCallDriver", DISPATCH_LEVEL);
  KernelState& k = K();
  if (DeviceObject == nullptr) {
    k.RaiseBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x02, 0, reinterpret_cast<ULONG_PTR>(Irp), 0,
                    "IoCallDriver with a null device object");
  }
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    k.RaiseBugCheck(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                    "request passed below the bottom of its stack");
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];

  KIRQL before = CurrentIrql();
  const bool power = stack->MajorFunction == IRP_MJ_POWER;
  if (power) ++io::tPowerDispatchDepth;
  NTSTATUS status;
  try {
    status = ldr::CallDriver(dispatch, DeviceObject, Irp);
  } catch (...) {
    if (power) --io::tPowerDispatchDepth;
    throw;
  }
  if (power) --io::tPowerDispatchDepth;
  if (CurrentIrql() != before) {
    k.Finding("dispatch routine for " + MajorName(stack->MajorFunction) + " returned at IRQL " +
              std::to_string(CurrentIrql()) + ", called at " + std::to_string(before));
    SetCurrentIrql(before);
  }
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
  (void)PriorityBoost;
  RequireIrqlAtMost("IoCompleteRequest", DISPATCH_LEVEL);
  KernelState& k = K();
  {
    std::lock_guard lock(k.objects);
    auto it = k.irps.find(Irp);
    if (it == k.irps.end() || ++it->second.completeCalls > 1 || it->second.completed) {
      k.RaiseBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                      "request completed twice, or completed after it was freed");
    }
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    k.RaiseBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x0E, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                    "request completed with STATUS_PENDING");
  }
  // Note 4: bit 28 of an NTSTATUS is reserved and always clear in a real
  // status; a value with it set (-1, an uninitialised variable, a Win32
  // error code shifted by mistake) is no status at all.
  if ((static_cast<ULONG>(Irp->IoStatus.Status) & 0x10000000u) != 0) {
    std::string what;
    {
      std::lock_guard lock(k.objects);
      what = k.irps[Irp].what;
    }
    k.Finding(what + ": completed with 0x" + Hex(static_cast<ULONG>(Irp->IoStatus.Status)).substr(8) +
              ", which is not a valid NTSTATUS (reserved bit 28 set)");
  }

  // Walk back up the stack (notes 1 and 2).
  for (;;) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    if (Irp->CurrentLocation > Irp->StackCount + 1) break;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    bool success = NT_SUCCESS(Irp->IoStatus.Status);
    bool invoke = (success && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!success && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                  (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    std::memset(stack, 0, sizeof(*stack));
    if (invoke && routine != nullptr) {
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      // The routine may hand the request to another thread that completes
      // it again at once (a waiter it wakes), before this call returns: the
      // request counts as not completed while the routine runs, and as
      // completed again only if the routine lets completion go on.
      SetCompleteCalls(k, Irp, 0);
      if (ldr::CallDriver(routine, device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
        return;  // note 2: the IRP is the routine's now; not touched again here
      }
      SetCompleteCalls(k, Irp, 1);
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);  // carry the pending mark up to the next driver
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
      Irp->CurrentLocation = static_cast<CHAR>(Irp->StackCount + 1);
      Irp->Tail.Overlay.CurrentStackLocation = StackLocations(Irp) + Irp->StackCount;
      break;
    }
  }

  // Completed at the top: the I/O manager's part.
  bool freeIt;
  {
    std::lock_guard lock(k.objects);
    IrpInfo& info = k.irps[Irp];
    info.completed = true;
    freeIt = info.ioManagerFrees;
  }
  if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
  PKEVENT event = Irp->UserEvent;
  if (freeIt) {
    std::lock_guard lock(k.objects);
    FreeIrpLocked(k, Irp);
  }
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // extern "C"
