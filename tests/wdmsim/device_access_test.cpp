// Who may open a device and what a handle may ask of it, seen from a small
// function driver built into the test: the descriptor its INF sets, remaining
// names and FILE_DEVICE_SECURE_OPEN, the access a control code needs,
// IoValidateDeviceIoControlAccess, CancelSynchronousIo, and MDLs of no bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "internal.h"
#include "se/security.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"

namespace {

using wdmsim::Token;

constexpr const char* kInfSddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr uint32_t kReadWrite = wdmsim::GENERIC_READ | wdmsim::GENERIC_WRITE;

constexpr ULONG kValidate = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeedsRead = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr ULONG kNeedsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kPollCancel = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kPendCancellable = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);

// ---------------------------------------------------------------------------
// The test's function driver
// ---------------------------------------------------------------------------
struct DriverState {
  ULONG fdoCharacteristics = 0;  // what AddDevice passes to IoCreateDevice
  std::atomic<int> creates{0};
  std::atomic<int> controls{0};
  std::mutex lock;
  std::u16string fileName;  // of the last open
  UCHAR flags = 0;          // of the last control request
  KEVENT entered;           // a request that waits for its cancel has arrived
  std::atomic<KIRQL> cancelIrql{PASSIVE_LEVEL};
  std::atomic<bool> cancelRoutineRan{false};
  std::atomic<int> cleanups{0};
  std::atomic<int> closes{0};
  std::function<void()> lastInAddDevice;  // runs after DO_DEVICE_INITIALIZING is cleared
};
DriverState* gState = nullptr;

struct FdoExtension {
  PDEVICE_OBJECT lower;
};
FdoExtension* Ext(PDEVICE_OBJECT device) { return static_cast<FdoExtension*>(device->DeviceExtension); }

UNICODE_STRING Unicode(const std::u16string& s) {
  return UNICODE_STRING{static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2),
                        const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(s.data()))};
}
const std::u16string kDeviceName = u"\\Device\\AccessTest";
const std::u16string kLinkName = u"\\DosDevices\\AccessTest";

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI OnCreate(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  {
    std::lock_guard lock(gState->lock);
    gState->fileName = wdmsim::FromUnicodeString(&file->FileName);
  }
  gState->creates++;
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI OnCloseOrCleanup(PDEVICE_OBJECT, PIRP irp) {
  ++(IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE ? gState->closes : gState->cleanups);
  return Complete(irp, STATUS_SUCCESS);
}

// Looks at Cancel until it is set, waiting a millisecond between looks, as a
// driver waiting for its hardware does; gives up after ten seconds.
NTSTATUS PollForCancel(PIRP irp) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeSetEvent(&gState->entered, IO_NO_INCREMENT, FALSE);
  for (int i = 0; i < 10000; ++i) {
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST)) return Complete(irp, STATUS_CANCELLED);
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &interval);
  }
  return Complete(irp, STATUS_UNSUCCESSFUL);
}

VOID NTAPI CancelPending(PDEVICE_OBJECT, PIRP irp) {
  gState->cancelIrql = KeGetCurrentIrql();
  IoReleaseCancelSpinLock(irp->CancelIrql);
  gState->cancelRoutineRan = true;
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS PendCancellable(PIRP irp) {
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelPending);
  KeSetEvent(&gState->entered, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

NTSTATUS NTAPI OnControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  {
    std::lock_guard lock(gState->lock);
    gState->flags = stack->Flags;
  }
  gState->controls++;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kValidate: return Complete(irp, IoValidateDeviceIoControlAccess(irp, FILE_READ_ACCESS | FILE_WRITE_ACCESS));
    case kPollCancel: return PollForCancel(irp);
    case kPendCancellable: return PendCancellable(irp);
    default: return Complete(irp, STATUS_SUCCESS);
  }
}

NTSTATUS NTAPI OnPnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = Ext(device)->lower;
  const bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    UNICODE_STRING link = Unicode(kLinkName);
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name = Unicode(kDeviceName);
  UNICODE_STRING link = Unicode(kLinkName);
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), &name, FILE_DEVICE_UNKNOWN,
                                   gState->fdoCharacteristics, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoCreateSymbolicLink(&link, &name);
  Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  if (gState->lastInAddDevice) gState->lastInAddDevice();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI AccessDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = OnCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = OnCloseOrCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = OnCloseOrCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnControl;
  driver->MajorFunction[IRP_MJ_PNP] = OnPnp;
  driver->DriverExtension->AddDevice = OnAddDevice;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Fixture
