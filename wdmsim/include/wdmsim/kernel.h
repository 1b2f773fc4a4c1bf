// The host side of wdmsim: boot a simulated kernel, load driver images,
// plug device models into its PCI bus (wdmsim/pci.h), act as user-mode
// processes, and read what the driver printed and what the verifier found. Used by tests, the demo and
// the command-line tool; never by driver code.
#pragma once

#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <optional>

#include "wdmsim/ntddk.h"

#include "wdmsim/pci.h"

namespace wdmsim {

// Page protections of simulated user memory.
constexpr uint32_t PAGE_NOACCESS = 0x01;
constexpr uint32_t PAGE_READONLY = 0x02;
constexpr uint32_t PAGE_READWRITE = 0x04;

// Access rights a simulated process asks for when it opens a device.
constexpr uint32_t GENERIC_READ = 0x80000000;
constexpr uint32_t GENERIC_WRITE = 0x40000000;
constexpr uint32_t GENERIC_EXECUTE = 0x20000000;
constexpr uint32_t GENERIC_ALL = 0x10000000;
constexpr uint32_t FILE_READ_DATA = 0x0001;
constexpr uint32_t FILE_WRITE_DATA = 0x0002;
constexpr uint32_t FILE_READ_ATTRIBUTES = 0x0080;
constexpr uint32_t SYNCHRONIZE = 0x00100000;

// The access token of a simulated process: whose groups the access checks
// see. Administrator is an elevated administrator.
enum class Token { System, Administrator, StandardUser };

// What drives the simulated clock.
//  - Realtime: the host's clock, times Options::speedup. Timers and delays
//    end at their due time, not on a clock tick.
//  - Simulated: a clock of its own that moves only when every simulated
//    thread waits, straight to the next deadline: wdmsim's threads, and host
//    threads while they are inside a wdmsim call. Outcomes do not depend on
//    the host's speed or load, and long time-outs take no wall time. Timers,
//    delays and wait time-outs end on the clock tick (15.625 ms, or what
//    ExSetTimerResolution set); processor stalls are exact; every read of
//    the system time by the driver costs 1 us. Options::speedup is ignored.
enum class ClockMode { Realtime, Simulated };

struct Options {
  // Realtime clock: simulated time runs this many times faster than real
  // time: system time, timers, thread delays, processor stalls and the
  // card's latencies.
  double speedup = 1.0;
  unsigned processors = 2;  // DPC threads
  // Echo every DbgPrint line to stderr (also with WDMSIM_ECHO=1).
  bool echoDbgPrint = false;
  // Unset: WDMSIM_CLOCK from the environment ("simulated" or "realtime"),
  // else Simulated. The demo, the tool's --realtime and the benchmark ask
  // for Realtime.
  std::optional<ClockMode> clock;
  // The bus driver below every card answers each Plug and Play and power
  // request with STATUS_PENDING and completes it from another thread, as a
  // bus driver may (Kernel::SetBusBehaviour sets it per card).
  bool lowerDriversPend = false;
  // The system address of a locked user buffer's pages is mapped once per
  // allocation and kept until the allocation is freed, instead of being
  // mapped by each MmMapLockedPagesSpecifyCache and unmapped at unlock. On
  // a virtual machine a fresh 6 MiB mapping costs milliseconds (every page
  // is new to the hypervisor's page tables), which a benchmark would count
  // against the driver. The price: a system address used after its unlock
  // still works instead of faulting. The benchmarks set it; tests do not.
  bool lastingSystemViews = false;
};

// Raised in the thread that hit a bug check; the kernel is dead afterwards.
class BugCheck : public std::runtime_error {
 public:
  BugCheck(ULONG code, const std::string& report) : std::runtime_error(report), code_(code) {}
  ULONG code() const { return code_; }

