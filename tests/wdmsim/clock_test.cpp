// The Simulated clock, seen from a small function driver built into the
// test: its delays, waits, timers, stalls and clock polls take exactly the
// simulated time Windows would give them (tick rounding included), the
// card's events run exactly when due, and none of it depends on the host's
// load or costs wall time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hal/hal.h"
#include "internal.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"

namespace {

using wdmsim::Clock;

constexpr uint64_t kUs = 1'000;
constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kSecond = 1'000'000'000;
constexpr uint64_t kTick = 15'625'000;  // the default clock tick
constexpr ULONG kRun = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What the test asks the driver to do, in one control request.
enum class Op : ULONG {
  Delay,          // KeDelayExecutionThread(value)
  WaitTimeout,    // KeWaitForSingleObject on an event nobody sets, time-out `value`
  Timer,          // KeSetTimer(value) with a DPC; ends when the DPC runs
  Periodic,       // KeSetTimerEx(value, period `extra` ms); the first three DPC runs
  Stall,          // KeStallExecutionProcessor(value us) at IRQL `extra`
  StallLocked,    // a spin lock held across a stall of `value` us, wanted by a DPC
  PollClock,      // KeQuerySystemTime until `value` (100 ns) has passed
  PollForCard,    // the same, until a card event due `extra` ns later has run
  CardEvent,      // a card event due `value` ns later; ends when it has run
  SetResolution,  // ExSetTimerResolution(value, extra)
};

struct Request {
  Op op;
  LONGLONG value;
  ULONG extra;
};

struct Reply {
  uint64_t startNs = 0;
  uint64_t endNs = 0;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG count = 0;         // clock reads (polls), DPC runs, or the resolution granted
  uint64_t marksNs[3] = {};
};

// Free reads of the clock, for measuring (KeQuerySystemTime costs 1 us).
uint64_t Now() { return wdmsim::CurrentKernel().NanosecondsSinceBoot(); }
uint64_t SinceBoot(LONGLONG systemTime) { return static_cast<uint64_t>(systemTime - Clock::kBootTime100ns) * 100; }

LARGE_INTEGER Due(LONGLONG value) {
  LARGE_INTEGER li;
  li.QuadPart = value;
  return li;
}

// ---------------------------------------------------------------------------
// The test's function driver
// ---------------------------------------------------------------------------
struct DpcRecord {
  Reply* reply;
  KEVENT done;
  ULONG wanted = 1;      // DPC runs to record before `done`
  KSPIN_LOCK* lock = nullptr;  // taken by the DPC before it records
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* r = static_cast<DpcRecord*>(context);
  if (r->lock != nullptr) KeAcquireSpinLockAtDpcLevel(r->lock);
  if (r->reply->count < 3) r->reply->marksNs[r->reply->count] = Now();
  const bool last = ++r->reply->count == r->wanted;
  if (r->lock != nullptr) KeReleaseSpinLockFromDpcLevel(r->lock);
  if (last) KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);  // the request's stack goes after this
}

