// The PnP and power managers' sequences, seen from a small function driver
// built into the test: which requests reach the stack, in which order, at
// which IRQL, with which parameters, and what the kernel does with the
// answers.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "pnp/pdo.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"

namespace {

using wdmsim::Kernel;
using wdmsim::ResourceLists;
using wdmsim::Slot;

// ---------------------------------------------------------------------------
// The test's function driver
// ---------------------------------------------------------------------------
struct Behaviour {
  bool failStart = false;
  bool refuseQueryStop = false;
  bool refuseQueryRemove = false;
  bool pagable = true;           // DO_POWER_PAGABLE on the function device
  bool removeDetaches = true;    // a remove handler that forgets IoDetachDevice when false
  bool policyOwner = true;       // asks for device power requests; only passes system ones down when false
  bool tickInPower = false;      // raises and restores the timer resolution inside its power dispatch
};

struct SeenList {
  bool present = false;
  ULONG fullCount = 0;
  INTERFACE_TYPE interfaceType = InterfaceTypeUndefined;
  ULONG busNumber = 0;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials;
};

struct Seen {
  std::mutex lock;
  std::vector<std::string> events;  // "start", "set-power S3 sleep", ...
  std::vector<KIRQL> pnpIrqls;
  std::vector<KIRQL> powerIrqls;
  int addDeviceCalls = 0;
  SeenList raw, translated;  // of the last start request
  SYSTEM_POWER_STATE waitWakeState{};
};

Behaviour gBehaviour;
Seen* gSeen = nullptr;

struct FdoExtension {
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
};

FdoExtension* Ext(PDEVICE_OBJECT device) { return static_cast<FdoExtension*>(device->DeviceExtension); }

void Record(const std::string& event, std::vector<KIRQL> Seen::*irqls) {
  std::lock_guard lock(gSeen->lock);
  gSeen->events.push_back(event);
  (gSeen->*irqls).push_back(KeGetCurrentIrql());
}

SeenList Copy(PCM_RESOURCE_LIST list) {
  SeenList seen;
  if (list == nullptr) return seen;
  seen.present = true;
  seen.fullCount = list->Count;
  seen.interfaceType = list->List[0].InterfaceType;
  seen.busNumber = list->List[0].BusNumber;
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  seen.partials.assign(partial.PartialDescriptors, partial.PartialDescriptors + partial.Count);
  return seen;
}

std::string PnpName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "start";
    case IRP_MN_QUERY_STOP_DEVICE: return "query-stop";
    case IRP_MN_STOP_DEVICE: return "stop";
    case IRP_MN_CANCEL_STOP_DEVICE: return "cancel-stop";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "query-remove";
    case IRP_MN_REMOVE_DEVICE: return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "cancel-remove";
    case IRP_MN_SURPRISE_REMOVAL: return "surprise-removal";
    default: return "pnp " + std::to_string(minor);
  }
}