 private:
  ULONG code_;
};

class Process;
struct KernelState;
class DriverImage;

// One loaded driver image (a product build).
class DriverImage {
 public:
  const std::string& name() const;
  PDRIVER_OBJECT driverObject() const;
  // Everything the image printed with DbgPrint, in order, as Windows formats it.
  std::string DbgOutput() const;
  std::vector<std::string> DbgLines() const;  // split at line feeds
  void ClearDbgOutput();
  // What the INF beside the image writes to each of its devices' registry
  // keys: the security descriptor (SDDL) and the device characteristics
  // (0 when it sets none).
  std::optional<std::string> securitySddl() const;
  uint32_t deviceCharacteristics() const;

 private:
  friend struct KernelState;
  friend class Kernel;
  struct Impl;
  explicit DriverImage(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;

 public:
  ~DriverImage();
  Impl& impl() { return *impl_; }
};

// The resource lists a start request carries: descriptor i of `raw`
// corresponds to descriptor i of `translated`.
struct ResourceLists {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;
  bool absent = false;  // a start request with no resource lists at all
};

// A slot on the simulated PCI bus: the device model in it, the physical
// device object the bus driver made for it and the device stack above it.
struct Slot {
  PDEVICE_OBJECT pdo = nullptr;
  DriverImage* driver = nullptr;
  NTSTATUS addStatus = STATUS_SUCCESS;  // AddDevice's result
  std::shared_ptr<PciFunction> function;  // the device model in the slot
  unsigned number = 0;        // slot number on the bus
  ULONG interruptVector = 0;  // the line interrupt the bus routed to the device
  KIRQL interruptIrql = 0;
  bool started = false;       // the PnP manager's view
  PDEVICE_OBJECT Fdo() const { return pdo != nullptr ? pdo->AttachedDevice : nullptr; }
};

class Kernel {
 public:
  explicit Kernel(const Options& options = {});
  ~Kernel();  // removes every card, unloads every driver, stops the threads
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // Loads a driver image (a shared object built for wdmsim) as the I/O
  // manager loads a .sys: its own copy of the globals, then DriverEntry.
  // The INF beside it ("<dir>/X.inf" for "<dir>/X.sys.so" or "<dir>/X.sys"),
  // if there is one, supplies what its hardware section writes to the
  // registry of each device it installs: the security descriptor and the
  // characteristics, applied after AddDevice. An INF it cannot use fails
  // the load (std::runtime_error).
  DriverImage& LoadDriver(const std::string& path, const std::string& serviceName = "");
  // Calls DriverUnload and unmaps the image; every device must be gone.
  // Returns everything the image printed.
  std::string UnloadDriver(DriverImage& image);

  // Plug and Play: a device model made by `make` goes into a new slot, the
  // bus driver assigns its windows, routes its line and creates a physical
  // device object for it, and the PnP manager calls the driver's AddDevice.
  Slot& PlugDevice(DriverImage& driver, const PciFunctionFactory& make);
  // A device whose physical device object has no function driver above it:
  // the bus driver and the HAL only, for tests that drive it by hand.
  Slot& PlugDeviceWithoutDriver(const PciFunctionFactory& make);
  // A device with no driver whose line the bus routes to the same vector as
  // `card`'s, as INTx lines are shared on boards and behind bridges: for
  // tests of what a driver's line routine does to the other devices on it.
  Slot& PlugDeviceOnLineOf(const Slot& card, const PciFunctionFactory& make);
  // Whether the device's registry says MSISupported; by default what its
  // driver's INF writes ("Interrupt Management\MessageSignaledInterruptProperties").
  // Without it a message-based connection falls back to the line.
  void SetMsiSupported(const Slot& slot, bool supported);
  std::vector<Slot*> Slots();
  // The card leaves the bus in an orderly way: remove down the card's stack,
  // then the bus driver deletes the physical device object.
  NTSTATUS RemoveCard(Slot& slot);

  // The resources the bus driver assigned to the device: one memory window
  // per implemented BAR, in BAR order (translated starts equal to the
  // BARs), and a level-sensitive line interrupt.
  ResourceLists DefaultResources(const Slot& slot) const;