void Run(const Request& q, Reply& r) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  DpcRecord record{&r, {}};
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, RecordDpc, &record);
  LARGE_INTEGER value = Due(q.value);
  r.startNs = Now();
  switch (q.op) {
    case Op::Delay: KeDelayExecutionThread(KernelMode, FALSE, &value); break;
    case Op::WaitTimeout: r.status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &value); break;
    case Op::Timer:
    case Op::Periodic:
      record.wanted = q.op == Op::Timer ? 1 : 3;
      KeSetTimerEx(&timer, value, q.op == Op::Timer ? 0 : static_cast<LONG>(q.extra), &dpc);
      KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
      KeCancelTimer(&timer);
      KeFlushQueuedDpcs();
      break;
    case Op::Stall: {
      KIRQL old;
      KeRaiseIrql(static_cast<KIRQL>(q.extra), &old);
      KeStallExecutionProcessor(static_cast<ULONG>(q.value));
      KeLowerIrql(old);
      break;
    }
    case Op::StallLocked: {
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      record.lock = &lock;
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      KeInsertQueueDpc(&dpc, nullptr, nullptr);  // spins on the lock until the stall ends
      KeStallExecutionProcessor(static_cast<ULONG>(q.value));
      KeReleaseSpinLock(&lock, old);
      KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
      break;
    }
    case Op::PollClock:
    case Op::PollForCard: {
      // Shared with the card's event, which may outlive a poll that gave up.
      auto answeredAt = std::make_shared<std::atomic<uint64_t>>(0);
      LARGE_INTEGER start, now;
      KeQuerySystemTime(&start);
      if (q.op == Op::PollForCard) wdmsim::hal::ScheduleCardEvent(q.extra, [answeredAt] { *answeredAt = Now(); });
      // As the driver's write-back read polls for the card's answer.
      do {
        KeQuerySystemTime(&now);
        ++r.count;
      } while (*answeredAt == 0 && now.QuadPart - start.QuadPart < q.value);
      r.startNs = SinceBoot(start.QuadPart);
      r.endNs = SinceBoot(now.QuadPart);
      r.marksNs[0] = *answeredAt;
      r.status = *answeredAt != 0 ? STATUS_SUCCESS : STATUS_TIMEOUT;
      return;
    }
    case Op::CardEvent:
      wdmsim::hal::ScheduleCardEvent(static_cast<uint64_t>(q.value), [&] {
        r.marksNs[0] = Now();
        KeSetEvent(&record.done, IO_NO_INCREMENT, FALSE);
      });
      KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
      break;
    case Op::SetResolution: r.count = ExSetTimerResolution(static_cast<ULONG>(q.value), q.extra != 0); break;
  }
  r.endNs = Now();
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI OnCreateOrClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI OnControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != kRun ||
      stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(Request) ||
      stack->Parameters.DeviceIoControl.OutputBufferLength != sizeof(Reply)) {
    return Complete(irp, STATUS_INVALID_PARAMETER);
  }
  Request q = *static_cast<Request*>(irp->AssociatedIrp.SystemBuffer);
  Reply r;
  Run(q, r);
  *static_cast<Reply*>(irp->AssociatedIrp.SystemBuffer) = r;
  return Complete(irp, STATUS_SUCCESS, sizeof(Reply));
}

// Query-stop takes 50 ms: two Plug and Play sequences on one stack meet at
// the stack's lock.
NTSTATUS NTAPI OnPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_STOP_DEVICE) {
    LARGE_INTEGER fifty = Due(-50LL * 10000);
    KeDelayExecutionThread(KernelMode, FALSE, &fifty);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\ClockTest");
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\ClockTest");
  RtlInitUnicodeString(&link, u"\\DosDevices\\ClockTest");
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoCreateSymbolicLink(&link, &name);
  *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClockDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = OnCreateOrClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = OnCreateOrClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = OnCreateOrClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnControl;
  driver->MajorFunction[IRP_MJ_PNP] = OnPnp;
  driver->DriverExtension->AddDevice = OnAddDevice;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Fixture
// ---------------------------------------------------------------------------
class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel = std::make_unique<wdmsim::Kernel>(wdmsim::Options{.clock = wdmsim::ClockMode::Simulated});
    slot = &card::PlugCard(*kernel, kernel->LoadBuiltInDriver("ClockTest", ClockDriverEntry));
    ASSERT_EQ(kernel->StartCard(*slot), STATUS_SUCCESS);
    handle = kernel->DefaultProcess().CreateFileW(u"\\\\.\\ClockTest");
    ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    EXPECT_TRUE(kernel->DefaultProcess().CloseHandle(handle));
    EXPECT_EQ(kernel->BugCheckReport(), "");
    EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
    kernel.reset();
  }

  Reply Ask(Op op, LONGLONG value, ULONG extra = 0) {
    Request q{op, value, extra};
    Reply r;
    uint32_t bytes = 0;
    EXPECT_TRUE(kernel->DefaultProcess().DeviceIoControl(handle, kRun, &q, sizeof(q), &r, sizeof(r), &bytes));
    EXPECT_EQ(bytes, sizeof(r));
    return r;
  }
  // Lets simulated time pass up to `offset` past the next whole second,
  // which is a boundary of every tick (15.625 ms, 1 ms, 0.5 ms).
  uint64_t MoveToNextSecondPlus(uint64_t offset) {
    const uint64_t target = (Now() / kSecond + 1) * kSecond + offset;
    kernel->RunFor(std::chrono::nanoseconds(target - Now()));
    EXPECT_EQ(Now(), target);
    return target;
  }

  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::Slot* slot = nullptr;
  HANDLE handle = nullptr;
};

LONGLONG Relative(uint64_t ns) { return -static_cast<LONGLONG>(ns / 100); }

