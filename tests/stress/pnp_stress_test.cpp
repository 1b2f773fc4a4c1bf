// Plug and Play and power stress with I/O in flight: while user threads run
// playouts, captures and register commands on two cards, the main thread
// runs the PnP manager's sequences over and over: surprise removal (and a
// new card in the slot's place), rebalance, rebalance whose restart fails,
// disable and enable, cancelled stop and removal, sleep and resume. After
// every cycle the verifier is clean; the bus driver below each card answers
// from another thread after STATUS_PENDING or at once, by the seed; every request returns (a watchdog
// fails the test if a thread makes no progress), and transfers that meet a
// card being stopped or removed fail with a status instead of hanging.
//
// The kernel runs on the simulated clock whatever WDMSIM_CLOCK says, so
// that a register read returns the value written, or all ones when it met
// a PnP sequence or its card was surprise-removed, and nothing else. STRESS_CYCLES sets the number of cycles
// (default 240, in every CI run); STRESS_SEED the seed that picks each cycle's
// sequence and card and the bus drivers that pend (default 2026), printed
// with the results and with any failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "card/plug.h"
#include "support/machine.h"
#include "support/session.h"

namespace {

using support::Session;

constexpr uint32_t kFrameBytes = 0x4000;
constexpr uint32_t kWaitMs = 400;  // simulated: a transfer takes well under 1 ms

// Which card each worker uses, swapped by the main thread when a card is
// surprise-removed and a new one plugged; and the pause the orderly
// removals need (Windows vetoes them while handles are open).
struct Board {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<wdmsim::Slot*> cards;
  // Each card's Win32 name, taken by the main thread when it puts the card
  // on the board: a worker must not read a slot the main thread may be
  // removing at that moment.
  std::vector<std::u16string> names;
  bool pause = false;
  int paused = 0;  // workers holding no handle while paused
  bool stop = false;
  // The main thread counts up at the start and at the end of every PnP
  // sequence (odd while one runs) and lists the cards it surprise-removed:
  // a register read may fail only if it met a sequence or its card is gone.
  uint64_t sequences = 0;
  std::set<wdmsim::Slot*> gone;
};

enum class Role { kPlayout, kCapture, kRegisters };

class Worker {
 public:
  Worker(wdmsim::Kernel& kernel, Board& board, size_t card, Role role)
      : kernel_(kernel), board_(board), card_(card), role_(role) {}

  void Run() {
    process_ = kernel_.CreateProcess();
    auto& p = *process_;
    event_ = p.CreateEventW(false, false);
    buffer_ = static_cast<uint8_t*>(p.VirtualAlloc(kFrameBytes));
    for (;;) {
      if (!WaitForWork()) break;
      if (handle_ == nullptr && !OpenCurrent()) continue;
      Session s(p, handle_);
      std::string r;
      const uint32_t n = count_++;
      switch (role_) {
        case Role::kPlayout: r = s.Playout(buffer_, kFrameBytes, n, 1, event_, kWaitMs); break;
        case Role::kCapture: r = s.Capture(buffer_, kFrameBytes, n & 0x7FFFFF, 2, event_, kWaitMs); break;
        case Role::kRegisters: {
          const uint32_t value = 0x5A000000 | n;
          const uint64_t before = Sequences();
          r = s.SetRegister(0x3000, value).ok ? "" : "set failed";
          if (r.empty()) {
            auto got = s.GetRegister(0x3000);
            if (!got.ok) {
              r = "get failed";
            } else if (got.block.ulData == 0xFFFFFFFF) {
              // A failed read: the card was surprise-removed (every read of
              // it fails), or stop began during the read, which then gives
              // up. With neither, the read itself failed: an error.
              r = "read failed";
              ++(Excused(before) ? failedReads : unexplainedFailures);
            } else if (got.block.ulData != value && !Excused(before)) {
              // An earlier value or 0 included: on the simulated clock no
              // attempt of the driver's write-back read times out before the
              // card answers, so no late answer can meet a later attempt.
              // A sleep between the two resets the card's registers to 0.
              wrong++;
            }
          }
          break;
        }
      }
      ++progress;
      if (r.empty()) {
        ++good;
      } else {
        ++failed;
        CloseHandle();  // the card was stopped or is going: start over on whatever card is there
        // A request refused at once takes no simulated time, so a worker
        // that retried at once would run inside the kernel without pause and
        // hold the clock still for a thread that polls it (a register read
        // waiting out a stopping card) while the host works through its
        // retries. A user program backs off; so do the workers.
        kernel_.RunFor(std::chrono::milliseconds(1));
      }
    }
    CloseHandle();
    p.CloseHandle(event_);
    p.VirtualFree(buffer_);
    process_.reset();
  }

