// Cancelling requests: IoCancelIrp with the cancel spin lock, and the
// requests user-mode threads wait for, which CancelSynchronousIo and a
// thread's exit cancel ("IoCancelIrp function (wdm.h)", "Canceling IRPs",
// "CancelSynchronousIo function (ioapiset.h)").
//
// Notes:
//  1. IoCancelIrp takes the cancel spin lock, sets Irp->Cancel and takes the
//     cancel routine out of the request. With one, it calls it at
//     DISPATCH_LEVEL with the lock still held, and the routine releases it
//     with IoReleaseCancelSpinLock(Irp->CancelIrql); without one, it releases
//     the lock and returns FALSE, and the driver holding the request sees
//     Cancel when it next looks.
//  2. A request is in the thread table from the moment its thread sends it
//     until just before it is freed. A cancel marks the entry before it lets
//     go of the table's lock, and the sender waits for the marks to clear
//     before freeing: the request cannot go away under IoCancelIrp, however
//     close to its completion the cancel comes.
#include "internal.h"

namespace wdmsim::io {

void BeginThreadIrp(PIRP irp, const Process* process) {
  KernelState& k = K();
  std::lock_guard lock(k.threadIrpsLock);
  k.threadIrps[irp] = ThreadIrp{std::this_thread::get_id(), process, 0};
}

void EndThreadIrp(PIRP irp) {
  KernelState& k = K();
  ClockScope scope(k);
  std::unique_lock lock(k.threadIrpsLock);
  auto it = k.threadIrps.find(irp);
  if (it == k.threadIrps.end()) return;
  k.clock.Wait(k.ThreadIrpsChannel(), lock, Clock::kNever, [&] { return it->second.cancelling == 0; });  // note 2
  k.threadIrps.erase(it);
}

bool CancelThreadIo(const Process* process, std::thread::id thread) {
  KernelState& k = K();
  std::vector<PIRP> found;
  {
    std::lock_guard lock(k.threadIrpsLock);
    for (auto& [irp, entry] : k.threadIrps) {
      if (entry.thread != thread || entry.process != process) continue;
      ++entry.cancelling;
      found.push_back(irp);
    }
  }
  auto release = [&k](PIRP irp) {
    {
      std::lock_guard lock(k.threadIrpsLock);
      --k.threadIrps[irp].cancelling;
      k.clock.Kick(k.ThreadIrpsChannel());
    }
    k.threadIrpsCv.notify_all();
  };
  for (size_t i = 0; i < found.size(); ++i) {
    try {
      IoCancelIrp(found[i]);
    } catch (...) {
      for (size_t j = i; j < found.size(); ++j) release(found[j]);
      throw;
    }
    release(found[i]);
  }
  return !found.empty();
}

}  // namespace wdmsim::io

using namespace wdmsim;

extern "C" {

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  RequireIrqlAtMost("IoAcquireCancelSpinLock", DISPATCH_LEVEL);
  *Irql = KfRaiseIrql(DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(&K().cancelSpinLock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&K().cancelSpinLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  RequireIrqlAtMost("IoCancelIrp", DISPATCH_LEVEL);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);  // note 1
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  ldr::CallDriver(routine, device, Irp);
  if (CurrentIrql() != irql) {
    // Only IoReleaseCancelSpinLock lowers the IRQL back: the routine still
    // holds the lock. Release it so that the kernel goes on.
    K().Finding("cancel routine returned at IRQL " + std::to_string(CurrentIrql()) +
                " without releasing the cancel spin lock (IoReleaseCancelSpinLock missing)");
    KeReleaseSpinLock(&K().cancelSpinLock, irql);
  }
  return TRUE;
}

}  // extern "C"