// ---------------------------------------------------------------------------
// Tick rounding
// ---------------------------------------------------------------------------
struct TickCase {
  const char* what;
  ULONG resolution;  // ExSetTimerResolution(resolution, TRUE) first; 0: the default tick
  uint64_t offset;   // start, past a boundary of every tick
  Op op;
  uint64_t wanted;   // relative due time, ns
  uint64_t elapsed;  // what the driver sees, exactly
};

const TickCase kTickCases[] = {
    {"1 ms delay on the boundary", 0, 0, Op::Delay, 1 * kMs, kTick},
    {"1 ms delay 3 ms in", 0, 3 * kMs, Op::Delay, 1 * kMs, kTick - 3 * kMs},
    {"one tick exactly", 0, 0, Op::Delay, kTick, kTick},
    {"20 ms delay", 0, 0, Op::Delay, 20 * kMs, 2 * kTick},
    {"1 ms time-out 3 ms in", 0, 3 * kMs, Op::WaitTimeout, 1 * kMs, kTick - 3 * kMs},
    {"2 ms timer", 0, 0, Op::Timer, 2 * kMs, kTick},
    {"10 minute time-out", 0, 0, Op::WaitTimeout, 600 * kSecond, 600 * kSecond},
    {"1 ms delay at 1 ms", 10000, 0, Op::Delay, 1 * kMs, 1 * kMs},
    {"1 ms delay at 1 ms, 0.3 ms in", 10000, 300 * kUs, Op::Delay, 1 * kMs, 1700 * kUs},
    {"2.5 ms time-out at 1 ms", 10000, 0, Op::WaitTimeout, 2500 * kUs, 3 * kMs},
    {"2 ms timer at 1 ms, 0.25 ms in", 10000, 250 * kUs, Op::Timer, 2 * kMs, 2750 * kUs},
    {"1 ms delay at the finest tick, 0.2 ms in", 1, 200 * kUs, Op::Delay, 1 * kMs, 1300 * kUs},
};

TEST_F(ClockTest, DelaysTimeOutsAndTimersEndOnTheTick) {
  for (const TickCase& c : kTickCases) {
    SCOPED_TRACE(c.what);
    if (c.resolution != 0) Ask(Op::SetResolution, c.resolution, TRUE);
    const uint64_t start = MoveToNextSecondPlus(c.offset);
    Reply r = Ask(c.op, Relative(c.wanted));
    EXPECT_EQ(r.startNs, start);
    EXPECT_EQ(r.endNs - r.startNs, c.elapsed);
    if (c.op == Op::Timer) {
      EXPECT_EQ(r.marksNs[0], r.endNs);  // the DPC ran at expiry
    }
    if (c.op == Op::WaitTimeout) {
      EXPECT_EQ(r.status, STATUS_TIMEOUT);
    }
    if (c.resolution != 0) Ask(Op::SetResolution, 0, FALSE);
  }
}

TEST_F(ClockTest, UserModeTimeOutEndsOnTheTick) {
  wdmsim::Process& process = kernel->DefaultProcess();
  HANDLE event = process.CreateEventW(true, false);
  const uint64_t start = MoveToNextSecondPlus(5 * kMs);
  EXPECT_EQ(process.WaitForSingleObject(event, 1), wdmsim::WAIT_TIMEOUT);
  EXPECT_EQ(Now() - start, kTick - 5 * kMs);
  EXPECT_TRUE(process.CloseHandle(event));
}

TEST_F(ClockTest, PeriodicTimerExpiresOnTheFirstTickAfterEachPeriod) {
  const uint64_t start = MoveToNextSecondPlus(0);
  Reply r = Ask(Op::Periodic, Relative(2 * kMs), 10);
  ASSERT_EQ(r.count, 3u);
  // Due 2 ms, 15.625 + 10 ms, 31.25 + 10 ms: each on the tick at or after.
  EXPECT_EQ(r.marksNs[0] - start, kTick);
  EXPECT_EQ(r.marksNs[1] - start, 2 * kTick);
  EXPECT_EQ(r.marksNs[2] - start, 3 * kTick);
}

TEST_F(ClockTest, AbsoluteDueTimeEndsOnTheTickAtOrAfterIt) {
  const uint64_t start = MoveToNextSecondPlus(0);
  const LONGLONG due = Clock::kBootTime100ns + static_cast<LONGLONG>((start + 20 * kMs) / 100);
  Reply r = Ask(Op::Timer, due);
  EXPECT_EQ(r.endNs - start, 2 * kTick);
}