std::string PowerEvent(PIO_STACK_LOCATION stack) {
  const auto& p = stack->Parameters.Power;
  auto state = [&] {
    return p.Type == SystemPowerState ? "S" + std::to_string(p.State.SystemState - PowerSystemWorking)
                                      : "D" + std::to_string(p.State.DeviceState - PowerDeviceD0);
  };
  auto action = [&]() -> std::string {
    switch (p.ShutdownType) {
      case PowerActionSleep: return " sleep";
      case PowerActionShutdown: return " shutdown";
      default: return "";
    }
  };
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER: return "set-power " + state() + action();
    case IRP_MN_QUERY_POWER: return "query-power " + state() + action();
    case IRP_MN_WAIT_WAKE: return "wait-wake";
    default: return "power " + std::to_string(stack->MinorFunction);
  }
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and takes it back once the lower drivers are done.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS NTAPI TestPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Record(PnpName(stack->MinorFunction), &Seen::pnpIrqls);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      {
        std::lock_guard lock(gSeen->lock);
        gSeen->raw = Copy(stack->Parameters.StartDevice.AllocatedResources);
        gSeen->translated = Copy(stack->Parameters.StartDevice.AllocatedResourcesTranslated);
      }
      NTSTATUS status = ForwardAndWait(Ext(device)->lower, irp);
      if (NT_SUCCESS(status) && gBehaviour.failStart) status = STATUS_INSUFFICIENT_RESOURCES;
      return CompleteWith(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
      if (gBehaviour.refuseQueryStop) return CompleteWith(irp, STATUS_UNSUCCESSFUL);
      return PassDown(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (gBehaviour.refuseQueryRemove) return CompleteWith(irp, STATUS_DEVICE_BUSY);
      return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
      PDEVICE_OBJECT lower = Ext(device)->lower;
      NTSTATUS status = PassDown(device, irp);
      if (gBehaviour.removeDetaches) IoDetachDevice(lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      return PassDown(device, irp);
  }
}

// A power policy owner: once the bus driver has completed a system
// set-power request, the device request that matches (D0 or D3) is asked
// for, and the system request completes with it.
VOID NTAPI DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  PIRP systemIrp = static_cast<PIRP>(context);
  systemIrp->IoStatus.Status = status->Status;
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemRequestDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  POWER_STATE state;
  state.DeviceState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState == PowerSystemWorking
                          ? PowerDeviceD0
                          : PowerDeviceD3;
  if (!NT_SUCCESS(PoRequestPowerIrp(Ext(device)->pdo, IRP_MN_SET_POWER, state, DeviceRequestDone, irp, nullptr))) {
    return STATUS_CONTINUE_COMPLETION;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI TestPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Record(PowerEvent(stack), &Seen::powerIrqls);
  if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
    std::lock_guard lock(gSeen->lock);
    gSeen->waitWakeState = stack->Parameters.WaitWake.PowerState;
  }
  if (gBehaviour.tickInPower) ExSetTimerResolution(ExSetTimerResolution(10000, TRUE), FALSE);
  if (gBehaviour.policyOwner && stack->MinorFunction == IRP_MN_SET_POWER &&
      stack->Parameters.Power.Type == SystemPowerState) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemRequestDone, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(Ext(device)->lower, irp);
    return STATUS_PENDING;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS NTAPI TestCreateClose(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  int n;
  {
    std::lock_guard lock(gSeen->lock);
    n = gSeen->addDeviceCalls++;
  }
  // Named, so that a test can open a handle on the stack.
  std::u16string name = u"\\Device\\PnpTest" + wdmsim::Widen(std::to_string(n));
  UNICODE_STRING nameString{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                            reinterpret_cast<PWSTR>(name.data())};
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), &nameString, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  Ext(fdo)->pdo = pdo;
  if (gBehaviour.pagable) {
    fdo->Flags |= DO_POWER_PAGABLE;
  } else {
    fdo->Flags &= ~DO_POWER_PAGABLE;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = TestPnp;
  driver->MajorFunction[IRP_MJ_POWER] = TestPower;
  driver->MajorFunction[IRP_MJ_CREATE] = TestCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = TestCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = TestCreateClose;
  driver->DriverExtension->AddDevice = TestAddDevice;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Fixture
// ---------------------------------------------------------------------------
CM_PARTIAL_RESOURCE_DESCRIPTOR Memory(uint64_t start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
  d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(start);
  d.u.Memory.Length = length;
  return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt(ULONG level, ULONG vector) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = CmResourceShareShared;
  d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  d.u.Interrupt.Level = level;
  d.u.Interrupt.Vector = vector;
  d.u.Interrupt.Affinity = 1;
  return d;
}

bool SameDescriptors(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& a,
                     const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR)) == 0);
}

using Events = std::vector<std::string>;

class PnpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gBehaviour = Behaviour{};
    gSeen = &seen;
    kernel = std::make_unique<Kernel>();
    driver = &kernel->LoadBuiltInDriver("PnpTest", TestDriverEntry);
  }
  void TearDown() override {
    EXPECT_EQ(kernel->BugCheckReport(), "");
    EXPECT_EQ(kernel->Findings(), expectedFindings);
    kernel.reset();
    gSeen = nullptr;
  }

  // A card whose stack is started, with the events so far forgotten.
  Slot& StartedCard() {
    Slot* slot = nullptr;
    EXPECT_EQ(card::AddAndStartCard(*kernel, *driver, &slot), STATUS_SUCCESS);
    Forget();
    return *slot;
  }
  Events Take() {
    std::lock_guard lock(seen.lock);
    Events out = std::move(seen.events);
    seen.events.clear();
    return out;
  }
  void Forget() {
    Take();
    std::lock_guard lock(seen.lock);
    seen.pnpIrqls.clear();
    seen.powerIrqls.clear();
  }
  static wdmsim::pnp::PdoExtension& Bus(const Slot& slot) {
    return *static_cast<wdmsim::pnp::PdoExtension*>(slot.pdo->DeviceExtension);
  }

  Seen seen;
  std::unique_ptr<Kernel> kernel;
  wdmsim::DriverImage* driver = nullptr;
  std::vector<std::string> expectedFindings;
};

