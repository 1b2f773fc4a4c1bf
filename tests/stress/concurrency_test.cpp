// Concurrency: both directions and register traffic at full rate from
// several threads on several cards, and the commands of one direction from
// two threads at once. Also the workload the ThreadSanitizer build runs.
//
// Nothing here sleeps: threads wait for the card's completion events with
// time-outs of simulated time. The clock is the simulated one whatever
// WDMSIM_CLOCK says: the register reads below are exact only because a
// loaded host cannot make an attempt of the driver's write-back read time
// out (time stands still while any simulated thread runs).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "card/plug.h"
#include "support/machine.h"
#include "support/session.h"

namespace {

using support::Reply;
using support::Session;

constexpr uint32_t kFrameBytes = 0x8000;

uint32_t Iterations(uint32_t normal) {
  const char* v = std::getenv("STRESS_SCALE");
  return v != nullptr ? normal * static_cast<uint32_t>(std::max(1, std::atoi(v))) : normal;
}

class ConcurrencyTest : public support::MachineTest {
 protected:
  // The simulated clock whatever WDMSIM_CLOCK says (the reads are exact).
  wdmsim::Options KernelOptions() override { return {.clock = wdmsim::ClockMode::Simulated}; }
  HANDLE Open(wdmsim::Process& p, wdmsim::Slot& slot) {
    HANDLE h = p.CreateFileW(support::Win32Name(slot));
    EXPECT_NE(h, wdmsim::INVALID_HANDLE_VALUE);
    return h;
  }
};

// Per card: a playout thread, a capture thread and two register threads,
// each with its own handle; two cards. Every capture verifies, the sink
// counts every playout good and nothing bad, and every register read
// returns exactly the value its thread last wrote there: the write-back
// reads of one card take turns, and on the simulated clock the card answers
// each attempt long before the attempt's 20 ms deadline, so no read fails
// (all ones), none takes a late answer meant for an earlier attempt (an
// earlier value), and none finds the slot cleared under it (0). Handles
// close only when every thread is done: closing any handle releases the
// buffers of every transfer in progress.
TEST_F(ConcurrencyTest, BothDirectionsAndRegistersAtFullRateOnTwoCards) {
  const uint32_t transfers = Iterations(60);
  const uint32_t registerRounds = Iterations(60);
  std::vector<wdmsim::Slot*> cards = {&StartedCard(), &StartedCard()};
  wdmsim::Process& p = kernel->DefaultProcess();

  std::mutex failLock;
  std::vector<std::string> failures;
  auto fail = [&](const std::string& what) {
    std::lock_guard lock(failLock);
    if (failures.size() < 10) failures.push_back(what);
  };
  std::atomic<uint64_t> playouts{0}, captures{0}, reads{0};
  std::latch done(static_cast<std::ptrdiff_t>(cards.size() * 4));
  std::vector<std::thread> threads;
  for (size_t c = 0; c < cards.size(); ++c) {
    wdmsim::Slot& slot = *cards[c];
    for (bool toCard : {true, false}) {
      threads.emplace_back([&, c, toCard] {
        Session s(p, Open(p, slot));
        HANDLE event = p.CreateEventW(false, false);
        s.RegisterEvent(toCard ? IOCTL_SET_EVENT_DMAREAD : IOCTL_SET_EVENT_DMAWRITE, event);
        auto* buffer = static_cast<uint8_t*>(p.VirtualAlloc(kFrameBytes));
        for (uint32_t i = 0; i < transfers; ++i) {
          std::string r = toCard ? s.Playout(buffer, kFrameBytes, i, 1 + i % 3, event)
                                 : s.Capture(buffer, kFrameBytes, 1000 + i, i % 4, event);
          if (!r.empty()) {
            fail("card " + std::to_string(c) + (toCard ? " playout " : " capture ") + std::to_string(i) + ": " + r);
          }
          ++(toCard ? playouts : captures);
        }
        done.arrive_and_wait();
        p.CloseHandle(s.handle());
        p.CloseHandle(event);
        p.VirtualFree(buffer);
      });
    }
    for (uint32_t r = 0; r < 2; ++r) {
      threads.emplace_back([&, c, r] {
        Session s(p, Open(p, slot));
        const uint32_t offset = 0x3000 + 0x100 * r;  // plain storage registers
        for (uint32_t i = 0; i < registerRounds; ++i) {
          const uint32_t value = (static_cast<uint32_t>(c) << 28) | (r << 24) | i;
          if (!s.SetRegister(offset, value).ok) fail("set-register failed");
          Reply got = s.GetRegister(offset);
          ++reads;
          if (!got.ok) {
            fail("get-register failed");
          } else if (got.block.ulData != value) {
            fail("card " + std::to_string(c) + " register " + std::to_string(offset) + " read " +
                 std::to_string(got.block.ulData) + ", wrote " + std::to_string(value));
          }
        }
        done.arrive_and_wait();
        p.CloseHandle(s.handle());
      });
    }
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_EQ(reads.load(), cards.size() * 2 * registerRounds);

  Session check(p, Open(p, *cards[0]));
  for (auto* slot : cards) {
    Session s(p, Open(p, *slot));
    EXPECT_EQ(s.GetRegister(regs::dma::kSinkFramesGood).block.ulData, transfers);
    EXPECT_EQ(s.GetRegister(regs::dma::kSinkFramesBad).block.ulData, 0u);
    p.CloseHandle(s.handle());
  }
  p.CloseHandle(check.handle());
  std::printf("[concurrency] %llu playouts, %llu captures, %llu register reads, all exact\n",
              static_cast<unsigned long long>(playouts.load()), static_cast<unsigned long long>(captures.load()),
              static_cast<unsigned long long>(reads.load()));
}

// One card, two threads per direction. First without any coordination in
// user mode: the driver's per-direction lock must keep its own state whole
// (no page unlocked twice, no buffer left locked, no request failing), with
// a fifth thread opening and closing handles (close takes both locks).
// Then with each transfer, start to finish, owned by one thread at a time,
// as the interface asks of user mode: the two threads' transfers
// interleave and none is corrupted.
TEST_F(ConcurrencyTest, SameDirectionFromTwoThreads) {
  wdmsim::Slot& slot = StartedCard();
  wdmsim::Process& p = kernel->DefaultProcess();
  const uint32_t rounds = Iterations(150);
  std::atomic<int> errors{0};
  std::vector<std::string> failures;
  std::mutex failLock;
  auto fail = [&](const std::string& what) {
    std::lock_guard lock(failLock);
    if (failures.size() < 10) failures.push_back(what);
  };

  {  // uncoordinated
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        Session s(p, Open(p, slot));
        auto* buffer = static_cast<uint8_t*>(p.VirtualAlloc(kFrameBytes));
        const bool playout = t < 2;
        for (uint32_t i = 0; i < rounds; ++i) {
          Reply start = s.Transfer(playout ? IOCTL_START_DMAREAD : IOCTL_START_DMAWRITE, buffer, kFrameBytes,
                                   playout ? regs::dma::kStartPlayout : regs::dma::kStartCapture, i);
          Reply end = s.Command(playout ? IOCTL_RELEASE_DMAREAD : IOCTL_FINISH_DMAWRITE);
          if (!start.ok || !end.ok || start.block.ulResult != 0 || end.block.ulResult != 0) ++errors;
        }
        p.CloseHandle(s.handle());
        p.VirtualFree(buffer);
      });
    }
    threads.emplace_back([&] {
      for (uint32_t i = 0; i < rounds / 4; ++i) p.CloseHandle(Open(p, slot));
    });
    for (auto& t : threads) t.join();
  }
  EXPECT_EQ(errors.load(), 0);
  auto* ext = static_cast<DEVICE_EXTENSION*>(slot.Fdo()->DeviceExtension);
  EXPECT_EQ(ext->pMdl_UserBuffer_DmaWrite, nullptr);  // the last command of each thread released its buffer
  EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});

  // The last transfer of each direction may still be in flight; it is
  // done when the poll has consumed it (no event is registered yet, so its
  // completion cannot leave a stale signal behind). The poll clears the
  // flags with interlocked exchanges on its DPC thread: read them as such.
  auto running = [&] {
    return __atomic_load_n(&ext->bRunning_DmaRead, __ATOMIC_ACQUIRE) != 0 ||
           __atomic_load_n(&ext->bRunning_DmaWrite, __ATOMIC_ACQUIRE) != 0;
  };
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       running() && std::chrono::steady_clock::now() < until;) {
    std::this_thread::yield();
  }
  {  // transfers owned by one thread at a time
    HANDLE readEvent = p.CreateEventW(false, false);
    HANDLE writeEvent = p.CreateEventW(false, false);
    Session setup(p, Open(p, slot));
    setup.RegisterEvent(IOCTL_SET_EVENT_DMAREAD, readEvent);
    setup.RegisterEvent(IOCTL_SET_EVENT_DMAWRITE, writeEvent);
    // A transfer of the first part may still be in flight: one completed
    // transfer per direction supersedes it, then the counters start afresh.
    {
      auto* buffer = static_cast<uint8_t*>(p.VirtualAlloc(kFrameBytes));
      EXPECT_EQ(setup.Playout(buffer, kFrameBytes, 1, 2, readEvent), "");
      EXPECT_EQ(setup.Capture(buffer, kFrameBytes, 1, 3, writeEvent), "");
      p.VirtualFree(buffer);
    }
    setup.SetRegister(regs::dma::kCounterReset, 0);
    std::mutex directionOwner[2];
    std::latch done(4);  // a close releases every transfer's buffer: close when all are done
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        Session s(p, Open(p, slot));
        auto* buffer = static_cast<uint8_t*>(p.VirtualAlloc(kFrameBytes));
        const bool playout = t < 2;
        for (uint32_t i = 0; i < rounds / 3; ++i) {
          const uint32_t number = static_cast<uint32_t>(t) * 10000 + i;
          std::lock_guard own(directionOwner[playout ? 0 : 1]);
          std::string r = playout ? s.Playout(buffer, kFrameBytes, number, 2, readEvent)
                                  : s.Capture(buffer, kFrameBytes, number, 3, writeEvent);
          if (!r.empty()) fail("thread " + std::to_string(t) + " transfer " + std::to_string(i) + ": " + r);
        }
        done.arrive_and_wait();
        p.CloseHandle(s.handle());
        p.VirtualFree(buffer);
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(setup.GetRegister(regs::dma::kSinkFramesGood).block.ulData, 2 * (rounds / 3));
    EXPECT_EQ(setup.GetRegister(regs::dma::kSinkFramesBad).block.ulData, 0u);
    p.CloseHandle(setup.handle());
    p.CloseHandle(readEvent);
    p.CloseHandle(writeEvent);
  }
  EXPECT_EQ(failures, std::vector<std::string>{});
}

}  // namespace