  // The sequences Windows's PnP manager runs, each as one call. Each returns
  // the status of the request that decided the outcome.
  NTSTATUS StartCard(Slot& slot, const std::optional<ResourceLists>& resources = {});  // a failed start is followed by removal
  NTSTATUS AddAndStartDevice(DriverImage& driver, Slot** slot, const PciFunctionFactory& make);
  NTSTATUS DisableCard(Slot& slot);  // query-remove, remove; the card stays on the bus
  NTSTATUS EnableCard(Slot& slot);   // AddDevice and start again
  NTSTATUS Rebalance(Slot& slot, const std::optional<ResourceLists>& resources = {});  // query-stop, stop, start
  NTSTATUS QueryStopThenCancel(Slot& slot);    // query-stop; cancel-stop whatever the answer
  NTSTATUS QueryRemoveThenCancel(Slot& slot);  // query-remove; cancel-remove whatever the answer
  NTSTATUS QueryRemoveAndRemove(Slot& slot);   // query-remove; remove if it was accepted
  NTSTATUS SurpriseRemove(Slot& slot);         // the card vanishes: surprise removal, then remove

  // The power manager: the system goes to `state` and back to working. It
  // sends each started stack a system set-power request; the device's power
  // policy owner answers with the device set-power request it asks for
  // itself (D3 going down, D0 coming back).
  void SleepAndResume(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  void Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  void Resume();
  // One power request to one card's stack.
  NTSTATUS SendPowerRequest(Slot& slot, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
  // The device state a driver last reported for `device` with
  // PoSetPowerState; PowerDeviceUnspecified if it never did.
  DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device) const;

  // The bus driver below a card, as a test wants it: `pend` answers every
  // Plug and Play and power request with STATUS_PENDING and completes it
  // from another thread; `fail` lists the Plug and Play minor codes it
  // refuses (STATUS_UNSUCCESSFUL); `onRequest` sees each Plug and Play
  // request as it reaches the bus driver, before it is handled.
  struct BusBehaviour {
    bool pend = false;
    std::vector<UCHAR> fail;
    std::function<void(UCHAR minor)> onRequest;
  };
  void SetBusBehaviour(Slot& slot, BusBehaviour behaviour);

  // Sends a request, built as the I/O manager builds one, to the top of the
  // stack that `device` belongs to, and waits for it. `fill` sets up the
  // request's first stack location (and anything else of the IRP).
  struct RequestResult {
    NTSTATUS status;
    ULONG_PTR information;
  };
  RequestResult SendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                            const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill = {});

  // The object manager's namespace, for inspection.
  PDEVICE_OBJECT FindDevice(std::u16string_view name) const;        // "\\Device\\X"
  std::u16string SymbolicLinkTarget(std::u16string_view link) const;  // "" if none
  std::vector<std::u16string> NamesIn(std::u16string_view directory) const;

  // Verifier findings so far (driver errors); each is one readable line.
  std::vector<std::string> Findings() const;
  void ClearFindings();
  // The report of the bug check that stopped this kernel, or "".
  std::string BugCheckReport() const;

  // Fault injection: the n-th call from now (1 = the next) of `routine`
  // fails as the platform reports an allocation or mapping failure.
  // Routines: IoCreateDevice, IoCreateSymbolicLink, IoAttachDeviceToDeviceStack,
  // IoAllocateIrp, IoBuildSynchronousFsdRequest, MmMapIoSpace, IoGetDmaAdapter,
  // AllocateCommonBuffer, IoAllocateMdl, IoConnectInterrupt, IoConnectInterruptEx,
  // MmProbeAndLockPages (raises STATUS_INSUFFICIENT_RESOURCES, as Windows
  // does when it cannot lock the pages), MmMapLockedPagesSpecifyCache.
  void FailNthCall(const std::string& routine, int n = 1);
  // Calls of a fault-injectable routine (any of the above) since boot or the
  // last ResetCallCounts, failed ones included: a clean run of a scenario
  // gives the number of call sites to fail one by one.
  uint64_t CallCount(const std::string& routine) const;
  void ResetCallCounts();