// ---------------------------------------------------------------------------
// Start and its resource lists
// ---------------------------------------------------------------------------
TEST_F(PnpTest, StartCarriesOnePciFullDescriptorPerList) {
  Slot& slot = card::PlugCard(*kernel, *driver);
  ResourceLists lists;
  lists.raw = {Memory(0xF0000000, 0x20000), Interrupt(11, 11)};
  lists.translated = {Memory(0xF0000000, 0x20000), Interrupt(0x5, 0x71)};
  EXPECT_EQ(kernel->StartCard(slot, lists), STATUS_SUCCESS);
  EXPECT_TRUE(slot.started);
  EXPECT_TRUE(Bus(slot).started);
  EXPECT_EQ(Take(), Events{"start"});
  for (const SeenList* list : {&seen.raw, &seen.translated}) {
    EXPECT_TRUE(list->present);
    EXPECT_EQ(list->fullCount, 1u);
    EXPECT_EQ(list->interfaceType, PCIBus);
    EXPECT_EQ(list->busNumber, 0u);
  }
  EXPECT_TRUE(SameDescriptors(seen.raw.partials, lists.raw));
  EXPECT_TRUE(SameDescriptors(seen.translated.partials, lists.translated));
}

TEST_F(PnpTest, AbsentResourceListsArriveAsNull) {
  Slot& slot = card::PlugCard(*kernel, *driver);
  ResourceLists none;
  none.absent = true;
  EXPECT_EQ(kernel->StartCard(slot, none), STATUS_SUCCESS);
  EXPECT_FALSE(seen.raw.present);
  EXPECT_FALSE(seen.translated.present);
}

TEST_F(PnpTest, StartWithoutListsUsesTheBusDriversResources) {
  Slot& slot = card::PlugCard(*kernel, *driver);
  EXPECT_EQ(kernel->StartCard(slot), STATUS_SUCCESS);
  ResourceLists expected = kernel->DefaultResources(slot);
  EXPECT_TRUE(seen.raw.present);
  EXPECT_TRUE(SameDescriptors(seen.raw.partials, expected.raw));
  EXPECT_TRUE(SameDescriptors(seen.translated.partials, expected.translated));
}

