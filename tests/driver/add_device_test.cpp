// Driver entry, add-device, open and close of a card that is not started.
#include <cstring>

#include "card/plug.h"
#include "fixture.h"

using wdmsim::Slot;

namespace {


}  // namespace

TEST_F(DriverTest, EntryPrintsBannerAndInstallsFiveDispatchRoutines) {
  EXPECT_EQ(image->DbgLines(), (std::vector<std::string>{"qm4200.sys: DriverEntry",
                                                         "qm4200.sys:  [version 1.507] DriverEntry complete",
                                                         "vantrel   SystemSize: 2"}));
  PDRIVER_OBJECT driver = image->driverObject();
  EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(driver->DriverUnload, nullptr);
  PDRIVER_DISPATCH defaultRoutine = driver->MajorFunction[IRP_MJ_READ];
  int own = 0;
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    if (driver->MajorFunction[major] != defaultRoutine) ++own;
  }
  EXPECT_EQ(own, 5);
}

TEST_F(DriverTest, FirstCardIsInstanceZeroWithLinkAndExactMessages) {
  image->ClearDbgOutput();
  Slot& slot = card::PlugCard(*kernel, *image);
  ASSERT_EQ(slot.addStatus, STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = kernel->FindDevice(u"\\Device\\Talvrex_v100-0");
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo, slot.pdo->AttachedDevice);
  EXPECT_EQ(kernel->SymbolicLinkTarget(u"\\DosDevices\\Talvrex_v100-0"), u"\\Device\\Talvrex_v100-0");
  EXPECT_EQ(kernel->SymbolicLinkTarget(u"\\??\\TALVREX_V100-0"), u"\\Device\\Talvrex_v100-0");
  EXPECT_EQ(image->DbgLines(),
            (std::vector<std::string>{"qm4200.sys: AddDevice", "Created Device (\\Device\\Talvrex_v100-0)...",
                                      "Creating Win32 symbolic link (\\DosDevices\\Talvrex_v100-0)...",
                                      "vantrel  AddDevice qm4200.sys: AddDevice ulReadWriteBackAddr : 0x12340000 ",
                                      "qm4200.sys: AddDevice complete"}));
  EXPECT_EQ(fdo->DeviceType, static_cast<ULONG>(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(fdo->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
  EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);  // power requests at PASSIVE_LEVEL
  EXPECT_EQ(fdo->StackSize, 2);
}

TEST_F(DriverTest, ExtensionStartsZeroedExceptItsFirstValues) {
  Slot& slot = card::PlugCard(*kernel, *image);
  DEVICE_EXTENSION* ext = Extension(slot);
  EXPECT_EQ(ext->pPhysicalDeviceObject, slot.pdo);
  EXPECT_EQ(ext->pDeviceObject, Fdo(slot));
  EXPECT_EQ(ext->pLowerDeviceObject, slot.pdo);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ext->wszSymbolicLinkName)),
            u"\\DosDevices\\Talvrex_v100-0");
  EXPECT_EQ(ext->bFirstReadRegister, 1u);
  EXPECT_EQ(ext->ulReadWriteBackAddr, 0x12340000u);
  EXPECT_EQ(ext->ulRegShadow_DmaRead[0], 0xFFFFFFFFu);
  EXPECT_EQ(ext->ulRegShadow_DmaWrite[0], 0xFFFFFFFFu);
  EXPECT_EQ(ext->CheckDpc.DeferredContext, ext);
  EXPECT_EQ(ext->WatchdogDpc.DeferredContext, ext);
  EXPECT_EQ(ext->MsiEventDpc.DeferredContext, ext);
  EXPECT_FALSE(ext->CheckDpcTimer.Header.Inserted);  // no timer armed

  // Everything else is zero: compare with a copy that has those values cleared.
  DEVICE_EXTENSION copy;
  std::memcpy(&copy, ext, sizeof(copy));
  copy.pPhysicalDeviceObject = copy.pDeviceObject = copy.pLowerDeviceObject = nullptr;
  std::memset(copy.wszSymbolicLinkName, 0, sizeof(copy.wszSymbolicLinkName));
  copy.bFirstReadRegister = copy.ulReadWriteBackAddr = 0;
  copy.ulRegShadow_DmaRead[0] = copy.ulRegShadow_DmaWrite[0] = 0;
  EXPECT_NE(copy.pPowerWorkItem, nullptr);
  copy.pPowerWorkItem = nullptr;
  for (auto* object : {static_cast<void*>(&copy.WatchdogTimer), static_cast<void*>(&copy.CheckDpcTimer)}) {
    std::memset(object, 0, sizeof(KTIMER));
  }
  for (auto* dpc : {&copy.WatchdogDpc, &copy.CheckDpc, &copy.MsiEventDpc}) std::memset(dpc, 0, sizeof(KDPC));
  for (auto* lock : {&copy.TransferLock_DmaRead, &copy.TransferLock_DmaWrite, &copy.WriteBackLock, &copy.MsiLock}) {
    EXPECT_EQ(lock->Header.SignalState, 1);  // free
    std::memset(lock, 0, sizeof(KEVENT));
  }
  EXPECT_EQ(copy.StopEvent.Header.SignalState, 0);  // no stop has begun
  std::memset(&copy.StopEvent, 0, sizeof(KEVENT));
  static const DEVICE_EXTENSION zero{};
  EXPECT_EQ(std::memcmp(&copy, &zero, sizeof(copy)), 0);
}