  // What the HAL delivered to a card's interrupt routines so far. A line
  // delivery is one walk of the routines connected to the line, stopping at
  // the first that claims the interrupt.
  struct InterruptCounts {
    uint64_t lineDeliveries = 0;
    uint64_t lineClaimed = 0;
    uint64_t lineUnclaimed = 0;
    uint64_t messages = 0;         // messages handed to a message routine
    uint64_t messagesClaimed = 0;
    uint64_t messagesDropped = 0;  // signalled with no message connection
  };
  InterruptCounts InterruptCountsFor(const Slot& slot) const;
  // Holds every interrupt delivery back while `masked`, as a processor at
  // HIGH_LEVEL does; lifting it delivers what is pending back to back, before
  // the DPCs their routines queued run.
  void MaskInterrupts(bool masked);

  Process& DefaultProcess();  // an administrator's
  std::unique_ptr<Process> CreateProcess(Token token = Token::Administrator);

  // The simulated clock.
  int64_t SystemTime100ns() const;
  uint64_t NanosecondsSinceBoot() const;
  // Processor time the kernel's own threads have used so far, in ns (the
  // threads' CPU clocks): the DPC threads, which run the drivers' DPCs and
  // timer routines; the timer thread; the interrupt thread, which runs the
  // interrupt routines. Not the cards' event thread, which runs the device
  // models, nor the callers' threads (measure those where they run).
  struct ThreadCpu {
    uint64_t dpcs = 0, timers = 0, interrupts = 0;
    uint64_t total() const { return dpcs + timers + interrupts; }
  };
  ThreadCpu KernelThreadCpu() const;
  // DPC routines run so far, on every processor.
  uint64_t DpcsRun() const;
  double speedup() const;
  ClockMode clockMode() const;
  // The clock tick timers, delays and wait time-outs end on, in 100 ns units:
  // 156250 (15.625 ms), or the finest resolution still requested with
  // ExSetTimerResolution. Only the Simulated clock rounds to it.
  ULONG TimerResolution100ns() const;
  // The calling thread lets `duration` of simulated time pass while the
  // simulation runs. Simulated: waits until the clock reads exactly now +
  // duration (not rounded to the tick), taking no more wall time than the
  // work in between. Realtime: sleeps duration / speedup.
  void RunFor(std::chrono::nanoseconds duration);
  // Lets simulated time pass until `done` holds, looking at it every `step`
  // (after everything due by then has run), for at most `limit` of simulated
  // time. False if the limit passed first. On the Simulated clock the
  // outcome does not depend on the host's speed: this is how a test waits
  // for what the simulation's threads do (an interrupt delivered, a request
  // entered), never with a host time-out.
  bool RunUntil(const std::function<bool()>& done, std::chrono::nanoseconds limit = std::chrono::seconds(5),
                std::chrono::nanoseconds step = std::chrono::microseconds(10));
  // Starts a host thread that the Simulated clock counts as running from
  // the start, as if it were inside a wdmsim call throughout: time cannot
  // move on (and a time-out of the test's expire) before it reaches the
  // driver. It must not block on host primitives (a join, a latch, a spin on
  // another thread) while running; waits go through wdmsim. Join it as usual.
  std::thread StartThread(std::function<void()> body);
  // Runs `steps` as one wdmsim call: simulated time moves only while they
  // wait. Between two calls of a test thread the clock runs on through
  // whatever is due, so steps that read the time and act on it (a start
  // time, then a removal) go in one call.
  void InOneCall(const std::function<void()>& steps);

  KernelState& state() { return *state_; }

  // Test hooks.
  // A driver linked into the caller: DriverEntry runs, no image is mapped.
  // `infPath`, if given, is the INF that installs its devices.
  DriverImage& LoadBuiltInDriver(const std::string& name, PDRIVER_INITIALIZE driverEntry,
                                 const std::string& infPath = "");