TEST_F(PnpTest, FailedStartIsFollowedByRemoval) {
  gBehaviour.failStart = true;
  Slot* slot = nullptr;
  EXPECT_EQ(card::AddAndStartCard(*kernel, *driver, &slot), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Take(), (Events{"start", "remove"}));
  EXPECT_FALSE(slot->started);
  EXPECT_EQ(slot->Fdo(), nullptr);
  ASSERT_NE(slot->pdo, nullptr);  // the card is still on the bus
  EXPECT_EQ(Bus(*slot).minorsSeen, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
  // Nothing left to start or power.
  EXPECT_EQ(kernel->StartCard(*slot), STATUS_NO_SUCH_DEVICE);
  kernel->SleepAndResume();
  EXPECT_EQ(Take(), Events{});
}

TEST_F(PnpTest, StartingAStartedStackIsRefusedWithoutARequest) {
  Slot& slot = StartedCard();
  EXPECT_EQ(kernel->StartCard(slot), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Take(), Events{});
}

// ---------------------------------------------------------------------------
// Stop: rebalance and refused queries
// ---------------------------------------------------------------------------
TEST_F(PnpTest, RebalanceStopsThenStartsWithTheNewResources) {
  Slot& slot = StartedCard();
  ResourceLists moved;
  moved.raw = {Memory(0xE0000000, 0x20000)};
  moved.translated = {Memory(0xE0000000, 0x20000)};
  EXPECT_EQ(kernel->Rebalance(slot, moved), STATUS_SUCCESS);
  EXPECT_EQ(Take(), (Events{"query-stop", "stop", "start"}));
  EXPECT_TRUE(slot.started);
  EXPECT_TRUE(SameDescriptors(seen.raw.partials, moved.raw));
  EXPECT_EQ(Bus(slot).minorsSeen.back(), IRP_MN_START_DEVICE);
}

TEST_F(PnpTest, RefusedQueryStopIsCancelledAndTheStackStaysStarted) {
  gBehaviour.refuseQueryStop = true;
  Slot& slot = StartedCard();
  EXPECT_EQ(kernel->Rebalance(slot), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Take(), (Events{"query-stop", "cancel-stop"}));
  EXPECT_TRUE(slot.started);
  EXPECT_EQ(kernel->QueryStopThenCancel(slot), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Take(), (Events{"query-stop", "cancel-stop"}));

  gBehaviour.refuseQueryStop = false;
  EXPECT_EQ(kernel->QueryStopThenCancel(slot), STATUS_SUCCESS);
  EXPECT_EQ(Take(), (Events{"query-stop", "cancel-stop"}));  // cancelled even when accepted
  EXPECT_TRUE(slot.started);
}

TEST_F(PnpTest, RestartFailingAfterRebalanceRemovesTheStack) {
  Slot& slot = StartedCard();
  gBehaviour.failStart = true;
  EXPECT_EQ(kernel->Rebalance(slot), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Take(), (Events{"query-stop", "stop", "start", "remove"}));
  EXPECT_EQ(slot.Fdo(), nullptr);
}

// ---------------------------------------------------------------------------
// Removal: query-remove, disable and enable, surprise removal
// ---------------------------------------------------------------------------
TEST_F(PnpTest, RefusedQueryRemoveIsCancelledAndAnAcceptedOneRemoves) {
  gBehaviour.refuseQueryRemove = true;
  Slot& slot = StartedCard();
  EXPECT_EQ(kernel->QueryRemoveAndRemove(slot), STATUS_DEVICE_BUSY);
  EXPECT_EQ(Take(), (Events{"query-remove", "cancel-remove"}));
  EXPECT_NE(slot.Fdo(), nullptr);
  EXPECT_EQ(kernel->DisableCard(slot), STATUS_DEVICE_BUSY);
  EXPECT_EQ(Take(), (Events{"query-remove", "cancel-remove"}));

  gBehaviour.refuseQueryRemove = false;
  EXPECT_EQ(kernel->QueryRemoveThenCancel(slot), STATUS_SUCCESS);
  EXPECT_EQ(Take(), (Events{"query-remove", "cancel-remove"}));
  EXPECT_TRUE(slot.started);
  EXPECT_EQ(kernel->QueryRemoveAndRemove(slot), STATUS_SUCCESS);
  EXPECT_EQ(Take(), (Events{"query-remove", "remove"}));
  EXPECT_EQ(slot.Fdo(), nullptr);
  EXPECT_FALSE(slot.started);
}

TEST_F(PnpTest, DisableKeepsTheCardAndEnableRunsAddDeviceAgain) {
  Slot& slot = StartedCard();
  PDEVICE_OBJECT pdo = slot.pdo;
  EXPECT_EQ(kernel->DisableCard(slot), STATUS_SUCCESS);
  EXPECT_EQ(Take(), (Events{"query-remove", "remove"}));
  EXPECT_EQ(slot.pdo, pdo);
  EXPECT_EQ(slot.Fdo(), nullptr);
  EXPECT_EQ(kernel->Slots(), std::vector<Slot*>{&slot});

  EXPECT_EQ(kernel->EnableCard(slot), STATUS_SUCCESS);
  EXPECT_EQ(seen.addDeviceCalls, 2);
  EXPECT_EQ(Take(), Events{"start"});
  EXPECT_TRUE(slot.started);
  EXPECT_NE(slot.Fdo(), nullptr);
  EXPECT_EQ(kernel->EnableCard(slot), STATUS_INVALID_DEVICE_REQUEST);  // already enabled
}

TEST_F(PnpTest, OrderlyRemovalWithAHandleOpenIsVetoedBeforeAnyRequest) {
  Slot& slot = StartedCard();
  wdmsim::Process& process = kernel->DefaultProcess();
  HANDLE handle = process.CreateFileW(u"\\Device\\PnpTest0");
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernel->DisableCard(slot), STATUS_DEVICE_BUSY);
  EXPECT_EQ(kernel->QueryRemoveAndRemove(slot), STATUS_DEVICE_BUSY);
  EXPECT_EQ(Take(), Events{});
  EXPECT_TRUE(process.CloseHandle(handle));
  EXPECT_EQ(kernel->DisableCard(slot), STATUS_SUCCESS);
  EXPECT_EQ(Take(), (Events{"query-remove", "remove"}));
}

