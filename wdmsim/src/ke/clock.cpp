// The clock and its waits (ke/clock.h).
#include "ke/clock.h"

#include <algorithm>
#include <tuple>

namespace wdmsim {

namespace {

// Simulated mode: how deep the calling thread is inside wdmsim calls of the
// (one) kernel, and what kind of thread it is (note 2).
thread_local int tDepth = 0;
thread_local Clock::Role tRole = Clock::Role::Other;

}  // namespace

Clock::Clock(ClockMode mode, double speedup)
    : mode_(mode), speedup_(speedup), realStart_(std::chrono::steady_clock::now()) {
  if (simulated()) advancer_ = std::thread([this] { Advance(); });
}

Clock::~Clock() { Stop(); }

void Clock::Stop() {
  if (!advancer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  advanceCv_.notify_all();
  advancer_.join();
}

int64_t Clock::Now100ns() const {
  if (simulated()) return kBootTime100ns + static_cast<int64_t>(nowNs_.load() / 100);
  auto real = std::chrono::steady_clock::now() - realStart_;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(real).count();
  return kBootTime100ns + static_cast<int64_t>(static_cast<double>(ns) * speedup_ / 100.0);
}

uint64_t Clock::NowNs() const {
  if (simulated()) return nowNs_.load();
  return static_cast<uint64_t>(Now100ns() - kBootTime100ns) * 100;
}

std::chrono::steady_clock::time_point Clock::RealAt(int64_t sim100ns) const {
  double realNs = static_cast<double>(sim100ns - kBootTime100ns) * 100.0 / speedup_;
  return realStart_ + std::chrono::nanoseconds(static_cast<int64_t>(realNs));
}

uint64_t Clock::ExpiryNs(LONGLONG due) const {
  if (!simulated()) {
    const int64_t absolute = AbsoluteDue(due);
    return absolute <= kBootTime100ns ? 0 : static_cast<uint64_t>(absolute - kBootTime100ns) * 100;
  }
  // Relative to the exact time, not to the system time's 100 ns steps.
  uint64_t ns = 0;
  if (due < 0) {
    ns = NowNs() + static_cast<uint64_t>(-due) * 100;
  } else if (due > kBootTime100ns) {
    ns = static_cast<uint64_t>(due - kBootTime100ns) * 100;
  }
  const uint64_t tick = TickNs();
  return (ns + tick - 1) / tick * tick;  // note 5
}

void Clock::Enter() {
  if (!simulated()) return;
  if (tDepth++ > 0) return;
  std::lock_guard lock(mutex_);
  ++running_;
}

void Clock::Leave() {
  if (!simulated()) return;
  if (--tDepth > 0) return;
  std::lock_guard lock(mutex_);
  LeaveLocked();
}

void Clock::LeaveLocked() {
  if (--running_ == 0) advanceCv_.notify_one();
}

void Clock::CountStartingThread() {
  if (!simulated()) return;
  std::lock_guard lock(mutex_);
  ++running_;
}

void Clock::AdoptCount(Role role) {
  if (!simulated()) return;
  tDepth = 1;
  tRole = role;
}

bool Clock::Waiter::Before(const Waiter& other) const {
  return std::tie(deadline, late, role, sequence) < std::tie(other.deadline, other.late, other.role, other.sequence);
}

uint64_t Clock::EarliestDeadlineLocked() const {
  uint64_t earliest = kNever;
  for (const Waiter* w : waiters_) earliest = std::min(earliest, w->deadline);
  return earliest;
}

Clock::Waiter* Clock::NextLocked() const {
  Waiter* next = nullptr;
  for (Waiter* w : waiters_) {
    if (next == nullptr || w->Before(*next)) next = w;
  }
  return next;
}

void Clock::StopWaitingLocked(Waiter& waiter) {
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &waiter));
  ++running_;
  waiter.waiting.store(false);  // last: the waiter may return from here on
}