TEST_F(DriverTest, InstancesTakeTheLowestFreeNumberAndStopAtSixtyFour) {
  std::vector<Slot*> slots;
  for (int i = 0; i < 64; ++i) {
    slots.push_back(&card::PlugCard(*kernel, *image));
    ASSERT_EQ(slots.back()->addStatus, STATUS_SUCCESS) << i;
  }
  ASSERT_NE(kernel->FindDevice(u"\\Device\\Talvrex_v100-63"), nullptr);

  image->ClearDbgOutput();
  Slot& extra = card::PlugCard(*kernel, *image);
  EXPECT_EQ(extra.addStatus, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(extra.pdo->AttachedDevice, nullptr);
  EXPECT_EQ(image->DbgLines(),
            (std::vector<std::string>{"qm4200.sys: AddDevice", "qm4200.sys: - Unable to create Device"}));

  // Card 0 leaves: the next card added takes its number again.
  ASSERT_EQ(kernel->RemoveCard(*slots[0]), STATUS_SUCCESS);
  EXPECT_EQ(kernel->FindDevice(u"\\Device\\Talvrex_v100-0"), nullptr);
  EXPECT_EQ(kernel->SymbolicLinkTarget(u"\\DosDevices\\Talvrex_v100-0"), u"");
  Slot& again = card::PlugCard(*kernel, *image);
  ASSERT_EQ(again.addStatus, STATUS_SUCCESS);
  EXPECT_EQ(kernel->FindDevice(u"\\Device\\Talvrex_v100-0"), Fdo(again));
}

TEST_F(DriverTest, FailedLinkCreationDeletesTheDevice) {
  kernel->FailNthCall("IoCreateSymbolicLink");
  image->ClearDbgOutput();
  Slot& slot = card::PlugCard(*kernel, *image);
  EXPECT_EQ(slot.addStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(slot.pdo->AttachedDevice, nullptr);
  EXPECT_EQ(kernel->FindDevice(u"\\Device\\Talvrex_v100-0"), nullptr);
  auto lines = image->DbgLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "WARNING - Unable to create symbolic link for Win32 Apps");
}

TEST_F(DriverTest, FailedAttachUndoesTheDeviceAndItsLink) {
  kernel->FailNthCall("IoAttachDeviceToDeviceStack");
  Slot& slot = card::PlugCard(*kernel, *image);
  EXPECT_FALSE(NT_SUCCESS(slot.addStatus));
  EXPECT_EQ(kernel->FindDevice(u"\\Device\\Talvrex_v100-0"), nullptr);
  EXPECT_EQ(kernel->SymbolicLinkTarget(u"\\DosDevices\\Talvrex_v100-0"), u"");
  EXPECT_EQ(image->driverObject()->DeviceObject, nullptr);
  // The number is free again for the next card.
  EXPECT_EQ(card::PlugCard(*kernel, *image).addStatus, STATUS_SUCCESS);
  EXPECT_NE(kernel->FindDevice(u"\\Device\\Talvrex_v100-0"), nullptr);
}

TEST_F(DriverTest, OpenBeforeStartIsRefusedAndLeavesThePollFlag) {
  Slot& slot = card::PlugCard(*kernel, *image);
  Extension(slot)->bCheckDpcTimerSet = 1;
  auto& process = kernel->DefaultProcess();
  EXPECT_EQ(process.CreateFileW(u"\\\\.\\Talvrex_v100-0"), wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(process.GetLastError(), wdmsim::ERROR_NO_SYSTEM_RESOURCES);  // STATUS_INSUFFICIENT_RESOURCES
  EXPECT_EQ(Extension(slot)->bCheckDpcTimerSet, 1u);
  EXPECT_EQ(process.CreateFileW(u"\\\\.\\Talvrex_v100-7"), wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(process.GetLastError(), wdmsim::ERROR_FILE_NOT_FOUND);
}

TEST_F(DriverTest, OpenAfterStartClearsThePollFlagAndCloseCancelsTheWatchdog) {
  Slot& slot = card::PlugCard(*kernel, *image);
  DEVICE_EXTENSION* ext = Extension(slot);
  ext->bDeviceStarted = 1;  // what a completed hardware start leaves behind
  ext->bCheckDpcTimerSet = 1;
  auto& process = kernel->DefaultProcess();
  HANDLE first = process.CreateFileW(u"\\\\.\\Talvrex_v100-0");
  HANDLE second = process.CreateFileW(u"\\\\.\\talvrex_v100-0");
  ASSERT_NE(first, wdmsim::INVALID_HANDLE_VALUE);
  ASSERT_NE(second, wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(ext->bCheckDpcTimerSet, 0u);

  // One call: between two calls of this thread the clock would run on to
  // the timer's due time.
  kernel->InOneCall([&] {
    LARGE_INTEGER due;
    due.QuadPart = -10LL * 10000000;  // 10 s: still armed when close runs
    KeSetTimer(&ext->WatchdogTimer, due, &ext->WatchdogDpc);
    EXPECT_TRUE(ext->WatchdogTimer.Header.Inserted);
    EXPECT_TRUE(process.CloseHandle(first));
    EXPECT_FALSE(ext->WatchdogTimer.Header.Inserted);
  });
  EXPECT_TRUE(process.CloseHandle(second));
  EXPECT_FALSE(process.CloseHandle(second));
}

TEST_F(DriverTest, MajorFunctionsItDoesNotServeAreInvalidRequests) {
  Slot& slot = card::PlugCard(*kernel, *image);
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_SYSTEM_CONTROL}) {
    auto result = kernel->SendRequest(Fdo(slot), major, 0);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST) << int(major);
  }
}

// Completion stores the information count, except for minor code 7, whose
// information field belongs to the lower drivers' relations list.
TEST_F(DriverTest, CompletionLeavesInformationAloneForMinorCodeSeven) {
  Slot& slot = card::PlugCard(*kernel, *image);
  auto send = [&](UCHAR minor) {
    return kernel->SendRequest(Fdo(slot), IRP_MJ_CREATE, minor,
                               [](PIRP irp, PIO_STACK_LOCATION) { irp->IoStatus.Information = 0x1234; });
  };
  auto seven = send(IRP_MN_QUERY_DEVICE_RELATIONS);
  EXPECT_EQ(seven.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(seven.information, 0x1234u);
  auto other = send(0);
  EXPECT_EQ(other.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(other.information, 0u);
}

// AddDevice is pageable: called at DISPATCH_LEVEL (the card disabled, then
// enabled at raised IRQL), its check prints and stops the machine. The
// shipped image's free build compiles the check away, so on the shipped
// image this runs its checked build, whose assertion breaks through
// int 0x2c as the kit's does.
TEST_F(DriverTest, PageableRoutineAtDispatchLevelStopsTheMachine) {
  if (support::RunningShippedImage()) {
    kernel->UnloadDriver(*image);
    image = &kernel->LoadDriver(support::CheckedImagePath("Talvrex"));
  }
  Slot& slot = StartedCard();
  ASSERT_EQ(kernel->DisableCard(slot), STATUS_SUCCESS);
  expectBugCheck = true;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_THROW(kernel->EnableCard(slot), wdmsim::BugCheck);
  KeLowerIrql(old);
  auto lines = image->DbgLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "EX: Pageable code called at IRQL 2"), lines.end());
  const std::string report = kernel->BugCheckReport();
  EXPECT_NE(report.find("STOP: 0x0000001E"), std::string::npos) << report;
  // The shipped image is stripped; the linker's map beside it names the function.
  EXPECT_NE(report.find(support::RunningShippedImage() ? "assertion failed (int 0x2c) at Talvrex+0x"
                                                       : "KeGetCurrentIrql() <= APC_LEVEL"),
            std::string::npos)
      << report;
  if (support::RunningShippedImage()) {
    EXPECT_NE(report.find("(AddDevice+0x"), std::string::npos) << report;
  }
}

TEST_F(DriverTest, UnloadAfterRemovalPrintsAndLeavesNothing) {
  card::PlugCard(*kernel, *image);
  card::PlugCard(*kernel, *image);
  for (auto* slot : kernel->Slots()) ASSERT_EQ(kernel->RemoveCard(*slot), STATUS_SUCCESS);
  EXPECT_EQ(image->driverObject()->DeviceObject, nullptr);
  EXPECT_TRUE(kernel->NamesIn(u"\\Device").empty());
  image->ClearDbgOutput();
  std::string output = kernel->UnloadDriver(*image);
  image = nullptr;
  EXPECT_EQ(output, "qm4200.sys: DriverUnload\n");
}