TEST_F(PnpTest, SurpriseRemovalVanishesTheCardThenRemovesTheStack) {
  Slot& slot = StartedCard();
  EXPECT_EQ(kernel->SurpriseRemove(slot), STATUS_SUCCESS);
  EXPECT_EQ(Take(), (Events{"surprise-removal", "remove"}));
  if (slot.function) {
    EXPECT_TRUE(card::CardIn(slot).GetFaults().vanished);
  }
  EXPECT_EQ(slot.pdo, nullptr);  // the card left the bus
  EXPECT_TRUE(kernel->Slots().empty());
  EXPECT_EQ(kernel->SurpriseRemove(slot), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpTest, RemoveAfterSurpriseRemovalWaitsForTheLastHandle) {
  Slot& slot = StartedCard();
  wdmsim::Process& process = kernel->DefaultProcess();
  HANDLE first = process.CreateFileW(u"\\Device\\PnpTest0");
  HANDLE second = process.CreateFileW(u"\\Device\\PnpTest0");
  ASSERT_NE(second, wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernel->SurpriseRemove(slot), STATUS_SUCCESS);
  EXPECT_EQ(Take(), Events{"surprise-removal"});
  EXPECT_FALSE(slot.started);
  // Nothing else reaches a stack that waits for its remove request.
  EXPECT_EQ(kernel->DisableCard(slot), STATUS_DELETE_PENDING);
  EXPECT_EQ(kernel->StartCard(slot), STATUS_DELETE_PENDING);
  kernel->SleepAndResume();
  EXPECT_EQ(Take(), Events{});

  EXPECT_TRUE(process.CloseHandle(first));
  EXPECT_EQ(Take(), Events{});
  EXPECT_NE(slot.pdo, nullptr);
  EXPECT_TRUE(process.CloseHandle(second));
  EXPECT_EQ(Take(), Events{"remove"});
  EXPECT_EQ(slot.pdo, nullptr);
}

TEST_F(PnpTest, RemoveThatLeavesTheDeviceAttachedIsReported) {
  gBehaviour.removeDetaches = false;
  Slot& slot = StartedCard();
  EXPECT_EQ(kernel->DisableCard(slot), STATUS_SUCCESS);
  EXPECT_EQ(slot.Fdo(), nullptr);  // the kernel let go of it so the card can be enabled again
  auto findings = kernel->Findings();
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_NE(findings[0].find("deleted while still attached"), std::string::npos) << findings[0];
  EXPECT_EQ(findings[1], "PnpTest: IRP_MN_REMOVE_DEVICE left a device attached above the bus driver's device");
  expectedFindings = findings;
}

// ---------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------
TEST_F(PnpTest, SleepAndResumeSendSystemThenDevicePowerToStartedStacks) {
  Slot& slot = StartedCard();
  Slot& unstarted = card::PlugCard(*kernel, *driver);  // never started: takes no part
  kernel->Sleep(PowerSystemSleeping3);
  EXPECT_EQ(Take(), (Events{"set-power S3 sleep", "set-power D3"}));
  EXPECT_EQ(Bus(slot).devicePowerState, PowerDeviceD3);
  EXPECT_EQ(Bus(unstarted).devicePowerState, PowerDeviceD0);
  EXPECT_THROW(kernel->Sleep(), std::logic_error);

  kernel->Resume();
  EXPECT_EQ(Take(), (Events{"set-power S0 sleep", "set-power D0"}));
  EXPECT_EQ(Bus(slot).devicePowerState, PowerDeviceD0);
  EXPECT_THROW(kernel->Resume(), std::logic_error);

  kernel->SleepAndResume(PowerSystemHibernate);
  EXPECT_EQ(Take(), (Events{"set-power S4 sleep", "set-power D3", "set-power S0 sleep", "set-power D0"}));
}

// The power manager sends system requests only. A driver that passes them
// down and asks for no device request leaves its device in D0 while the
// system sleeps, and is told so; one that changes the timer resolution
// while it handles a power request too. Behind a bus driver that pends,
// the owner's device requests still reach the bus driver.
TEST_F(PnpTest, ThePowerPolicyOwnerAsksForDeviceRequestsAndTheOthersAreFound) {
  Slot& slot = StartedCard();
  kernel->SetBusBehaviour(slot, {.pend = true});
  kernel->Sleep();
  EXPECT_EQ(Bus(slot).devicePowerState, PowerDeviceD3);
  kernel->Resume();
  EXPECT_EQ(Bus(slot).devicePowerState, PowerDeviceD0);
  EXPECT_EQ(Take(), (Events{"set-power S3 sleep", "set-power D3", "set-power S0 sleep", "set-power D0"}));

  gBehaviour.policyOwner = false;
  gBehaviour.tickInPower = true;
  kernel->SleepAndResume();
  EXPECT_EQ(Take(), (Events{"set-power S3 sleep", "set-power S0 sleep"}));
  // Raised and restored in each of the two system requests, and the
  // device left in D0 while the system slept.
  size_t tick = 0, owner = 0;
  for (const auto& f : kernel->Findings()) {
    tick += f.ends_with(": ExSetTimerResolution called while handling a power request");
    owner += f == "PnpTest: the system went to S3 with the device still in D0; its power policy owner sent no "
                  "device set-power request (PoRequestPowerIrp)";
  }
  EXPECT_EQ(tick, 4u);
  EXPECT_EQ(owner, 1u);
  EXPECT_EQ(kernel->Findings().size(), 5u);
  kernel->ClearFindings();
}

class PnpPowerIrqlTest : public PnpTest, public ::testing::WithParamInterface<bool> {};

// Plug and Play requests always come at PASSIVE_LEVEL; power requests only
// to a stack whose top device is pageable.
TEST_P(PnpPowerIrqlTest, PowerRequestsComeAtTheIrqlThePagableFlagAllows) {
  gBehaviour.pagable = GetParam();
  KIRQL expected = GetParam() ? PASSIVE_LEVEL : DISPATCH_LEVEL;
  Slot& slot = StartedCard();
  kernel->SleepAndResume();
  POWER_STATE s4;
  s4.SystemState = PowerSystemHibernate;
  EXPECT_EQ(kernel->SendPowerRequest(slot, IRP_MN_QUERY_POWER, SystemPowerState, s4), STATUS_SUCCESS);
  EXPECT_EQ(seen.powerIrqls, std::vector<KIRQL>(5, expected));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  EXPECT_EQ(kernel->Rebalance(slot), STATUS_SUCCESS);
  EXPECT_EQ(kernel->DisableCard(slot), STATUS_SUCCESS);
  EXPECT_EQ(seen.pnpIrqls, std::vector<KIRQL>(5, PASSIVE_LEVEL));
}

INSTANTIATE_TEST_SUITE_P(Pagable, PnpPowerIrqlTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Pagable" : "NotPagable"; });

TEST_F(PnpTest, SinglePowerRequestsCarryTheirParameters) {
  Slot& slot = StartedCard();
  POWER_STATE state;
  state.SystemState = PowerSystemHibernate;
  EXPECT_EQ(kernel->SendPowerRequest(slot, IRP_MN_QUERY_POWER, SystemPowerState, state), STATUS_SUCCESS);
  state.SystemState = PowerSystemShutdown;
  EXPECT_EQ(kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, SystemPowerState, state), STATUS_SUCCESS);
  state.DeviceState = PowerDeviceD2;
  EXPECT_EQ(kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, DevicePowerState, state), STATUS_SUCCESS);
  EXPECT_EQ(Bus(slot).devicePowerState, PowerDeviceD2);
  state.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(kernel->SendPowerRequest(slot, IRP_MN_WAIT_WAKE, SystemPowerState, state), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(seen.waitWakeState, PowerSystemSleeping3);
  // The shutdown's system request brought the owner's D3 request.
  EXPECT_EQ(Take(), (Events{"query-power S4 sleep", "set-power S5 shutdown", "set-power D3", "set-power D2",
                            "wait-wake"}));
}

}  // namespace