// ---------------------------------------------------------------------------
class DeviceAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gState = &state;
    kernel = std::make_unique<wdmsim::Kernel>();
    KeInitializeEvent(&state.entered, NotificationEvent, FALSE);
    dir = std::filesystem::temp_directory_path() /
          ("wdmsim-access-test-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    EXPECT_EQ(kernel->BugCheckReport(), "");
    EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
    processes.clear();
    kernel.reset();
    std::filesystem::remove_all(dir);
    gState = nullptr;
  }

  // Loads the driver, installed by an INF with these values (none: no INF),
  // and plugs a card for it.
  void Install(std::optional<std::string> sddl, std::optional<uint32_t> characteristics = {}) {
    std::string inf;
    if (sddl || characteristics) {
      inf = (dir / "AccessTest.inf").string();
      std::ofstream out(inf, std::ios::binary);
      out << "[AccessTest.NT.HW]\r\nAddReg = AccessTest_AddReg\r\n[AccessTest_AddReg]\r\n";
      if (sddl) out << "HKR,,Security,,\"" << *sddl << "\"\r\n";
      if (characteristics) out << "HKR,,DeviceCharacteristics,0x10001," << *characteristics << "\r\n";
    }
    wdmsim::DriverImage& driver = kernel->LoadBuiltInDriver("AccessTest", AccessDriverEntry, inf);
    slot = &card::PlugCard(*kernel, driver);
    ASSERT_EQ(slot->addStatus, STATUS_SUCCESS);
  }
  wdmsim::Process& As(Token token) {
    processes.push_back(kernel->CreateProcess(token));
    return *processes.back();
  }
  bool Entered() {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5LL * 10000000;
    return KeWaitForSingleObject(&state.entered, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
  }

  // Starts `send` on a thread of its own, waits for its request to reach
  // the driver, then cancels the thread's I/O (after checking that `other`
  // cannot), all inside one call: had this thread stepped out of wdmsim in
  // between, the clock could have run on to the sender's give-up.
  // `meanwhile` runs once the request is inside the driver, before the cancel.
  std::thread SendThenCancel(wdmsim::Process& process, std::function<void()> send,
                             wdmsim::Process* other = nullptr, const std::function<void()>& meanwhile = {}) {
    std::thread caller;
    bool entered = false, refused = true, cancelled = false;
    process.RunInContext([&] {
      caller = kernel->StartThread(std::move(send));
      entered = Entered();
      if (!entered) return;
      if (meanwhile) meanwhile();
      if (other != nullptr) refused = !other->CancelSynchronousIo(caller.get_id());  // another process's
      cancelled = process.CancelSynchronousIo(caller.get_id());
    });
    EXPECT_TRUE(entered);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(cancelled);
    return caller;
  }

  DriverState state;
  std::unique_ptr<wdmsim::Kernel> kernel;
  std::vector<std::unique_ptr<wdmsim::Process>> processes;
  wdmsim::Slot* slot = nullptr;
  std::filesystem::path dir;
};

// ---------------------------------------------------------------------------
// Opens
// ---------------------------------------------------------------------------
TEST_F(DeviceAccessTest, TheInfDescriptorKeepsStandardUsersOutBeforeAnyRequest) {
  Install(kInfSddl, FILE_DEVICE_SECURE_OPEN);
  {
    // Every device object of the stack carries what the INF set.
    std::lock_guard lock(kernel->state().objects);
    for (PDEVICE_OBJECT d = slot->pdo; d != nullptr; d = d->AttachedDevice) {
      ASSERT_NE(wdmsim::ob::Find(d)->security, nullptr);
      EXPECT_EQ(wdmsim::ob::Find(d)->security->sddl, kInfSddl);
      EXPECT_TRUE(d->Characteristics & FILE_DEVICE_SECURE_OPEN);
    }
  }
  for (Token token : {Token::System, Token::Administrator}) {
    wdmsim::Process& process = As(token);
    HANDLE handle = process.CreateFileW(u"\\\\.\\AccessTest");
    ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE) << static_cast<int>(token);
    EXPECT_TRUE(process.CloseHandle(handle));
  }
  const int creates = state.creates;
  wdmsim::Process& user = As(Token::StandardUser);
  for (std::u16string_view path : {u"\\\\.\\AccessTest", u"\\Device\\AccessTest", u"\\\\.\\accesstest"}) {
    EXPECT_EQ(user.CreateFileW(path), wdmsim::INVALID_HANDLE_VALUE);
    EXPECT_EQ(user.GetLastError(), wdmsim::ERROR_ACCESS_DENIED);
    EXPECT_EQ(user.CreateFileW(path, 0), wdmsim::INVALID_HANDLE_VALUE);  // not even to query it
  }
  EXPECT_EQ(state.creates, creates);  // the driver never heard of them
}

