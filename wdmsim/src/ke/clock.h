// The one clock of a simulated kernel, which system time, timers, thread
// delays, processor stalls and the cards all read, and the waits made on it.
//
// Two modes (Options::clock):
//  - Realtime: the host's steady clock since boot, times Options::speedup.
//    Waits are host waits with real deadlines; nothing rounds to a tick.
//  - Simulated: time is a counter that moves only when every simulated
//    thread waits, straight to the earliest deadline, as a discrete-event
//    simulator does. An outcome then depends on the host's speed or load
//    only through what host threads outside the simulation do (note 1), and
//    a long time-out costs no wall time.
//
// Notes (Simulated mode):
//  1. Simulated threads: wdmsim's own threads (DPCs, timers, card events,
//     interrupt delivery), counted from before they start until they end,
//     and host threads while they are inside a wdmsim call (ClockScope at
//     the API boundary; a kernel routine that waits, called by a thread
//     outside any call, counts it for the wait). A host thread outside every
//     call does not hold time back: what it does comes from outside the
//     simulated machine, so tests can block on host primitives (join, a
//     latch) without stopping the clock. Between two calls of a test
//     thread, time runs on through whatever is due (a timer it armed, a
//     thread's delay); a test that wants an instant to stay puts its steps
//     inside one call (Process::RunInContext) or lets time pass with RunFor.
//  2. A simulated thread counts as waiting only inside WaitOnce (and what is
//     built on it: Wait, SleepUntil, WaitForLock). `running_` counts the
//     simulated threads that do not wait. When it reaches zero the
//     advancing thread moves time to the earliest deadline of a waiter and
//     wakes that waiter (or the last thread to wait does, when both wait on
//     the clock's own mutex: clock reads, stalls, delays, lock waits). With
//     no deadline at all, time stands still.
//     Waiters due at the same instant are woken one at a time, each once
//     everything the previous one set off waits again, in a fixed order:
//     the cards' events first, then interrupt delivery, the timer thread,
//     the DPC threads, every other thread, and last the clock reads,
//     processor stalls and RunFor (note 4), which thus see all that happens
//     at the instant they end. Within one kind, in the order they began to
//     wait. A waiter woken for another reason (note 3) whose deadline has
//     come waits for its turn again.
//  3. A wake-up is counted before the woken thread runs, or time could move
//     while it is on its way: whoever changes what waiters of a channel wait
//     for calls Kick(channel) with the channel's mutex held, and notifies
//     the channel's condition variable after. Kick counts every waiter of
//     the channel as running; each looks at its condition again and waits
//     again if it must.
//  4. Threads that never block. A processor stall waits exactly its length
//     (not rounded to the tick). A read of the system time
//     (KeQuerySystemTime) costs kClockReadNs: the reader waits that long.
//     A loop that polls the clock until a deadline while another thread
//     answers (the driver's write-back read against the card) thus moves
//     time itself, in exact steps, and sees the answer at the same step on
//     every run whatever the host load; a poll nobody answers ends exactly
//     at its deadline. A thread that spins on a spin lock another thread
//     holds across a stall waits for it (WaitForLock), as does one that
//     blocks on a lock held across driver code (SimMutex).
//  5. Timers, thread delays and wait time-outs expire on the first tick
//     boundary at or after their due time, rounded when they are set (the
//     boundaries are multiples of the tick since boot, as the clock
//     interrupt sees them). The tick is 15.625 ms, or the finest resolution
//     still held through ExSetTimerResolution (0.5 ms at finest).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "wdmsim/kernel.h"

namespace wdmsim {

class Clock {
 public:
  // 2026-01-01 00:00:00 UTC in 100 ns units since 1601: a fixed start keeps
  // printed times comparable between runs.
  static constexpr int64_t kBootTime100ns = 13411699200LL * 10000000LL;
  static constexpr uint64_t kNever = UINT64_MAX;
  static constexpr uint64_t kDefaultTickNs = 15'625'000;
  static constexpr uint64_t kFinestTickNs = 500'000;
  static constexpr uint64_t kClockReadNs = 1'000;  // note 4

  // Who waits, for the order at one instant (note 2).
  enum class Role { CardEvents, Interrupts, Timers, Dpcs, Other };

  // Where a waiter sleeps: a host mutex and the condition variable notified
  // under it. Both outlive every wait on them.
  struct Channel {
    std::mutex* mutex;
    std::condition_variable* cv;
  };

  Clock(ClockMode mode, double speedup);
  ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  ClockMode mode() const { return mode_; }
  bool simulated() const { return mode_ == ClockMode::Simulated; }
  double speedup() const { return speedup_; }

