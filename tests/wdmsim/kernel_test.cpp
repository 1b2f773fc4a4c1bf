// wdmsim's own semantics that the driver relies on: timers, DPCs, waits on
// the simulated clock, IRQL checks, request completion and the verifier.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "wdmsim/kernel.h"

namespace {

using namespace std::chrono_literals;

LARGE_INTEGER Relative100ns(LONGLONG units) {
  LARGE_INTEGER li;
  li.QuadPart = -units;
  return li;
}

// Spins (without sleeping) until `done` or a generous real-time limit.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

class KernelTest : public ::testing::Test {
 protected:
  void Boot(wdmsim::Options options = {}) {
    kernel.reset();
    kernel = std::make_unique<wdmsim::Kernel>(options);
  }
  void SetUp() override { Boot(); }
  void TearDown() override {
    if (!expectBugCheck) {
      EXPECT_EQ(kernel->BugCheckReport(), "");
      EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
    }
    kernel.reset();
  }
  std::unique_ptr<wdmsim::Kernel> kernel;
  bool expectBugCheck = false;
};

struct Counter {
  std::atomic<int> runs{0};
  std::atomic<KIRQL> irql{0};
  KEVENT event;
};

void NTAPI CountingDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<Counter*>(context);
  c->irql = KeGetCurrentIrql();
  c->runs++;
  KeSetEvent(&c->event, IO_NO_INCREMENT, FALSE);
}

TEST_F(KernelTest, TimerRunsItsDpcAtDispatchLevelAndReArmingMovesIt) {
  Counter c;
  KeInitializeEvent(&c.event, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountingDpc, &c);

  kernel->InOneCall([&] {  // the clock cannot reach the first due time in between
    EXPECT_FALSE(KeSetTimer(&timer, Relative100ns(10LL * 10000000), &dpc));  // 10 s
    EXPECT_TRUE(KeSetTimer(&timer, Relative100ns(20000), &dpc));             // re-armed: 2 ms
  });
  LARGE_INTEGER limit = Relative100ns(2LL * 10000000);
  ASSERT_EQ(KeWaitForSingleObject(&c.event, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
  EXPECT_EQ(c.runs, 1);
  EXPECT_EQ(c.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));  // already expired
}

TEST_F(KernelTest, CancelledTimerNeverQueuesItsDpc) {
  Counter c;
  KeInitializeEvent(&c.event, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountingDpc, &c);
  kernel->InOneCall([&] {  // the clock cannot reach the due time in between
    KeSetTimer(&timer, Relative100ns(50000), &dpc);  // 5 ms
    EXPECT_TRUE(KeCancelTimer(&timer));
  });
  LARGE_INTEGER wait = Relative100ns(200000);  // 20 ms
  EXPECT_EQ(KeWaitForSingleObject(&c.event, Executive, KernelMode, FALSE, &wait), STATUS_TIMEOUT);
  EXPECT_EQ(c.runs, 0);
}

struct Blocker {
  std::atomic<bool> running{false};
  std::atomic<bool> release{false};
};

void NTAPI BlockingDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* b = static_cast<Blocker*>(context);
  b->running = true;
  while (!b->release) std::this_thread::yield();
}

// A DPC object sits in a queue at most once; removing it means it never runs.
TEST_F(KernelTest, DpcIsQueuedOnceAndCanBeRemoved) {
  Blocker blocker;
  KDPC first, second;
  Counter c;
  KeInitializeEvent(&c.event, NotificationEvent, FALSE);
  KeInitializeDpc(&first, BlockingDpc, &blocker);
  KeInitializeDpc(&second, CountingDpc, &c);

  ASSERT_TRUE(KeInsertQueueDpc(&first, nullptr, nullptr));
  ASSERT_TRUE(WaitFor([&] { return blocker.running.load(); }));
  // The same processor's queue is busy, so `second` waits behind `first`.
  EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&second, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&second));
  EXPECT_FALSE(KeRemoveQueueDpc(&second));
  EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
  blocker.release = true;
  KeFlushQueuedDpcs();
  EXPECT_EQ(c.runs, 1);
}

TEST_F(KernelTest, WaitTimesOutOnTheSpedUpClock) {
  Boot({.speedup = 1000.0, .clock = wdmsim::ClockMode::Realtime});  // 5 simulated seconds take 5 ms
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  auto realStart = std::chrono::steady_clock::now();
  LARGE_INTEGER timeout = Relative100ns(5LL * 10000000);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  KeQuerySystemTime(&after);
  EXPECT_GE(after.QuadPart - before.QuadPart, 5LL * 10000000);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, 2s);

  LARGE_INTEGER delay = Relative100ns(10LL * 10000000);  // 10 s
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeQuerySystemTime(&before);
  EXPECT_GE(before.QuadPart - after.QuadPart, 10LL * 10000000);
}

TEST_F(KernelTest, SynchronizationEventWakesOneWaiterAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(KernelTest, BlockingWaitAtDispatchLevelIsABugCheck) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  LARGE_INTEGER oneMs = Relative100ns(10000);
  expectBugCheck = true;
  EXPECT_THROW(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneMs), wdmsim::BugCheck);
  KeLowerIrql(old);
  EXPECT_NE(kernel->BugCheckReport().find("KeWaitForSingleObject called at IRQL 2"), std::string::npos);
}

TEST_F(KernelTest, SettingAnEventWithWaitAtDispatchLevelIsABugCheck) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);  // without Wait, fine at DISPATCH_LEVEL
  expectBugCheck = true;
  EXPECT_THROW(KeSetEvent(&event, IO_NO_INCREMENT, TRUE), wdmsim::BugCheck);
  KeLowerIrql(old);
  EXPECT_NE(kernel->BugCheckReport().find("KeSetEvent with Wait TRUE called at IRQL 2 (allowed up to 1)"),
            std::string::npos);
}

