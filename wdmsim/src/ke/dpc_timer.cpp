// DPCs and kernel timers.
//
// Notes:
//  1. A DPC object is queued at most once: KDPC.DpcData is non-null while it
//     sits in a processor's queue and is cleared just before its routine
//     runs, so the routine may queue it again (and, as on Windows, the second
//     run may start on another processor before the first has returned).
//  2. Timers live in one queue ordered by absolute due time. The timer thread
//     expires them on the simulated clock: it signals the timer and queues
//     its DPC. KTIMER.Header.Inserted is 1 while a timer is in the queue.
//     The due time kept is when the timer expires: on the Simulated clock,
//     the tick boundary at or after the due time asked (ke/clock.h, note 5).
//  3. The DPC threads and the timer thread are simulated threads for their
//     whole life; an idle one waits with no deadline, the timer thread until
//     the first timer's due time.
//  4. Processor 0's DPCs wait while the interrupt thread, which is processor
//     0, delivers interrupts (hal/interrupt.cpp, note 7).
//  5. The DPC threads wait on DpcChannel, the timer thread on TimerChannel,
//     and waiters for objects (and KeFlushQueuedDpcs) on DispatcherChannel:
//     each change wakes only the threads it concerns. A wake costs the
//     waker tens of microseconds on a virtual machine.
#include <pthread.h>

#include <algorithm>

#include "internal.h"

using namespace wdmsim;

namespace {

constexpr UCHAR kDpcObjectType = 19;
constexpr UCHAR kTimerNotificationType = 8;
constexpr UCHAR kTimerSynchronizationType = 9;

// Caller holds the dispatcher lock.
bool RemoveTimerLocked(KernelState& k, PKTIMER timer) {
  if (!timer->Header.Inserted) return false;
  k.timers.erase({static_cast<int64_t>(timer->DueTime.QuadPart), timer});
  timer->Header.Inserted = 0;
  return true;
}

// Caller holds the dispatcher lock. Returns false when already queued.
bool QueueDpcLocked(KernelState& k, PRKDPC dpc, unsigned processor, PVOID arg1, PVOID arg2) {
  if (dpc->DpcData != nullptr) return false;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  auto& queue = k.dpcQueues[processor];
  dpc->DpcData = &queue;
  dpc->Number = static_cast<USHORT>(processor);
  queue.push_back(dpc);
  return true;
}

// Due time in 100 ns units since 1601 as ns since boot, for the clock.
uint64_t SinceBootNs(int64_t due) {
  return due <= Clock::kBootTime100ns ? 0 : static_cast<uint64_t>(due - Clock::kBootTime100ns) * 100;
}

// When a timer set now with kernel due time `due` expires, in 100 ns units
// since 1601 (note 2).
int64_t ExpiryTime(const KernelState& k, LONGLONG due) {
  if (!k.clock.simulated()) return k.clock.AbsoluteDue(due);
  return Clock::kBootTime100ns + static_cast<int64_t>(k.clock.ExpiryNs(due) / 100);
}

void DpcThread(KernelState* k, unsigned processor) {
  pthread_setname_np(pthread_self(), ("wdmsim-dpc" + std::to_string(processor)).c_str());  // for profilers
  k->clock.AdoptCount(Clock::Role::Dpcs);  // note 3
  SetCurrentProcessor(processor);
  std::unique_lock lock(k->dispatcher);
  for (;;) {
    k->clock.Wait(k->DpcChannel(), lock, Clock::kNever,
                  [&] {
                    return k->stopping ||
                           (!k->dpcQueues[processor].empty() && (processor != 0 || !k->interruptsBusy.load()));
                  });
    if (k->stopping) {
      lock.unlock();
      k->clock.Leave();
      return;
    }
    PRKDPC dpc = k->dpcQueues[processor].front();
    k->dpcQueues[processor].pop_front();
    dpc->DpcData = nullptr;  // note 1
    k->runningDpcs[processor] = dpc;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, arg1 = dpc->SystemArgument1, arg2 = dpc->SystemArgument2;
    lock.unlock();

    if (!k->crashed) {
      SetCurrentIrql(DISPATCH_LEVEL);
      try {
        ldr::CallDriver(routine, dpc, context, arg1, arg2);
        if (CurrentIrql() != DISPATCH_LEVEL) {
          k->Finding("DPC routine " + k->CodeName(reinterpret_cast<const void*>(routine)) +
                     " returned at IRQL " + std::to_string(CurrentIrql()) + " instead of DISPATCH_LEVEL");
        }
      } catch (const BugCheck&) {
        // Recorded by RaiseBugCheck; the kernel is dead, waiters are released.
      }
      SetCurrentIrql(PASSIVE_LEVEL);
    }

    lock.lock();
    k->runningDpcs[processor] = nullptr;
    ++k->dpcGeneration[processor];
    k->clock.Kick(k->DispatcherChannel());
    k->dispatcherCv.notify_all();
  }
}

void TimerThread(KernelState* k) {
  pthread_setname_np(pthread_self(), "wdmsim-timer");  // for profilers
  k->clock.AdoptCount(Clock::Role::Timers);  // note 3
  std::unique_lock lock(k->dispatcher);
  while (!k->stopping) {
    if (k->timers.empty()) {
      k->clock.WaitOnce(k->TimerChannel(), lock, Clock::kNever);
      continue;
    }
    auto [due, timer] = *k->timers.begin();
    if (k->clock.Now100ns() < due) {
      k->clock.WaitOnce(k->TimerChannel(), lock, SinceBootNs(due));
      continue;
    }
    k->timers.erase(k->timers.begin());
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
      // A periodic timer is due again one period after this expiry was due
      // (on the Simulated clock, on the tick after that).
      int64_t next = k->clock.simulated() ? ExpiryTime(*k, due + static_cast<int64_t>(timer->Period) * 10000)
                                          : due + static_cast<int64_t>(timer->Period) * 10000;
      timer->DueTime.QuadPart = static_cast<ULONGLONG>(next);
      timer->Header.Inserted = 1;
      k->timers.insert({next, timer});
    }
    bool queued = false;
    if (timer->Dpc != nullptr && !k->crashed) {
      unsigned processor = k->nextProcessor++ % k->options.processors;
      queued = QueueDpcLocked(*k, timer->Dpc, processor, nullptr, nullptr);
    }
    k->clock.Kick(k->DispatcherChannel());  // waiters on the timer object
    if (queued) k->clock.Kick(k->DpcChannel());
    k->dispatcherCv.notify_all();
    if (queued) k->dpcCv.notify_all();
  }
  lock.unlock();
  k->clock.Leave();
}

}  // namespace