  int64_t Now100ns() const;
  uint64_t NowNs() const;  // since boot
  // Realtime: the real instant at which the clock reads `sim100ns`.
  std::chrono::steady_clock::time_point RealAt(int64_t sim100ns) const;
  // A relative (negative) or absolute (positive) kernel due time as
  // absolute time in 100 ns units, not rounded.
  int64_t AbsoluteDue(LONGLONG due) const { return due < 0 ? Now100ns() - due : due; }
  // When a timer, delay or time-out with that due time expires, in ns since
  // boot: on the tick in Simulated mode (note 5), the due time itself in
  // Realtime.
  uint64_t ExpiryNs(LONGLONG due) const;
  uint64_t TickNs() const { return tickNs_.load(); }
  void SetTickNs(uint64_t tick) { tickNs_.store(tick); }

  // Note 1. Enter and Leave nest per thread; both do nothing in Realtime.
  void Enter();
  void Leave();
  // A wdmsim thread is counted by its creator before it starts, then takes
  // the count over itself and gives it back with Leave when it ends.
  void CountStartingThread();
  void AdoptCount(Role role);

  // Waits on the channel, whose mutex `lock` holds, until it is kicked and
  // notified (note 3) or the deadline (ns since boot) comes; true for the
  // deadline. The caller looks at its condition again afterwards. In
  // Realtime it may also return spuriously.
  bool WaitOnce(const Channel& channel, std::unique_lock<std::mutex>& lock, uint64_t deadlineNs,
                bool late = false);
  // Waits until `ready` (evaluated with the channel's mutex held) or the
  // deadline; returns whether ready.
  template <class Predicate>
  bool Wait(const Channel& channel, std::unique_lock<std::mutex>& lock, uint64_t deadlineNs, Predicate ready) {
    for (bool due = false; !ready();) {
      if (due) return false;
      due = WaitOnce(channel, lock, deadlineNs);
    }
    return true;
  }
  // Note 3: the caller holds the channel's mutex and notifies after.
  void Kick(const Channel& channel);

  // Simulated mode only: the calling thread waits until the clock reads
  // `deadlineNs`, exactly; `late`: after everything else due then (note 2).
  void SleepUntil(uint64_t deadlineNs, bool late);
  // Simulated mode only (note 4): waits, as a waiting thread, until
  // `tryAcquire` succeeds; LockReleased after every release wakes it.
  void WaitForLock(const std::function<bool()>& tryAcquire);
  void LockReleased();

  // Ends the advancing thread; every other simulated thread has ended.
  void Stop();

 private:
  struct Waiter {
    uint64_t deadline;
    Channel channel;
    bool late;
    Role role;
    uint64_t sequence;
    std::atomic<bool> waiting{false};  // set and cleared under mutex_
    bool due = false;                  // woken for its deadline
    bool Before(const Waiter& other) const;  // note 2
  };

  uint64_t EarliestDeadlineLocked() const;
  Waiter* NextLocked() const;
  // With every simulated thread waiting: wakes the next waiter if it waits
  // on mutex_ (which the caller holds); false if that is for the advancing
  // thread to do.
  bool WakeNextHereLocked();
  void StopWaitingLocked(Waiter& waiter);
  void LeaveLocked();
  void Advance();  // the advancing thread (note 2)

  const ClockMode mode_;
  const double speedup_;
  const std::chrono::steady_clock::time_point realStart_;
  std::atomic<uint64_t> tickNs_{kDefaultTickNs};

  // Simulated mode. mutex_ is taken after any channel's mutex, never before.
  std::mutex mutex_;
  std::condition_variable advanceCv_;  // the advancing thread
  std::condition_variable lockCv_;     // WaitForLock
  std::atomic<uint64_t> nowNs_{0};
  int running_ = 0;
  std::vector<Waiter*> waiters_;
  uint64_t sequence_ = 0;
  std::atomic<int> lockWaiters_{0};
  bool stopping_ = false;
  std::thread advancer_;
};

// A std::mutex that may be held across driver code, and so across waits on
// the simulated clock: a thread that finds it taken waits as a simulated
// thread (note 4) instead of blocking unseen by the clock.
class SimMutex {
 public:
  explicit SimMutex(Clock& clock) : clock_(clock) {}
  void lock();
  bool try_lock() { return mutex_.try_lock(); }
  void unlock();

 private:
  Clock& clock_;
  std::mutex mutex_;
};

}  // namespace wdmsim
