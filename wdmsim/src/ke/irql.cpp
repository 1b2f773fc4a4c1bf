// IRQL and spin locks. IRQL is a property of the calling thread.
#include <thread>

#include "internal.h"

namespace wdmsim {

namespace {
thread_local KIRQL tIrql = PASSIVE_LEVEL;
thread_local int tProcessor = -1;
}  // namespace

KIRQL CurrentIrql() { return tIrql; }
void SetCurrentIrql(KIRQL irql) { tIrql = irql; }

unsigned CurrentProcessor() {
  if (tProcessor < 0) {
    // A passive-level thread keeps one processor for its lifetime.
    tProcessor = static_cast<int>(std::hash<std::thread::id>{}(std::this_thread::get_id()) %
                                  std::max(1u, K().options.processors));
  }
  return static_cast<unsigned>(tProcessor);
}
void SetCurrentProcessor(unsigned processor) { tProcessor = static_cast<int>(processor); }

void RequireIrqlAtMost(const char* routine, KIRQL limit) {
  KIRQL irql = CurrentIrql();
  if (irql > limit) {
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x31, irql, limit, 0,
                      std::string(routine) + " called at IRQL " + std::to_string(irql) +
                          " (allowed up to " + std::to_string(limit) + ")");
  }
}

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return CurrentIrql(); }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql < old) {
    K().RaiseBugCheck(IRQL_NOT_GREATER_OR_EQUAL, old, NewIrql, 0, 0,
                      "KeRaiseIrql to " + std::to_string(NewIrql) + " from higher IRQL " +
                          std::to_string(old));
  }
  SetCurrentIrql(NewIrql);
  return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql();
  if (NewIrql > old) {
    K().RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, old, NewIrql, 0, 0,
                      "KeLowerIrql to " + std::to_string(NewIrql) + " from lower IRQL " +
                          std::to_string(old));
  }
  SetCurrentIrql(NewIrql);
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql() < DISPATCH_LEVEL) {
    K().RaiseBugCheck(IRQL_NOT_GREATER_OR_EQUAL, CurrentIrql(), DISPATCH_LEVEL, 0, 0,
                      "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  }
  std::atomic_ref<ULONG_PTR> lock(*SpinLock);
  auto tryAcquire = [&] {
    ULONG_PTR expected = 0;
    return lock.compare_exchange_strong(expected, 1, std::memory_order_seq_cst);
  };
  for (unsigned spins = 0;; ++spins) {
    if (tryAcquire()) return;
    if (spins > 64) {
      // The holder may be stalling on the Simulated clock, which moves only
      // once this thread waits too (ke/clock.h, note 4).
      if (Clock& clock = K().clock; clock.simulated()) {
        clock.WaitForLock(tryAcquire);
        return;
      }
      std::this_thread::yield();
    }
  }
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  std::atomic_ref<ULONG_PTR> lock(*SpinLock);
  if (lock.exchange(0, std::memory_order_seq_cst) == 0) {
    K().RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x32, reinterpret_cast<ULONG_PTR>(SpinLock), 0,
                      0, "releasing a spin lock that is not held");
  }
  K().clock.LockReleased();
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  RequireIrqlAtMost("KeAcquireSpinLock", DISPATCH_LEVEL);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(SpinLock);
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  KeLowerIrql(NewIrql);
}

}  // extern "C"