namespace wdmsim {

void KernelState::StartThreads() {
  unsigned n = std::max(1u, options.processors);
  options.processors = n;
  dpcQueues.resize(n);
  runningDpcs.assign(n, nullptr);
  dpcGeneration.assign(n, 0);
  for (unsigned i = 0; i < n; ++i) {
    clock.CountStartingThread();
    dpcThreads.emplace_back(DpcThread, this, i);
  }
  clock.CountStartingThread();
  timerThread = std::thread(TimerThread, this);
}

void KernelState::StopThreads() {
  JoinSystemThreads();  // they may still queue DPCs
  {
    std::lock_guard lock(dispatcher);
    stopping = true;
    KickAllDispatcherChannels();
  }
  NotifyAllDispatcherWaiters();
  for (auto& t : dpcThreads) t.join();
  if (timerThread.joinable()) timerThread.join();
  dpcThreads.clear();
}

namespace ke {

namespace {

// Takes out of the timer and DPC queues every timer whose DPC, and every DPC,
// that `matches`; one line per object for the verifier. `what` says why the
// object matched ("" or " of the image").
std::vector<std::string> Forget(const std::function<bool(const KTIMER*)>& timerMatches,
                                const std::function<bool(const KDPC*)>& dpcMatches, bool reportRunning,
                                const std::string& what) {
  KernelState& k = K();
  std::vector<std::string> found;
  std::lock_guard lock(k.dispatcher);
  for (auto it = k.timers.begin(); it != k.timers.end();) {
    if (timerMatches(it->second)) {
      found.push_back("timer " + Hex(reinterpret_cast<uintptr_t>(it->second)) + what + " still armed");
      it->second->Header.Inserted = 0;
      it = k.timers.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& queue : k.dpcQueues) {
    for (auto it = queue.begin(); it != queue.end();) {
      if (dpcMatches(*it)) {
        found.push_back("DPC " + Hex(reinterpret_cast<uintptr_t>(*it)) + what + " still queued");
        (*it)->DpcData = nullptr;
        it = queue.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto* running : k.runningDpcs) {
    if (reportRunning && running != nullptr && dpcMatches(running)) {
      found.push_back("DPC " + Hex(reinterpret_cast<uintptr_t>(running)) + what + " still running");
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> ForgetTimersAndDpcsIn(const void* begin, const void* end) {
  auto inside = [=](const void* p) { return p >= begin && p < end; };
  return Forget([&](const KTIMER* t) { return inside(t); }, [&](const KDPC* d) { return inside(d); }, true, "");
}

std::vector<std::string> ForgetTimersAndDpcsWithCodeIn(const void* begin, const void* end) {
  auto inside = [=](const KDPC* d) {
    auto code = reinterpret_cast<const void*>(d->DeferredRoutine);
    return code >= begin && code < end;
  };
  return Forget([&](const KTIMER* t) { return t->Dpc != nullptr && inside(t->Dpc); }, inside, false,
                " with a DPC routine in the image");
}

}  // namespace ke
}  // namespace wdmsim

extern "C" {

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  *Dpc = {};
  Dpc->Type = kDpcObjectType;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  KernelState& k = K();
  bool queued;
  {
    std::lock_guard lock(k.dispatcher);
    queued = QueueDpcLocked(k, Dpc, CurrentProcessor(), SystemArgument1, SystemArgument2);
    if (queued) k.clock.Kick(k.DpcChannel());
  }
  if (queued) k.dpcCv.notify_all();
  return queued;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  KernelState& k = K();
  std::lock_guard lock(k.dispatcher);
  if (Dpc->DpcData == nullptr) return FALSE;
  for (auto& queue : k.dpcQueues) {
    auto it = std::find(queue.begin(), queue.end(), Dpc);
    if (it != queue.end()) queue.erase(it);
  }
  Dpc->DpcData = nullptr;
  return TRUE;
}

// Returns once every DPC queued before the call has run.
VOID KeFlushQueuedDpcs(void) {
  RequirePassive("KeFlushQueuedDpcs");
  KernelState& k = K();
  ClockScope scope(k);
  std::unique_lock lock(k.dispatcher);
  std::vector<uint64_t> target(k.dpcQueues.size());
  for (size_t p = 0; p < k.dpcQueues.size(); ++p) {
    target[p] = k.dpcGeneration[p] + k.dpcQueues[p].size() + (k.runningDpcs[p] != nullptr ? 1 : 0);
  }
  k.clock.Wait(k.DispatcherChannel(), lock, Clock::kNever, [&] {
    if (k.stopping || k.crashed) return true;
    for (size_t p = 0; p < target.size(); ++p) {
      // Removed DPCs never run: an empty, idle processor is flushed too.
      bool idle = k.dpcQueues[p].empty() && k.runningDpcs[p] == nullptr;
      if (!idle && k.dpcGeneration[p] < target[p]) return false;
    }
    return true;
  });
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  *Timer = {};
  Timer->Header.Type = Type == SynchronizationTimer ? kTimerSynchronizationType : kTimerNotificationType;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  RequireIrqlAtMost("KeSetTimer", DISPATCH_LEVEL);
  KernelState& k = K();
  bool wasSet;
  {
    std::lock_guard lock(k.dispatcher);
    wasSet = RemoveTimerLocked(k, Timer);  // setting an armed timer re-arms it
    int64_t due = ExpiryTime(k, DueTime.QuadPart);
    Timer->Header.SignalState = 0;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Header.Inserted = 1;
    k.timers.insert({due, Timer});
    k.clock.Kick(k.TimerChannel());  // the timer thread's deadline may be earlier now
  }
  k.timerCv.notify_all();
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

// Cancelling does not remove a DPC the timer has already queued.
BOOLEAN KeCancelTimer(PKTIMER Timer) {
  RequireIrqlAtMost("KeCancelTimer", DISPATCH_LEVEL);
  KernelState& k = K();
  std::lock_guard lock(k.dispatcher);
  return RemoveTimerLocked(k, Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard lock(K().dispatcher);
  return Timer->Header.SignalState != 0;
}

}  // extern "C"
