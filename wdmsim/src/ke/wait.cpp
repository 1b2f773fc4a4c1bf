// Events, waits, delays and the system clock. Every waitable object is
// guarded by the one dispatcher lock; a change of any signal state wakes
// every waiter, which then looks at its own object again.
#include <thread>

#include "internal.h"

using namespace wdmsim;

namespace {

constexpr UCHAR kEventNotificationType = NotificationEvent;
constexpr UCHAR kEventSynchronizationType = SynchronizationEvent;
constexpr UCHAR kTimerNotificationType = 8;
constexpr UCHAR kTimerSynchronizationType = 9;

bool IsSynchronizationObject(const DISPATCHER_HEADER& header) {
  return header.Type == kEventSynchronizationType || header.Type == kTimerSynchronizationType;
}

}  // namespace

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header = {};
  Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronizationType : kEventNotificationType;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  RequireIrqlAtMost("KeSetEvent", DISPATCH_LEVEL);
  KernelState& k = K();
  LONG previous;
  {
    std::lock_guard lock(k.dispatcher);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  k.dispatcherCv.notify_all();
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  std::lock_guard lock(K().dispatcher);
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  RequireIrqlAtMost("KeResetEvent", DISPATCH_LEVEL);
  std::lock_guard lock(K().dispatcher);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard lock(K().dispatcher);
  return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  KernelState& k = K();
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  // Only a zero time-out may be used at DISPATCH_LEVEL: anything else blocks.
  RequireIrqlAtMost("KeWaitForSingleObject", poll ? DISPATCH_LEVEL : APC_LEVEL);

  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  std::unique_lock lock(k.dispatcher);
  auto satisfied = [&] {
    if (header->SignalState <= 0) return false;
    if (IsSynchronizationObject(*header)) header->SignalState = 0;  // one waiter only
    return true;
  };
  if (Timeout == nullptr) {
    k.dispatcherCv.wait(lock, [&] { return satisfied() || k.crashed.load(); });
    return STATUS_SUCCESS;
  }
  auto realDeadline = k.clock.RealAt(k.clock.AbsoluteDue(Timeout->QuadPart));
  if (k.dispatcherCv.wait_until(lock, realDeadline, satisfied)) return STATUS_SUCCESS;
  return STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  RequireIrqlAtMost("KeDelayExecutionThread", APC_LEVEL);
  KernelState& k = K();
  std::this_thread::sleep_until(k.clock.RealAt(k.clock.AbsoluteDue(Interval->QuadPart)));
  return STATUS_SUCCESS;
}

// A busy wait on the simulated clock, usable at any IRQL.
VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  KernelState& k = K();
  int64_t until = k.clock.Now100ns() + static_cast<int64_t>(MicroSeconds) * 10;
  while (k.clock.Now100ns() < until) {
    __builtin_ia32_pause();
  }
}

// Drivers poll the clock in busy loops (waiting for the card to answer). On
// real hardware the card runs beside the processor; here it is a thread that
// needs the processor too, so a passive-level caller gives way first.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  if (CurrentIrql() == PASSIVE_LEVEL) std::this_thread::yield();
  CurrentTime->QuadPart = K().clock.Now100ns();
}

// The timer resolution is a request to the platform; wdmsim's timers are
// already precise, so the granted resolution is what was asked (1 ms is the
// finest Windows grants without the high-resolution timer API: 0.5 ms).
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
  RequireIrqlAtMost("ExSetTimerResolution", APC_LEVEL);
  constexpr ULONG kDefaultResolution = 156250;  // 15.625 ms
  constexpr ULONG kMinimumResolution = 5000;
  if (!SetResolution) return kDefaultResolution;
  return DesiredTime < kMinimumResolution ? kMinimumResolution : DesiredTime;
}

MM_SYSTEMSIZE MmQuerySystemSize(void) { return MmLargeSystem; }

}  // extern "C"