  std::atomic<uint64_t> progress{0}, good{0}, failed{0}, wrong{0}, failedReads{0}, unexplainedFailures{0};

 private:
  uint64_t Sequences() {
    std::lock_guard lock(board_.lock);
    return board_.sequences;
  }
  // True when a read that began at `before` may have met a PnP sequence, or
  // its card was surprise-removed.
  bool Excused(uint64_t before) {
    std::lock_guard lock(board_.lock);
    return before % 2 == 1 || board_.sequences != before || board_.gone.count(openedOn_) != 0;
  }
  // False when the test is over. Holds no handle while the board is paused.
  bool WaitForWork() {
    std::unique_lock lock(board_.lock);
    if (board_.pause) {
      lock.unlock();
      CloseHandle();
      lock.lock();
      ++board_.paused;
      board_.changed.notify_all();
      board_.changed.wait(lock, [&] { return !board_.pause || board_.stop; });
      --board_.paused;
    }
    return !board_.stop;
  }
  bool OpenCurrent() {
    wdmsim::Slot* slot;
    std::u16string name;
    {
      std::lock_guard lock(board_.lock);
      slot = board_.cards[card_];
      name = board_.names[card_];
    }
    auto& p = *process_;
    HANDLE h = name.empty() ? wdmsim::INVALID_HANDLE_VALUE : p.CreateFileW(name);
    if (h == wdmsim::INVALID_HANDLE_VALUE) {
      ++failed;
      ++progress;
      // Nothing to open right now: wait for the board to change rather than spin.
      std::unique_lock lock(board_.lock);
      board_.changed.wait_for(lock, std::chrono::milliseconds(5));
      return false;
    }
    handle_ = h;
    openedOn_ = slot;
    Session s(p, h);
    const uint32_t command = role_ == Role::kPlayout ? IOCTL_SET_EVENT_DMAREAD : IOCTL_SET_EVENT_DMAWRITE;
    if (role_ != Role::kRegisters) s.RegisterEvent(command, event_);
    return true;
  }
  void CloseHandle() {
    if (handle_ != nullptr) process_->CloseHandle(handle_);
    handle_ = nullptr;
  }

  wdmsim::Kernel& kernel_;
  Board& board_;
  size_t card_;
  Role role_;
  std::unique_ptr<wdmsim::Process> process_;
  HANDLE handle_ = nullptr;
  wdmsim::Slot* openedOn_ = nullptr;  // the card handle_ belongs to
  HANDLE event_ = nullptr;
  uint8_t* buffer_ = nullptr;
  uint32_t count_ = 0;
};

class PnpStressTest : public support::MachineTest {
 protected:
  // The simulated clock whatever WDMSIM_CLOCK says (the reads are exact).
  wdmsim::Options KernelOptions() override { return {.clock = wdmsim::ClockMode::Simulated}; }

  // Closes every worker's handle for the duration of `work`.
  void Paused(size_t workers, const std::function<void()>& work) {
    std::unique_lock lock(board.lock);
    board.pause = true;
    const bool all = board.changed.wait_for(lock, std::chrono::seconds(30), [&] { return board.paused == int(workers); });
    ASSERT_TRUE(all) << "a worker did not come back from its request";
    lock.unlock();
    work();
    lock.lock();
    board.pause = false;
    board.changed.notify_all();
  }