TEST_F(DeviceAccessTest, WithoutAnInfTheDefaultDescriptorLetsStandardUsersIn) {
  Install(std::nullopt);
  wdmsim::Process& user = As(Token::StandardUser);
  HANDLE handle = user.CreateFileW(u"\\\\.\\AccessTest");
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(state.creates, 1);
  EXPECT_TRUE(user.CloseHandle(handle));
  // but not with all access: the default grants everyone read, write and execute only.
  EXPECT_EQ(user.CreateFileW(u"\\\\.\\AccessTest", wdmsim::GENERIC_ALL), wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(user.GetLastError(), wdmsim::ERROR_ACCESS_DENIED);
}

// The symbolic link exists before AddDevice is done, so an application may
// find the device while it is still being made. It gets in only once AddDevice
// has returned, even if the flag was cleared a moment before.
TEST_F(DeviceAccessTest, AnOpenGetsInOnlyOnceAddDeviceHasReturned) {
  wdmsim::Process& user = As(Token::Administrator);
  HANDLE early = nullptr;
  state.lastInAddDevice = [&] { early = user.CreateFileW(u"\\\\.\\AccessTest"); };
  Install(std::nullopt);
  EXPECT_EQ(early, wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(state.creates, 0);
  HANDLE handle = user.CreateFileW(u"\\\\.\\AccessTest");
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_EQ(state.creates, 1);
  EXPECT_TRUE(user.CloseHandle(handle));
}

struct RemainingNameCase {
  const char* what;
  std::optional<uint32_t> infCharacteristics;
  ULONG fdoCharacteristics;
  bool opens;  // "\\.\AccessTest\sub\x" by a standard user
};

class RemainingNameTest : public DeviceAccessTest, public ::testing::WithParamInterface<RemainingNameCase> {};

TEST_P(RemainingNameTest, IsCheckedOnlyForASecureOpenDevice) {
  const RemainingNameCase& c = GetParam();
  state.fdoCharacteristics = c.fdoCharacteristics;
  Install(kInfSddl, c.infCharacteristics);
  wdmsim::Process& user = As(Token::StandardUser);
  EXPECT_EQ(user.CreateFileW(u"\\\\.\\AccessTest"), wdmsim::INVALID_HANDLE_VALUE);  // the device itself: always
  HANDLE handle = user.CreateFileW(u"\\\\.\\AccessTest\\sub\\x");
  if (!c.opens) {
    EXPECT_EQ(handle, wdmsim::INVALID_HANDLE_VALUE);
    EXPECT_EQ(user.GetLastError(), wdmsim::ERROR_ACCESS_DENIED);
    EXPECT_EQ(state.creates, 0);
    return;
  }
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  {
    std::lock_guard lock(state.lock);
    EXPECT_EQ(state.fileName, u"\\sub\\x");  // the driver's to judge
  }
  EXPECT_TRUE(user.CloseHandle(handle));
}

INSTANTIATE_TEST_SUITE_P(
    Characteristics, RemainingNameTest,
    ::testing::Values(RemainingNameCase{"SecureOpenFromTheInf", 0x100, 0, false},
                      RemainingNameCase{"SecureOpenFromTheDriver", std::nullopt, FILE_DEVICE_SECURE_OPEN, false},
                      RemainingNameCase{"NoSecureOpen", std::nullopt, 0, true},
                      RemainingNameCase{"OtherCharacteristicsOnly", 0x1, 0, true}),
    [](const auto& info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------
// Control requests
// ---------------------------------------------------------------------------
struct ControlCase {
  const char* what;
  uint32_t access;  // asked for at the open
  ULONG code;
  bool succeeds;
  bool reachesDriver;
  UCHAR flags;  // the stack location's, when it reaches the driver
};

class ControlAccessTest : public DeviceAccessTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlAccessTest, NeedsWhatTheHandleWasGranted) {
  const ControlCase& c = GetParam();
  Install(kInfSddl, FILE_DEVICE_SECURE_OPEN);
  wdmsim::Process& admin = kernel->DefaultProcess();
  HANDLE handle = admin.CreateFileW(u"\\\\.\\AccessTest", c.access);
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  uint32_t returned = 7;
  EXPECT_EQ(admin.DeviceIoControl(handle, c.code, nullptr, 0, nullptr, 0, &returned), c.succeeds);
  EXPECT_EQ(admin.GetLastError(), c.succeeds ? wdmsim::ERROR_SUCCESS : wdmsim::ERROR_ACCESS_DENIED);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(state.controls, c.reachesDriver ? 1 : 0);
  if (c.reachesDriver) {
    std::lock_guard lock(state.lock);
    EXPECT_EQ(state.flags, c.flags);
  }
  EXPECT_TRUE(admin.CloseHandle(handle));
}

constexpr UCHAR kReadFlag = SL_READ_ACCESS_GRANTED;
constexpr UCHAR kBothFlags = SL_READ_ACCESS_GRANTED | SL_WRITE_ACCESS_GRANTED;

INSTANTIATE_TEST_SUITE_P(
    Handles, ControlAccessTest,
    ::testing::Values(ControlCase{"NoAccessFailsTheDriversValidation", 0, kValidate, false, true, 0},
                      ControlCase{"ReadOnlyFailsTheDriversValidation", wdmsim::GENERIC_READ, kValidate, false, true,
                                  kReadFlag},
                      ControlCase{"ReadWritePassesTheDriversValidation", kReadWrite, kValidate, true, true, kBothFlags},
                      ControlCase{"NoAccessCannotSendAReadCode", 0, kNeedsRead, false, false, 0},
                      ControlCase{"ReadAccessSendsAReadCode", wdmsim::GENERIC_READ, kNeedsRead, true, true, kReadFlag},
                      ControlCase{"ReadAccessCannotSendAWriteCode", wdmsim::GENERIC_READ, kNeedsWrite, false, false, 0},
                      ControlCase{"WriteDataSendsAWriteCode", wdmsim::FILE_WRITE_DATA, kNeedsWrite, true, true,
                                  SL_WRITE_ACCESS_GRANTED}),
    [](const auto& info) { return std::string(info.param.what); });

struct ValidateCase {
  const char* what;
  UCHAR major;
  KPROCESSOR_MODE mode;
  UCHAR flags;
  ULONG required;
  NTSTATUS expected;
};

class ValidateParametersTest : public DeviceAccessTest, public ::testing::WithParamInterface<ValidateCase> {};

TEST_P(ValidateParametersTest, FollowTheDocumentedRules) {
  const ValidateCase& c = GetParam();
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);  // as the driver that holds it sees it
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = c.major;
  stack->Flags = c.flags;
  irp->RequestorMode = c.mode;
  EXPECT_EQ(IoValidateDeviceIoControlAccess(irp, c.required), c.expected);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // any IRQL
  EXPECT_EQ(IoValidateDeviceIoControlAccess(irp, c.required), c.expected);
  KeLowerIrql(old);
  IoFreeIrp(irp);
}

constexpr ULONG kBoth = FILE_READ_ACCESS | FILE_WRITE_ACCESS;

INSTANTIATE_TEST_SUITE_P(
    Requests, ValidateParametersTest,
    ::testing::Values(
        ValidateCase{"NoAccessAskedFor", IRP_MJ_DEVICE_CONTROL, UserMode, kBothFlags, 0, STATUS_INVALID_PARAMETER},
        ValidateCase{"UnknownAccessBits", IRP_MJ_DEVICE_CONTROL, UserMode, kBothFlags, 4, STATUS_INVALID_PARAMETER},
        ValidateCase{"NotAControlRequest", IRP_MJ_READ, UserMode, kBothFlags, kBoth, STATUS_INVALID_PARAMETER},
        ValidateCase{"KernelCallerNeedsNoFlags", IRP_MJ_DEVICE_CONTROL, KernelMode, 0, kBoth, STATUS_SUCCESS},
        ValidateCase{"KernelCallerStillChecksParameters", IRP_MJ_INTERNAL_DEVICE_CONTROL, KernelMode, 0, kBoth,
                     STATUS_INVALID_PARAMETER},
        ValidateCase{"ReadGranted", IRP_MJ_DEVICE_CONTROL, UserMode, kReadFlag, FILE_READ_ACCESS, STATUS_SUCCESS},
        ValidateCase{"WriteNotGranted", IRP_MJ_DEVICE_CONTROL, UserMode, kReadFlag, FILE_WRITE_ACCESS,
                     STATUS_ACCESS_DENIED},
        ValidateCase{"FileSystemControlBothGranted", IRP_MJ_FILE_SYSTEM_CONTROL, UserMode, kBothFlags, kBoth,
                     STATUS_SUCCESS}),
    [](const auto& info) { return std::string(info.param.what); });

// ---------------------------------------------------------------------------
// Cancelling a thread's synchronous I/O
// ---------------------------------------------------------------------------
TEST_F(DeviceAccessTest, CancelSynchronousIoEndsADriverLoopThatPollsCancel) {
  Install(std::nullopt);
  wdmsim::Process& process = As(Token::StandardUser);
  wdmsim::Process& other = As(Token::StandardUser);
  HANDLE handle = process.CreateFileW(u"\\\\.\\AccessTest");
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  EXPECT_FALSE(process.CancelSynchronousIo(std::this_thread::get_id()));  // this thread waits for nothing
  EXPECT_EQ(process.GetLastError(), wdmsim::ERROR_NOT_FOUND);

  bool ok = true;
  uint32_t error = 0;
  std::thread caller = SendThenCancel(
      process,
      [&] {
        ok = process.DeviceIoControl(handle, kPollCancel, nullptr, 0, nullptr, 0, nullptr);
        error = process.GetLastError();
      },
      &other);
  caller.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, wdmsim::ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(process.CancelSynchronousIo(caller.get_id()));  // nothing left in progress
  EXPECT_TRUE(process.CloseHandle(handle));
}

// The handle is closed while a request on it is inside the driver: cleanup
// comes at once, close only when the request has completed, as the I/O
// manager holds the file object for every request on it.
TEST_F(DeviceAccessTest, CloseWaitsForTheRequestsOnTheFileObject) {
  Install(std::nullopt);
  wdmsim::Process& process = kernel->DefaultProcess();
  HANDLE handle = process.CreateFileW(u"\\\\.\\AccessTest");
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  int closesWhilePending = -1;
  std::thread caller = SendThenCancel(
      process, [&] { process.DeviceIoControl(handle, kPendCancellable, nullptr, 0, nullptr, 0, nullptr); }, nullptr,
      [&] {
        EXPECT_TRUE(process.CloseHandle(handle));
        EXPECT_EQ(state.cleanups, 1);
        closesWhilePending = state.closes;
      });
  caller.join();
  EXPECT_EQ(closesWhilePending, 0);
  EXPECT_EQ(state.closes, 1);
}

TEST_F(DeviceAccessTest, CancelSynchronousIoCallsTheCancelRoutineWithTheCancelLockHeld) {
  Install(std::nullopt);
  wdmsim::Process& process = kernel->DefaultProcess();
  HANDLE handle = process.CreateFileW(u"\\\\.\\AccessTest");
  ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  bool ok = true;
  uint32_t error = 0;
  std::thread caller = SendThenCancel(process, [&] {
    ok = process.DeviceIoControl(handle, kPendCancellable, nullptr, 0, nullptr, 0, nullptr);
    error = process.GetLastError();
  });
  caller.join();
  EXPECT_TRUE(state.cancelRoutineRan);
  EXPECT_EQ(state.cancelIrql, DISPATCH_LEVEL);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, wdmsim::ERROR_OPERATION_ABORTED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // the routine's release restored the canceller's IRQL
  EXPECT_TRUE(process.CloseHandle(handle));
}

// ---------------------------------------------------------------------------
// MDLs of no bytes
// ---------------------------------------------------------------------------
TEST_F(DeviceAccessTest, MdlsOfNoBytesAreReportedAndStillWork) {
  static char buffer[64];
  PMDL mdl = IoAllocateMdl(buffer, 0, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  ASSERT_EQ(kernel->Findings().size(), 1u);
  EXPECT_NE(kernel->Findings()[0].find("IoAllocateMdl with a length of 0"), std::string::npos);
  IoFreeMdl(mdl);
  kernel->ClearFindings();

  wdmsim::Process& process = kernel->DefaultProcess();
  void* user = process.VirtualAlloc(4096);
  ASSERT_NE(user, nullptr);
  process.RunInContext([&] {
    PMDL locked = IoAllocateMdl(user, 0, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(locked, UserMode, IoWriteAccess);
    EXPECT_TRUE(locked->MdlFlags & MDL_PAGES_LOCKED);
    MmUnlockPages(locked);
    IoFreeMdl(locked);
  });
  auto findings = kernel->Findings();
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_NE(findings[1].find("MmProbeAndLockPages of an MDL with a length of 0"), std::string::npos);
  kernel->ClearFindings();
  // ProbeForRead and ProbeForWrite check nothing for no bytes, as documented.
  ProbeForRead(reinterpret_cast<void*>(uintptr_t{0x10}), 0, 4);
  ProbeForWrite(reinterpret_cast<void*>(uintptr_t{0x10}), 0, 4);
  EXPECT_TRUE(process.VirtualFree(user));
}

}  // namespace