bool Clock::WaitOnce(const Channel& channel, std::unique_lock<std::mutex>& lock, uint64_t deadlineNs, bool late) {
  if (!simulated()) {
    if (deadlineNs == kNever) {
      channel.cv->wait(lock);
      return false;
    }
    channel.cv->wait_until(lock, RealAt(kBootTime100ns + static_cast<int64_t>(deadlineNs / 100)));
    return NowNs() >= deadlineNs;
  }
  // A thread outside every wdmsim call is counted for this wait (note 1).
  const bool visitor = tDepth == 0;
  const bool ownMutex = channel.mutex == &mutex_;
  Waiter waiter{deadlineNs, channel, late, tRole, 0};
  {
    std::unique_lock guard(mutex_, std::defer_lock);
    if (!ownMutex) guard.lock();
    if (visitor) ++running_;
    if (running_ == 1 && deadlineNs != kNever && deadlineNs < EarliestDeadlineLocked()) {
      // Every other simulated thread waits for something later: the
      // advancing thread would move time to this deadline and wake this
      // thread next, so do it here and spare the round trip. Polls of the
      // clock (note 4) take this path.
      if (deadlineNs > nowNs_.load()) nowNs_.store(deadlineNs);
      if (visitor) LeaveLocked();
      return true;
    }
    waiter.sequence = sequence_++;
    waiter.waiting.store(true);
    waiters_.push_back(&waiter);
    if (--running_ == 0 && !(ownMutex && WakeNextHereLocked())) advanceCv_.notify_one();
  }
  // Only a kick or a wake for its deadline ends the wait: a notification
  // meant for another waiter of the channel, or a spurious one, does not.
  while (waiter.waiting.load()) channel.cv->wait(lock);
  if (visitor) {
    std::unique_lock guard(mutex_, std::defer_lock);
    if (!ownMutex) guard.lock();
    LeaveLocked();
  }
  return waiter.due;
}

void Clock::Kick(const Channel& channel) {
  if (!simulated()) return;
  std::unique_lock guard(mutex_, std::defer_lock);
  if (channel.mutex != &mutex_) guard.lock();
  for (size_t i = 0; i < waiters_.size();) {
    if (waiters_[i]->channel.cv == channel.cv) {
      StopWaitingLocked(*waiters_[i]);  // erases it
    } else {
      ++i;
    }
  }
}

void Clock::SleepUntil(uint64_t deadlineNs, bool late) {
  Enter();
  {
    // A condition variable of its own: only its deadline wakes a sleeper,
    // and a shared one would wake every sleeper at each step of a thread
    // that polls the clock, a herd that can starve the threads that run.
    std::condition_variable cv;
    std::unique_lock lock(mutex_);
    while (!WaitOnce(Channel{&mutex_, &cv}, lock, deadlineNs, late)) {
    }
  }
  Leave();
}

void Clock::WaitForLock(const std::function<bool()>& tryAcquire) {
  Enter();
  {
    std::unique_lock lock(mutex_);
    ++lockWaiters_;
    // Pairs with the fence in LockReleased: either the releaser sees this
    // waiter, or this waiter's attempt sees the release.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    Wait(Channel{&mutex_, &lockCv_}, lock, kNever, tryAcquire);
    --lockWaiters_;
  }
  Leave();
}

void Clock::LockReleased() {
  if (!simulated()) return;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (lockWaiters_.load() == 0) return;
  {
    std::lock_guard lock(mutex_);
    Kick(Channel{&mutex_, &lockCv_});
  }
  lockCv_.notify_all();
}

bool Clock::WakeNextHereLocked() {
  Waiter* next = NextLocked();
  if (next == nullptr || next->deadline == kNever || next->channel.mutex != &mutex_) return false;
  // The next waiter waits on this clock's own mutex, which this thread
  // holds: it can be woken from here without the advancing thread's round
  // trip (two pollers of the clock take turns this way).
  if (next->deadline > nowNs_.load()) nowNs_.store(next->deadline);
  next->due = true;
  std::condition_variable* cv = next->channel.cv;
  StopWaitingLocked(*next);
  cv->notify_all();
  return true;
}

void Clock::Advance() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    Waiter* next = running_ == 0 ? NextLocked() : nullptr;
    if (next == nullptr || next->deadline == kNever) {
      advanceCv_.wait(lock);
      continue;
    }
    if (next->deadline > nowNs_.load()) nowNs_.store(next->deadline);
    next->due = true;
    const Channel channel = next->channel;
    StopWaitingLocked(*next);  // counted as running: time stays until it waits again
    if (channel.mutex == &mutex_) {
      channel.cv->notify_all();
      continue;
    }
    // A waiter holds its channel's mutex until it is inside the wait: with
    // the mutex taken, the notification cannot come too early for it.
    lock.unlock();
    {
      std::lock_guard channelLock(*channel.mutex);
      channel.cv->notify_all();
    }
    lock.lock();
  }
}

void SimMutex::lock() {
  if (mutex_.try_lock()) return;
  if (!clock_.simulated()) {
    mutex_.lock();
    return;
  }
  clock_.WaitForLock([this] { return mutex_.try_lock(); });
}

void SimMutex::unlock() {
  mutex_.unlock();
  clock_.LockReleased();
}

}  // namespace wdmsim