  Board board;
};

TEST_F(PnpStressTest, SequencesWithIoInFlight) {
  const char* env = std::getenv("STRESS_CYCLES");
  const int cycles = env != nullptr ? std::atoi(env) : 240;
  const char* seedText = std::getenv("STRESS_SEED");
  const uint32_t seed =
      seedText != nullptr && *seedText != 0 ? static_cast<uint32_t>(std::strtoul(seedText, nullptr, 0)) : 2026;
  SCOPED_TRACE(::testing::Message() << "STRESS_SEED=" << seed);
  std::printf("[pnp stress] seed %u, %d cycles\n", seed, cycles);
  std::mt19937 rng(seed);
  // Half the cards, by the seed, sit on a bus driver that pends.
  auto pendingOrNot = [&](wdmsim::Slot* slot) {
    kernel->SetBusBehaviour(*slot, {.pend = (rng() & 1) != 0});
    return slot;
  };
  board.cards = {pendingOrNot(&StartedCard()), pendingOrNot(&StartedCard())};
  board.names = {support::Win32Name(*board.cards[0]), support::Win32Name(*board.cards[1])};
  std::vector<std::unique_ptr<Worker>> workers;
  for (size_t c = 0; c < 2; ++c) {
    for (Role role : {Role::kPlayout, Role::kCapture, Role::kRegisters}) {
      workers.push_back(std::make_unique<Worker>(*kernel, board, c, role));
    }
  }
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back([&w] { w->Run(); });

  auto totalProgress = [&] {
    uint64_t n = 0;
    for (auto& w : workers) n += w->progress;
    return n;
  };
  int counts[7] = {};
  const char* names[7] = {"surprise removal", "rebalance", "rebalance, restart fails", "disable and enable",
                          "cancelled stop", "cancelled removal", "sleep and resume"};
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const size_t c = rng() % 2;
    wdmsim::Slot* slot;
    {
      std::lock_guard lock(board.lock);
      slot = board.cards[c];
    }
    // Let some I/O through between events: wait for progress, not for time.
    const uint64_t mark = totalProgress();
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         totalProgress() < mark + 6 && std::chrono::steady_clock::now() < until;) {
      std::this_thread::yield();
    }
    const int kind = static_cast<int>(rng() % 7);
    ++counts[kind];
    {
      std::lock_guard lock(board.lock);
      ++board.sequences;
      if (kind == 0) board.gone.insert(slot);
    }
    switch (kind) {
      case 0: {
        kernel->SurpriseRemove(*slot);  // the removal completes when the workers close their handles
        wdmsim::Slot* fresh = pendingOrNot(&StartedCard());
        std::lock_guard lock(board.lock);
        board.cards[c] = fresh;
        board.names[c] = support::Win32Name(*fresh);
        board.changed.notify_all();
        break;
      }
      case 1:
        // Refused while a request is inside the driver; when it runs, the
        // workers' transfers fail (stop let go of their events) and they
        // open the card again, which serves them after its restart.
        kernel->Rebalance(*slot);
        break;
      case 2:
        Paused(workers.size(), [&] {
          kernel->FailNthCall("AllocateCommonBuffer", 1);  // the restart's first buffer
          EXPECT_EQ(kernel->Rebalance(*slot), STATUS_INSUFFICIENT_RESOURCES);
          EXPECT_EQ(slot->Fdo(), nullptr);  // the PnP manager removed the stack
          EXPECT_EQ(kernel->EnableCard(*slot), STATUS_SUCCESS);
        });
        break;
      case 3:
        Paused(workers.size(), [&] {
          EXPECT_EQ(kernel->DisableCard(*slot), STATUS_SUCCESS);
          EXPECT_EQ(kernel->EnableCard(*slot), STATUS_SUCCESS);
        });
        break;
      case 4: kernel->QueryStopThenCancel(*slot); break;
      case 5: kernel->QueryRemoveThenCancel(*slot); break;  // vetoed: handles are open
      default: kernel->SleepAndResume(); break;
    }
    {
      std::lock_guard lock(board.lock);
      ++board.sequences;
      board.names[c] = support::Win32Name(*board.cards[c]);  // an enable may have renamed it
    }
    ASSERT_EQ(kernel->Findings(), std::vector<std::string>{}) << "after cycle " << cycle << ": " << names[kind];
    ASSERT_EQ(kernel->BugCheckReport(), "") << "after cycle " << cycle;
  }
  {
    std::lock_guard lock(board.lock);
    board.stop = true;
    board.changed.notify_all();
  }
  for (auto& t : threads) t.join();

  uint64_t good = 0, failed = 0, wrong = 0, failedReads = 0, unexplainedFailures = 0;
  for (auto& w : workers) {
    good += w->good;
    failed += w->failed;
    wrong += w->wrong;
    failedReads += w->failedReads;
    unexplainedFailures += w->unexplainedFailures;
  }
  EXPECT_EQ(wrong, 0u) << "a register read returned another value than the one written";
  EXPECT_EQ(unexplainedFailures, 0u) << "a register read failed with no PnP sequence under way on a present card";
  EXPECT_GT(good, static_cast<uint64_t>(cycles)) << "hardly any I/O ran";
  std::printf("[pnp stress] seed %u, %d cycles:", seed, cycles);
  for (int k = 0; k < 7; ++k) std::printf(" %s %d,", names[k], counts[k]);
  std::printf(" I/O rounds %llu good, %llu failed cleanly (%llu of them register reads of a card going away)\n",
              static_cast<unsigned long long>(good), static_cast<unsigned long long>(failed),
              static_cast<unsigned long long>(failedReads));
}

}  // namespace