// ---------------------------------------------------------------------------
// Exact: stalls, clock polls, card events, RunFor
// ---------------------------------------------------------------------------
TEST_F(ClockTest, StallsTakeExactlyTheirLengthAtAnyIrql) {
  for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}, KIRQL{6}}) {
    for (ULONG us : {1u, 37u, 50u, 15625u}) {
      MoveToNextSecondPlus(7);  // off every boundary: nothing rounds
      Reply r = Ask(Op::Stall, us, irql);
      EXPECT_EQ(r.endNs - r.startNs, us * kUs) << us << " us at IRQL " << int(irql);
    }
  }
}

TEST_F(ClockTest, ASpinLockHeldAcrossAStallIsTakenWhenTheStallEnds) {
  Reply r = Ask(Op::StallLocked, 250);
  ASSERT_EQ(r.count, 1u);
  EXPECT_EQ(r.marksNs[0] - r.startNs, 250 * kUs);  // the DPC waited for the lock, and time moved
}

TEST_F(ClockTest, AClockPollWithNoAnswerEndsExactlyAtItsDeadline) {
  for (LONGLONG deadline : {10LL, 15LL, 200000LL}) {  // 1 us, 1.5 us, 20 ms
    Reply r = Ask(Op::PollClock, deadline);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    const uint64_t reads = (static_cast<uint64_t>(deadline) * 100 + kUs - 1) / kUs;
    EXPECT_EQ(r.count, reads) << deadline;  // one microsecond per read
    EXPECT_EQ(r.endNs - r.startNs, reads * kUs) << deadline;
  }
}

TEST_F(ClockTest, AClockPollSeesTheCardsAnswerAtTheFirstReadThatEndsAtOrAfterIt) {
  struct {
    ULONG answerNs;
    ULONG reads;
  } cases[] = {{1, 1}, {999, 1}, {1000, 1}, {2000, 2}, {2500, 3}, {19999000, 19999}};
  for (auto c : cases) {
    for (int run = 0; run < 3; ++run) {  // the same read every run
      Reply r = Ask(Op::PollForCard, 200000, c.answerNs);
      EXPECT_EQ(r.status, STATUS_SUCCESS) << c.answerNs;
      EXPECT_EQ(r.marksNs[0] - r.startNs, c.answerNs);
      EXPECT_EQ(r.count, c.reads) << c.answerNs;
    }
  }
}

TEST_F(ClockTest, CardEventsRunExactlyWhenDue) {
  for (uint64_t delay : {uint64_t{1}, uint64_t{999}, uint64_t{2047}, uint64_t{1048576}, 600 * kSecond}) {
    Reply r = Ask(Op::CardEvent, static_cast<LONGLONG>(delay));
    EXPECT_EQ(r.marksNs[0] - r.startNs, delay);
    EXPECT_EQ(r.endNs, r.marksNs[0]);  // and nothing later moved the clock
  }
}

TEST_F(ClockTest, RunForIsExactAndAnIdleMachineKeepsItsTime) {
  const uint64_t before = Now();
  kernel->RunFor(std::chrono::nanoseconds(1234567));
  EXPECT_EQ(Now() - before, 1234567u);
  // A thread that waits with no deadline, and nothing else due: the clock
  // stays however long the host takes.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::thread waiter([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
  for (int i = 0; i < 10; ++i) std::this_thread::yield();
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  waiter.join();
  EXPECT_EQ(Now() - before, 1234567u);
}

// ---------------------------------------------------------------------------
// Wall time and host load
// ---------------------------------------------------------------------------
TEST_F(ClockTest, TenMinutesOfTimeOutsTakeNoWallTime) {
  const auto wall = std::chrono::steady_clock::now();
  const uint64_t start = MoveToNextSecondPlus(0);
  Reply r = Ask(Op::WaitTimeout, Relative(600 * kSecond));
  EXPECT_EQ(r.status, STATUS_TIMEOUT);
  EXPECT_EQ(r.endNs - start, 600 * kSecond);
  EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::seconds(5));
}

TEST_F(ClockTest, HostLoadChangesNoResult) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> load;
  for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
    load.emplace_back([&] {
      while (!stop) {
      }
    });
  }
  for (const TickCase& c : kTickCases) {
    if (c.resolution != 0) continue;
    const uint64_t start = MoveToNextSecondPlus(c.offset);
    EXPECT_EQ(Ask(c.op, Relative(c.wanted)).endNs - start, c.elapsed) << c.what;
  }
  EXPECT_EQ(Ask(Op::PollForCard, 200000, 2000).count, 2u);
  Reply locked = Ask(Op::StallLocked, 100);
  EXPECT_EQ(locked.marksNs[0] - locked.startNs, 100 * kUs);
  stop = true;
  for (auto& t : load) t.join();
}