 private:
  std::unique_ptr<KernelState> state_;
};

// The kernel the calling code runs against.
Kernel& CurrentKernel();

// Win32-like user mode of a simulated process. Handles are per process.
class Process {
 public:
  ~Process();
  Token token() const;
  // Opens \\.\Name, \\.\Name\more or \Device\Name as CreateFile does:
  // SYNCHRONIZE | FILE_READ_ATTRIBUTES are added to `desiredAccess`, the
  // device's security descriptor is checked, and the handle keeps what was
  // granted. Refused: INVALID_HANDLE_VALUE with ERROR_ACCESS_DENIED, and the
  // driver sees no request.
  HANDLE CreateFileW(std::u16string_view path, uint32_t desiredAccess = GENERIC_READ | GENERIC_WRITE);
  bool CloseHandle(HANDLE handle);  // files and events
  uint32_t GetLastError() const;    // of the calling thread
  // The NTSTATUS behind the calling thread's last error (RtlGetLastNtStatus),
  // or STATUS_SUCCESS when the failure had none (a bad handle, say).
  NTSTATUS GetLastNtStatus() const;

  // DeviceIoControl as the I/O manager performs it: for METHOD_BUFFERED one
  // system buffer of the larger length with the input copied in, and on
  // success Information bytes (never more than outLength) copied back.
  // A control code whose required access (FILE_READ_ACCESS, FILE_WRITE_ACCESS)
  // the handle was not granted fails with ERROR_ACCESS_DENIED before any
  // request is built.
  bool DeviceIoControl(HANDLE device, uint32_t code, const void* in, uint32_t inLength, void* out,
                       uint32_t outLength, uint32_t* bytesReturned);
  // Cancels the requests `thread` is waiting for in this process, as
  // CancelSynchronousIo (and the I/O manager at thread exit) does: each
  // gets IoCancelIrp. True if there was one.
  bool CancelSynchronousIo(std::thread::id thread);

  // Memory below 4 GiB with real protections (PAGE_NOACCESS, PAGE_READONLY,
  // PAGE_READWRITE), between no-access guard pages. Freed memory stays
  // reserved as no access.
  void* VirtualAlloc(size_t size, uint32_t protect = PAGE_READWRITE);
  bool VirtualProtect(void* address, size_t size, uint32_t protect);
  bool VirtualFree(void* address);

  // Runs `work` in this process's context, as the kernel side of a system
  // call made by it (what ObReferenceObjectByHandle and MmProbeAndLockPages
  // look at). For tests.
  void RunInContext(const std::function<void()>& work);

  // Events. Time-outs are in milliseconds of simulated time.
  HANDLE CreateEventW(bool manualReset, bool initialState);
  // A second handle to the event `event` names, granted only `access`
  // (EVENT_MODIFY_STATE 0x2, SYNCHRONIZE 0x100000, ...), as DuplicateHandle
  // with a smaller access gives one; null if `event` is not an event.
  HANDLE DuplicateEvent(HANDLE event, uint32_t access);
  bool SetEvent(HANDLE event);
  bool ResetEvent(HANDLE event);
  // How many times the event has been set (SetEvent here, KeSetEvent in the
  // kernel), for tests that count signals.
  uint64_t TimesSet(HANDLE event);
  uint32_t WaitForSingleObject(HANDLE handle, uint32_t milliseconds);

  struct Impl;
  explicit Process(std::unique_ptr<Impl> impl);
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 0x102;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// Win32 error codes that wdmsim's user mode reports.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t ERROR_BUSY = 170;
constexpr uint32_t ERROR_DEVICE_REMOVED = 1617;
constexpr uint32_t ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_BAD_DEVICE = 1200;
constexpr uint32_t ERROR_MR_MID_NOT_FOUND = 317;
constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
constexpr uint32_t ERROR_NOT_FOUND = 1168;

// RtlNtStatusToDosError for the statuses our drivers produce.
uint32_t NtStatusToWin32Error(NTSTATUS status);

// "\\Device\\X" as UTF-8, for messages.
std::string Narrow(std::u16string_view text);
std::u16string Widen(std::string_view text);

}  // namespace wdmsim
