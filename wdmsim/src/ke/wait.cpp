// Events, waits, delays and the system clock. Every waitable object is
// guarded by the one dispatcher lock; a change of any signal state wakes
// every waiter, which then looks at its own object again.
#include <algorithm>
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

// "KeSetEvent function (wdm.h)": up to DISPATCH_LEVEL, but with Wait TRUE
// only below it (the caller is to wait next, holding the dispatcher lock).
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  RequireIrqlAtMost(Wait ? "KeSetEvent with Wait TRUE" : "KeSetEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL);
  KernelState& k = K();
  LONG previous;
  {
    std::lock_guard lock(k.dispatcher);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    if (!k.userEventSets.empty()) {
      if (auto it = k.userEventSets.find(Event); it != k.userEventSets.end()) ++it->second;
    }
    k.clock.Kick(k.DispatcherChannel());
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

  ClockScope scope(k);
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  std::unique_lock lock(k.dispatcher);
  auto satisfied = [&] {
    if (header->SignalState <= 0) return false;
    if (IsSynchronizationObject(*header)) header->SignalState = 0;  // one waiter only
    return true;
  };
  if (Timeout == nullptr) {
    k.clock.Wait(k.DispatcherChannel(), lock, Clock::kNever, [&] { return satisfied() || k.crashed.load(); });
    return STATUS_SUCCESS;
  }
  if (poll) return satisfied() ? STATUS_SUCCESS : STATUS_TIMEOUT;
  if (k.clock.Wait(k.DispatcherChannel(), lock, k.clock.ExpiryNs(Timeout->QuadPart), satisfied)) return STATUS_SUCCESS;
  return STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  RequireIrqlAtMost("KeDelayExecutionThread", APC_LEVEL);
  KernelState& k = K();
  if (!k.clock.simulated()) {
    std::this_thread::sleep_until(k.clock.RealAt(k.clock.AbsoluteDue(Interval->QuadPart)));
    return STATUS_SUCCESS;
  }
  if (Interval->QuadPart == 0) return STATUS_SUCCESS;  // gives up the rest of the quantum, no more
  ClockScope scope(k);
  k.clock.SleepUntil(k.clock.ExpiryNs(Interval->QuadPart), false);
  return STATUS_SUCCESS;
}

// A busy wait, usable at any IRQL. On the Simulated clock the processor is
// taken for exactly that long (ke/clock.h, note 4): no tick rounding.
VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  KernelState& k = K();
  if (k.clock.simulated()) {
    ClockScope scope(k);
    k.clock.SleepUntil(k.clock.NowNs() + uint64_t{MicroSeconds} * 1000, true);
    return;
  }
  int64_t until = k.clock.Now100ns() + static_cast<int64_t>(MicroSeconds) * 10;
  while (k.clock.Now100ns() < until) {
    __builtin_ia32_pause();
  }
}

// Drivers poll the clock in busy loops (waiting for the card to answer). On
// real hardware the card runs beside the processor; here it is a thread that
// needs the processor too: on the real-time clock a passive-level caller
// gives way first, on the Simulated clock each read takes 1 us of simulated
// time (ke/clock.h, note 4), so that the loop lets time move.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  KernelState& k = K();
  if (k.clock.simulated()) {
    ClockScope scope(k);
    k.clock.SleepUntil(k.clock.NowNs() + Clock::kClockReadNs, true);
  } else if (CurrentIrql() == PASSIVE_LEVEL) {
    std::this_thread::yield();
  }
  CurrentTime->QuadPart = k.clock.Now100ns();
}

// The clock interrupt's period: 15.625 ms unless someone asks for finer.
// Windows changes it only for a finer request, grants at finest 0.5 ms, and
// restores the default only when every requester has withdrawn ("ExSetTimerResolution
// function (wdm.h)"). Each image holds one request (its finest); the
// kernel's tick is the finest request still held. A request an image still
// holds when it unloads stays, as the clock stays fast on Windows.
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
  RequireIrqlAtMost("ExSetTimerResolution", APC_LEVEL);
  if (io::HandlingPowerRequest()) {
    // Changing the clock's tick means waiting on the clock interrupt's
    // processors, which the power manager may be taking down.
    K().Finding(K().CodeName(WDMSIM_CALLER()) + ": ExSetTimerResolution called while handling a power request");
  }
  constexpr ULONG kDefaultResolution = static_cast<ULONG>(Clock::kDefaultTickNs / 100);
  constexpr ULONG kFinestResolution = static_cast<ULONG>(Clock::kFinestTickNs / 100);
  KernelState& k = K();
  const void* requester = k.ImageForAddress(WDMSIM_CALLER());
  std::lock_guard lock(k.resolutionLock);
  if (SetResolution) {
    const ULONG wanted = std::clamp(DesiredTime, kFinestResolution, kDefaultResolution);
    auto [it, inserted] = k.resolutionRequests.try_emplace(requester, wanted);
    if (!inserted) it->second = std::min(it->second, wanted);
  } else {
    k.resolutionRequests.erase(requester);
  }
  ULONG resolution = kDefaultResolution;
  for (const auto& [who, asked] : k.resolutionRequests) resolution = std::min(resolution, asked);
  k.clock.SetTickNs(uint64_t{resolution} * 100);
  return resolution;
}

MM_SYSTEMSIZE MmQuerySystemSize(void) { return MmLargeSystem; }

}  // extern "C"
