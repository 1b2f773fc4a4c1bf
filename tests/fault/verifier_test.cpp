// The verifier checks added for the hardening work, each shown to fire on a
// misbehaving test-side driver and to stay quiet for a well-behaved one:
// completion with a value that is no NTSTATUS, object references a driver
// still holds when it unloads, and fault injection of MmProbeAndLockPages
// with the per-routine call counts the systematic fault tests rely on.
#include <gtest/gtest.h>

#include <memory>

#include "guard.h"
#include "wdmsim/kernel.h"

namespace {

// The test-side driver's behaviour, set by each test.
struct Behaviour {
  NTSTATUS completeWith = STATUS_SUCCESS;
  bool keepEventReference = false;
  bool lockUserBuffer = false;
  NTSTATUS lockStatus = STATUS_SUCCESS;  // what MmProbeAndLockPages raised, if anything
  PVOID event = nullptr;
};
Behaviour* gBehaviour = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI OpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

struct LockContext {
  PMDL mdl;
};
VOID LockIt(PVOID context) { MmProbeAndLockPages(static_cast<LockContext*>(context)->mdl, UserMode, IoWriteAccess); }

// The control routine: the input buffer carries an event handle and a user
// address; what it does with them is up to the test.
NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp) {
  auto* in = static_cast<uint64_t*>(irp->AssociatedIrp.SystemBuffer);
  if (gBehaviour->keepEventReference) {
    PVOID object = nullptr;
    NTSTATUS s = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(in[0]), EVENT_MODIFY_STATE, *ExEventObjectType,
                                           UserMode, &object, nullptr);
    if (!NT_SUCCESS(s)) return Complete(irp, s);
    gBehaviour->event = object;  // kept: the leak under test unless released
  }
  if (gBehaviour->lockUserBuffer) {
    LockContext lock{IoAllocateMdl(reinterpret_cast<PVOID>(in[1]), 4096, FALSE, FALSE, nullptr)};
    gBehaviour->lockStatus = RunGuarded(LockIt, &lock) ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    if (NT_SUCCESS(gBehaviour->lockStatus)) MmUnlockPages(lock.mdl);
    IoFreeMdl(lock.mdl);
    return Complete(irp, gBehaviour->lockStatus);
  }
  return Complete(irp, gBehaviour->completeWith);
}

PDEVICE_OBJECT gDevice = nullptr;

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = OpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = OpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = OpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\VerifierProbe");
  RtlInitUnicodeString(&link, u"\\DosDevices\\VerifierProbe");
  NTSTATUS s = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &gDevice);
  if (!NT_SUCCESS(s)) return s;
  gDevice->Flags |= DO_BUFFERED_IO;
  gDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

class VerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gBehaviour = &behaviour;
    kernel = std::make_unique<wdmsim::Kernel>(wdmsim::Options{});
    image = &kernel->LoadBuiltInDriver("verifier_probe", Entry);
    handle = process().CreateFileW(u"\\\\.\\VerifierProbe");
    ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  }
  // Deletes the probe's device and unloads it; returns the findings.
  std::vector<std::string> Unload() {
    process().CloseHandle(handle);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\VerifierProbe");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(gDevice);
    kernel->UnloadDriver(*image);
    return kernel->Findings();
  }
  void TearDown() override {
    EXPECT_EQ(kernel->BugCheckReport(), "");
    kernel.reset();
    gBehaviour = nullptr;
  }
  wdmsim::Process& process() { return kernel->DefaultProcess(); }
  bool Call(uint64_t eventHandle = 0, uint64_t address = 0) {
    uint64_t in[2] = {eventHandle, address};
    uint32_t returned = 0;
    return process().DeviceIoControl(handle, 0x00222000, in, sizeof(in), nullptr, 0, &returned);
  }

  Behaviour behaviour;
  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::DriverImage* image = nullptr;
  HANDLE handle = nullptr;
};

TEST_F(VerifierTest, CompletionWithAValueThatIsNoStatusIsReported) {
  // A real error status, a warning and a customer-defined code are fine.
  for (NTSTATUS good : {NTSTATUS(0xC000009A), NTSTATUS(0x80000005), NTSTATUS(0xE0000001)}) {
    behaviour.completeWith = good;
    Call();
  }
  EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
  // -1 (an uninitialised status) has the reserved bit set.
  behaviour.completeWith = NTSTATUS(0xFFFFFFFF);
  EXPECT_FALSE(Call());
  auto findings = Unload();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("IRP_MJ_DEVICE_CONTROL: completed with 0xFFFFFFFF, which is not a valid NTSTATUS"),
            std::string::npos)
      << findings[0];
}

// A driver that never withdraws the timer resolution it asked for leaves the
// system's clock interrupt fast after it is gone.
TEST_F(VerifierTest, TimerResolutionStillRequestedAtUnloadIsReported) {
  ExSetTimerResolution(10000, TRUE);  // the built-in probe's request (test code counts as the probe)
  auto findings = Unload();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0], "verifier_probe: unloaded with its ExSetTimerResolution request still held (SetResolution "
                         "FALSE missing)");
  ExSetTimerResolution(0, FALSE);
}

TEST_F(VerifierTest, EventReferenceStillHeldAtUnloadIsReported) {
  behaviour.keepEventReference = true;
  HANDLE event = process().CreateEventW(false, false);
  ASSERT_TRUE(Call(reinterpret_cast<uint64_t>(event)));
  process().CloseHandle(event);  // the driver's reference keeps the event alive
  auto findings = Unload();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("verifier_probe: unloaded with 1 reference(s) to event object"), std::string::npos)
      << findings[0];
  ObDereferenceObject(behaviour.event);  // frees it: no memory leak under the sanitizers
}

TEST_F(VerifierTest, EventReferenceReleasedBeforeUnloadIsNotReported) {
  behaviour.keepEventReference = true;
  HANDLE event = process().CreateEventW(false, false);
  ASSERT_TRUE(Call(reinterpret_cast<uint64_t>(event)));
  ASSERT_TRUE(Call(reinterpret_cast<uint64_t>(event)));  // two references
  ObDereferenceObject(behaviour.event);
  ObDereferenceObject(behaviour.event);
  process().CloseHandle(event);
  EXPECT_EQ(Unload(), std::vector<std::string>{});
}

TEST_F(VerifierTest, InjectedLockFailureRaisesInsufficientResourcesAndIsCounted) {
  behaviour.lockUserBuffer = true;
  void* user = process().VirtualAlloc(4096);
  const auto address = reinterpret_cast<uint64_t>(user);
  ASSERT_TRUE(Call(0, address));
  kernel->ResetCallCounts();
  kernel->FailNthCall("MmProbeAndLockPages", 2);
  EXPECT_TRUE(Call(0, address));
  EXPECT_FALSE(Call(0, address));  // the second call from now fails
  EXPECT_EQ(process().GetLastError(), wdmsim::ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_TRUE(Call(0, address));   // and only that one
  EXPECT_EQ(kernel->CallCount("MmProbeAndLockPages"), 3u);  // failed calls count too
  EXPECT_EQ(kernel->CallCount("IoAllocateMdl"), 3u);
  EXPECT_EQ(kernel->CallCount("IoConnectInterrupt"), 0u);
  EXPECT_EQ(Unload(), std::vector<std::string>{});
}

}  // namespace