TEST_F(KernelTest, RaisingToALowerIrqlIsABugCheck) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  expectBugCheck = true;
  EXPECT_THROW(KeRaiseIrql(APC_LEVEL, &old), wdmsim::BugCheck);
  KeLowerIrql(PASSIVE_LEVEL);
}

// ---------------------------------------------------------------------------
// A two-driver stack built in the test: an upper device that passes requests
// down with a completion routine, and a lower one that completes them.
// ---------------------------------------------------------------------------
struct StackTrace {
  std::vector<std::string> events;
  bool upperReclaims = false;   // completion routine returns MORE_PROCESSING_REQUIRED
  bool lowerPends = false;      // lower marks pending and completes from a DPC
  PIRP pendingIrp = nullptr;
  KDPC completeLater;
};
StackTrace* gTrace = nullptr;

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  gTrace->events.push_back(std::string("completion routine, device ") + (device == context ? "upper" : "other") +
                           (irp->PendingReturned ? ", pending" : ""));
  if (gTrace->upperReclaims) return STATUS_MORE_PROCESSING_REQUIRED;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT gLower = nullptr;

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
  gTrace->events.push_back("upper dispatch");
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, UpperCompletion, device, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(gLower, irp);
  if (gTrace->upperReclaims) {
    gTrace->events.push_back("upper completes again");
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  }
  return status;
}

void NTAPI CompleteFromDpc(PKDPC, PVOID, PVOID, PVOID) {
  gTrace->pendingIrp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(gTrace->pendingIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  gTrace->events.push_back("lower dispatch");
  if (gTrace->lowerPends) {
    IoMarkIrpPending(irp);
    gTrace->pendingIrp = irp;
    KeInsertQueueDpc(&gTrace->completeLater, nullptr, nullptr);
    return STATUS_PENDING;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

class IrpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    gTrace = &trace;
    KeInitializeDpc(&trace.completeLater, CompleteFromDpc, nullptr);
    for (auto* d : {&upperDriver, &lowerDriver}) {
      d->DriverExtension = nullptr;
    }
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
      upperDriver.MajorFunction[i] = UpperDispatch;
      lowerDriver.MajorFunction[i] = LowerDispatch;
    }
    ASSERT_EQ(IoCreateDevice(&lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(&upperDriver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    gLower = IoAttachDeviceToDeviceStack(upper, lower);
    ASSERT_EQ(gLower, lower);
  }
  void TearDown() override {
    if (!expectBugCheck) {
      IoDetachDevice(lower);
      IoDeleteDevice(upper);
      IoDeleteDevice(lower);
    }
    KernelTest::TearDown();
  }
  StackTrace trace;
  DRIVER_OBJECT upperDriver{}, lowerDriver{};
  PDEVICE_OBJECT upper = nullptr, lower = nullptr;
};

TEST_F(IrpTest, CompletionRoutineRunsOnTheWayUp) {
  auto result = kernel->SendRequest(lower, IRP_MJ_READ, 0);  // enters at the top: upper
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"upper dispatch", "lower dispatch",
                                                    "completion routine, device upper"}));
}

TEST_F(IrpTest, MoreProcessingRequiredHandsTheRequestBack) {
  trace.upperReclaims = true;
  auto result = kernel->SendRequest(upper, IRP_MJ_READ, 0);
  EXPECT_EQ(result.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(trace.events, (std::vector<std::string>{"upper dispatch", "lower dispatch",
                                                    "completion routine, device upper", "upper completes again"}));
}

TEST_F(IrpTest, PendingIsPropagatedToTheCompletionRoutine) {
  trace.lowerPends = true;
  auto result = kernel->SendRequest(upper, IRP_MJ_READ, 0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(trace.events.size(), 3u);
  EXPECT_EQ(trace.events[2], "completion routine, device upper, pending");
}

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReturnWithoutCompleting(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }

TEST_F(IrpTest, VerifierCatchesRequestsCompletedTwiceOrNever) {
  upperDriver.MajorFunction[IRP_MJ_WRITE] = ReturnWithoutCompleting;
  kernel->SendRequest(upper, IRP_MJ_WRITE, 0);
  ASSERT_EQ(kernel->Findings().size(), 1u);
  EXPECT_NE(kernel->Findings()[0].find("without completing"), std::string::npos);
  kernel->ClearFindings();

  upperDriver.MajorFunction[IRP_MJ_WRITE] = CompleteTwice;
  expectBugCheck = true;
  EXPECT_THROW(kernel->SendRequest(upper, IRP_MJ_WRITE, 0), wdmsim::BugCheck);
  EXPECT_NE(kernel->BugCheckReport().find("STOP: 0x00000044"), std::string::npos);
}

TEST_F(IrpTest, DeletingADeviceWithAnArmedTimerInsideIsReported) {
  // The device object's reserved DPC storage is 64 bytes: room for a KTIMER.
  KTIMER* armed = reinterpret_cast<KTIMER*>(&upper->Dpc);
  KeInitializeTimer(armed);
  // One call: between two calls of this thread the clock would run on to
  // the timer's due time.
  kernel->DefaultProcess().RunInContext([&] {
    KeSetTimer(armed, Relative100ns(10LL * 10000000), nullptr);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
  });
  auto findings = kernel->Findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("still armed"), std::string::npos);
  kernel->ClearFindings();
  IoDeleteDevice(lower);
  expectBugCheck = true;  // the devices are gone already; skip the fixture's teardown
  EXPECT_EQ(kernel->BugCheckReport(), "");
}

}  // namespace