// ---------------------------------------------------------------------------
// Locks held across simulated waits, and the timer resolution
// ---------------------------------------------------------------------------
TEST_F(ClockTest, TwoPnpSequencesOnOneStackTakeTurnsWhileTimeMoves) {
  const uint64_t start = MoveToNextSecondPlus(0);
  std::thread other([&] { EXPECT_EQ(kernel->QueryStopThenCancel(*slot), STATUS_SUCCESS); });
  EXPECT_EQ(kernel->QueryStopThenCancel(*slot), STATUS_SUCCESS);
  other.join();
  // Each query-stop waits 50 ms, four ticks: one after the other, whoever
  // came first, the second ends eight ticks after the start.
  EXPECT_EQ(Now() - start, 8 * kTick);
}

TEST_F(ClockTest, TimerResolutionIsTheFinestStillRequested) {
  struct {
    ULONG desired;
    bool set;
    ULONG granted;
  } steps[] = {
      {10000, true, 10000},   // 1 ms
      {50000, true, 10000},   // coarser than what is set: no change
      {1, true, 5000},        // finer than the platform allows: its finest
      {0, false, 156250},     // withdrawn: the default again
      {200000, true, 156250}, // never coarser than the default
      {0, false, 156250},
  };
  for (auto s : steps) {
    EXPECT_EQ(Ask(Op::SetResolution, s.desired, s.set).count, s.granted) << s.desired << " " << s.set;
    EXPECT_EQ(kernel->TimerResolution100ns(), s.granted);
  }
  {
    // Another image still holds 2 ms: withdrawing ours leaves its request.
    wdmsim::KernelState& k = kernel->state();
    std::lock_guard lock(k.resolutionLock);
    k.resolutionRequests[&k] = 20000;
  }
  EXPECT_EQ(Ask(Op::SetResolution, 10000, TRUE).count, 10000u);
  EXPECT_EQ(Ask(Op::SetResolution, 0, FALSE).count, 20000u);
  const uint64_t start = MoveToNextSecondPlus(500 * kUs);
  EXPECT_EQ(Ask(Op::Delay, Relative(1 * kMs)).endNs - start, 1500 * kUs);  // on the 2 ms tick
}

TEST(ClockModeTest, OptionsAndTheEnvironmentChooseTheClock) {
  using wdmsim::ClockMode;
  const char* outer = std::getenv("WDMSIM_CLOCK");
  const std::string saved = outer != nullptr ? outer : "";
  struct {
    const char* environment;  // null: unset
    std::optional<ClockMode> option;
    std::optional<ClockMode> chosen;  // none: the kernel refuses to boot
  } cases[] = {
      {nullptr, {}, ClockMode::Simulated},
      {"simulated", {}, ClockMode::Simulated},
      {"realtime", {}, ClockMode::Realtime},
      {"simulated", ClockMode::Realtime, ClockMode::Realtime},  // the options win
      {nullptr, ClockMode::Simulated, ClockMode::Simulated},
      {"fast", {}, {}},
  };
  for (const auto& c : cases) {
    if (c.environment != nullptr) {
      setenv("WDMSIM_CLOCK", c.environment, 1);
    } else {
      unsetenv("WDMSIM_CLOCK");
    }
    wdmsim::Options options;
    options.clock = c.option;
    if (!c.chosen) {
      EXPECT_THROW(wdmsim::Kernel{options}, std::invalid_argument) << c.environment;
      continue;
    }
    wdmsim::Kernel kernel(options);
    EXPECT_EQ(kernel.clockMode(), *c.chosen) << (c.environment ? c.environment : "unset");
    if (*c.chosen == ClockMode::Simulated) {
      EXPECT_EQ(kernel.NanosecondsSinceBoot(), 0u);  // booting takes no simulated time
    }
    EXPECT_EQ(kernel.TimerResolution100ns(), 156250u);
  }
  if (outer != nullptr) {
    setenv("WDMSIM_CLOCK", saved.c_str(), 1);
  } else {
    unsetenv("WDMSIM_CLOCK");
  }
}

}  // namespace
