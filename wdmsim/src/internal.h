// The simulated kernel's own state, shared by its components (ke, io, ob,
// pnp, rtl, verifier, the loader and user mode). Not seen by drivers.
//
// Notes:
//  1. Locks: `dispatcher` guards everything a waiter can wait on (events,
//     timers, DPC queues); `objects` guards the object manager, devices and
//     IRPs. Neither is ever held while driver code runs, and `objects` is
//     never taken while `dispatcher` is held.
//  2. IRQL is per thread. Passive-level work runs on the caller's thread;
//     DPCs on per-processor DPC threads at DISPATCH_LEVEL; timers expire on
//     the timer thread, which only queues their DPCs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ldr/imports.h"
#include "ldr/pe_image.h"
#include "wdmsim/kernel.h"
#include "wdmsim/ntddk.h"

namespace wdmsim {

namespace hal {
struct HalState;
}
namespace se {
struct SecurityDescriptor;
}

// ---------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------
enum class ObjectType { Device, File, Event, Adapter };

struct ObjectInfo {
  ObjectType type = ObjectType::Device;
  LONG references = 1;
  bool deleted = false;  // device: IoDeleteDevice has run
  bool inAddDevice = false;  // device: made by an AddDevice that has not returned
  DriverImage* owner = nullptr;
  std::u16string name;   // device name, "" if unnamed
  std::function<void()> free;  // frees the memory when the last reference goes
  // Device: the descriptor an open is checked against; null: none at all.
  std::shared_ptr<const se::SecurityDescriptor> security;
};

struct IrpInfo {
  bool ioManagerFrees = false;   // built by IoBuildSynchronousFsdRequest
  bool completed = false;        // IofCompleteRequest ran to the top
  int completeCalls = 0;
  std::string what;              // e.g. "IRP_MJ_CREATE"
};

// A request a user-mode thread is waiting for (io/cancel.cpp).
struct ThreadIrp {
  std::thread::id thread;
  const Process* process = nullptr;
  int cancelling = 0;  // CancelSynchronousIo calls still touching the request
};

struct LinkInfo {
  std::u16string target;
  std::u16string name;  // as created
  DriverImage* creator = nullptr;
};

// ---------------------------------------------------------------------------
// The kernel
// ---------------------------------------------------------------------------
struct KernelState {
  explicit KernelState(const Options& options);

  Options options;  // options.clock is always set
  Clock clock;
  std::atomic<bool> stopping{false};

  // Dispatcher (note 1)
  std::mutex dispatcher;
  std::condition_variable dispatcherCv;
  std::set<std::pair<int64_t, KTIMER*>> timers;  // by absolute due time
  std::vector<std::deque<KDPC*>> dpcQueues;      // per processor
  std::vector<KDPC*> runningDpcs;                // per processor, null when idle
  std::vector<uint64_t> dpcGeneration;           // per processor: DPCs finished
  std::vector<std::thread> dpcThreads;
  std::thread timerThread;
  std::atomic<unsigned> nextProcessor{0};
  // Processor 0 is delivering interrupts: its DPCs wait (hal/interrupt.cpp,
  // note 7). Written under `dispatcher`.
  std::atomic<bool> interruptsBusy{false};
  // How many times each user-mode event was set, for tests (Process::TimesSet).
  std::map<const KEVENT*, uint64_t> userEventSets;
  Clock::Channel DispatcherChannel() { return {&dispatcher, &dispatcherCv}; }
  // The DPC threads and the timer thread wait on condition variables of
  // their own (under `dispatcher`): setting an event wakes only the threads
  // waiting for objects, not every thread of the kernel.
  std::condition_variable dpcCv, timerCv;
  Clock::Channel DpcChannel() { return {&dispatcher, &dpcCv}; }
  Clock::Channel TimerChannel() { return {&dispatcher, &timerCv}; }
  // Wakes every thread waiting under `dispatcher`; the caller holds it and
  // notifies with NotifyAllDispatcherWaiters once it has let go.
  void KickAllDispatcherChannels() {
    clock.Kick(DispatcherChannel());
    clock.Kick(DpcChannel());
    clock.Kick(TimerChannel());
  }
  void NotifyAllDispatcherWaiters() {
    dispatcherCv.notify_all();
    dpcCv.notify_all();
    timerCv.notify_all();
  }

  // ExSetTimerResolution: the resolution each requester still holds, in
  // 100 ns units, by image (null: built-in drivers and wdmsim itself). The
  // clock's tick is the finest of them (ke/clock.h, note 5).
  std::mutex resolutionLock;
  std::map<const void*, ULONG> resolutionRequests;

  // User ranges locked by MmProbeAndLockPages, each with the process that
  // locked it (mm/user_memory.cpp, note 5).
  struct LockedRange {
    uintptr_t begin = 0, end = 0;
    const Process* owner = nullptr;
  };
  std::mutex lockedRangesLock;
  std::map<const void*, LockedRange> lockedRanges;  // by MDL

  // PoSetPowerState: the device power state each device object's driver
  // last reported.
  std::mutex powerStatesLock;
  std::map<const void*, DEVICE_POWER_STATE> reportedPowerStates;

  // Object manager and I/O manager (note 1)
  mutable std::recursive_mutex objects;
  std::map<const void*, ObjectInfo> objectTable;
  std::map<std::u16string, PDEVICE_OBJECT> deviceNames;  // upper-cased full names
  std::map<std::u16string, LinkInfo> links;              // upper-cased "\??\X"
  std::map<PIRP, IrpInfo> irps;
  std::vector<PIRP> abandonedIrps;  // left by a driver; freed at shutdown
  // Requests of user-mode threads, for CancelSynchronousIo. Its own lock:
  // cancelling runs driver code, under neither lock of note 1.
  std::mutex threadIrpsLock;
  std::condition_variable threadIrpsCv;
  std::map<PIRP, ThreadIrp> threadIrps;
  Clock::Channel ThreadIrpsChannel() { return {&threadIrpsLock, &threadIrpsCv}; }
  KSPIN_LOCK cancelSpinLock = 0;  // IoAcquireCancelSpinLock
  // Verifier: references drivers took with ObReferenceObjectByHandle,
  // ObReferenceObject and IoGetAttachedDeviceReference and have not yet
  // released, per object and per image (null: code outside any mapped image,
  // a built-in test driver or wdmsim itself, whose own pairs balance).
  // With the count, where the image's code last took one.
  struct HeldReferences {
    LONG count = 0;
    const void* at = nullptr;
  };
  std::map<const void*, std::map<DriverImage*, HeldReferences>> driverReferences;

  // Loaded images
  std::vector<std::unique_ptr<DriverImage>> images;
  std::vector<std::unique_ptr<Slot>> slots;
  PDRIVER_OBJECT pciDriver = nullptr;
  unsigned nextPdoNumber = 0;

  // The PnP manager sends one request at a time to a device stack; the power
  // manager one power request at a time system-wide (pnp/sequences.cpp,
  // pnp/power.cpp).
  // Both are held across driver code, which may wait on the clock.
  std::mutex pnpLocksGuard;
  std::map<const Slot*, SimMutex> pnpLocks;
  SimMutex powerLock{clock};
  SYSTEM_POWER_STATE systemPowerState = PowerSystemWorking;
  std::set<const Slot*> removalAwaitingClose;  // surprise-removed, remove sent when the last handle closes

  // Debug output and the verifier
  mutable std::mutex logLock;
  std::deque<std::string> recentDbg;  // for bug-check reports
  std::vector<std::string> findings;
  std::string bugCheckReport;
  std::atomic<bool> crashed{false};

  std::unique_ptr<Process> defaultProcess;

  void StartThreads();
  void StopThreads();

  // System threads (io/work_item.cpp): work items and the power manager's
  // requests, each on a simulated thread at PASSIVE_LEVEL of its own.
  struct SystemThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex systemThreadsLock;
  std::vector<SystemThread> systemThreads;
  void SpawnSystemThread(std::function<void()> body);
  void JoinSystemThreads();  // every one, finished or not

  // Verifier: a driver error that does not stop the kernel.
  void Finding(const std::string& text);
  // A stop error: records the report and raises BugCheck in this thread.
  [[noreturn]] void RaiseBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                                  const std::string& why);
  void AppendDbg(DriverImage* image, const std::string& text);

  // Fault injection: the n-th call (from now, 1-based) of a routine fails.
  std::mutex faultLock;
  std::map<std::string, int> failCountdown;
  std::map<std::string, uint64_t> callCounts;  // calls of each fault-injectable routine
  // Counts the call and tells whether it is the one to fail. Every
  // fault-injectable routine calls it once on entry.
  bool ShouldFail(const char* routine);

  DriverImage* ImageForAddress(const void* address);

  // Code as a reader wants it: "Talvrex+0x1234 (Function+0x12)", the

  // function from the PE image's map or the shared object's symbols.

  std::string CodeName(const void* address);

  // HAL: cards on the bus, I/O space, DMA, MDLs, interrupts (hal/hal.h).
  std::shared_ptr<hal::HalState> hal;
};

// A host thread inside a wdmsim call: a simulated thread for the clock
// (ke/clock.h, note 1). Every call at the API boundary that can run driver
// code or wait holds one.
class ClockScope {
 public:
  explicit ClockScope(KernelState& k) : clock_(k.clock) { clock_.Enter(); }
  ~ClockScope() { clock_.Leave(); }
  ClockScope(const ClockScope&) = delete;
  ClockScope& operator=(const ClockScope&) = delete;

 private:
  Clock& clock_;
};

// Forgets a process's handles without closing them (the kernel is dead).
void AbandonHandles(Process& process);

KernelState& K();             // the current kernel; stops the process if none
KernelState* KOrNull();

// IRQL of the calling thread (note 2).
KIRQL CurrentIrql();
void SetCurrentIrql(KIRQL irql);
unsigned CurrentProcessor();
void SetCurrentProcessor(unsigned processor);

// Verifier checks on entry to a routine.
void RequireIrqlAtMost(const char* routine, KIRQL limit);
inline void RequirePassive(const char* routine) { RequireIrqlAtMost(routine, PASSIVE_LEVEL); }

// Reads a field that driver code on another processor may be writing with no
// lock held, as Windows' I/O manager and verifier do: the I/O manager checks
// DO_DEVICE_INITIALIZING while AddDevice is still clearing it, and the verifier
// looks at requests other processors are passing down. An aligned load on x64
// sees the old value or the new one, never a mix; the thread sanitizer is told
// that this one look is meant (it is never inlined into instrumented code).
template <typename T>
[[gnu::noinline, gnu::no_sanitize_thread]] T Glance(const T& field) {
  return *static_cast<const volatile T*>(&field);
}

// Bug-check codes wdmsim raises.
constexpr ULONG IRQL_NOT_LESS_OR_EQUAL = 0x0A;
constexpr ULONG IRQL_NOT_GREATER_OR_EQUAL = 0x09;
constexpr ULONG KMODE_EXCEPTION_NOT_HANDLED = 0x1E;
constexpr ULONG REFERENCE_BY_POINTER = 0x18;
constexpr ULONG NO_MORE_IRP_STACK_LOCATIONS = 0x35;
constexpr ULONG MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44;
constexpr ULONG DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;
constexpr ULONG DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9;

// Upper-cases a name for the case-insensitive namespace.
std::u16string NameKey(std::u16string_view name);
std::u16string FromUnicodeString(PCUNICODE_STRING s);
std::string Hex(uint64_t value);

// Kernel-internal hooks between components.
namespace io {
// Dispatch routines for IRP_MJ_POWER this thread is inside (io/irp.cpp).
inline thread_local int tPowerDispatchDepth = 0;
inline bool HandlingPowerRequest() { return tPowerDispatchDepth > 0; }
// The I/O manager's default for major functions a driver does not set.
DRIVER_DISPATCH InvalidDeviceRequest;
// Builds an IRP for the top of `device`'s stack, tracked by the verifier.
PIRP AllocateTrackedIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, const char* what);
// Sends an IRP built by the I/O manager and waits for it, as a synchronous
// request from a thread would; checks what the dispatch routine did.
// Returns the final status; the IRP is freed.
NTSTATUS SendSynchronous(PDEVICE_OBJECT top, PIRP irp, ULONG_PTR* information = nullptr,
                         KIRQL irql = PASSIVE_LEVEL);
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device);
void DeviceDeletionChecks(PDEVICE_OBJECT device, size_t bytes);
// The device an object-manager path names, following symbolic links and
// taking the longest prefix that names a device; the rest of the path goes
// to `remaining` ("" or "\..."). Null if none. The caller holds K().objects.
PDEVICE_OBJECT ResolveDeviceLocked(std::u16string_view path, std::u16string* remaining);
// A user-mode thread of `process` waits for `irp` from now until
// EndThreadIrp, which SendSynchronous calls before the request is freed.
void BeginThreadIrp(PIRP irp, const Process* process);
void EndThreadIrp(PIRP irp);
// IoCancelIrp for every request `thread` of `process` waits for.
bool CancelThreadIo(const Process* process, std::thread::id thread);
}  // namespace io

namespace ke {
// Verifier: timers armed and DPCs queued inside [begin, end).
std::vector<std::string> ForgetTimersAndDpcsIn(const void* begin, const void* end);
// Verifier: timers and DPCs whose routines lie in [begin, end).
std::vector<std::string> ForgetTimersAndDpcsWithCodeIn(const void* begin, const void* end);
}  // namespace ke

namespace pnp {
PDRIVER_OBJECT CreateBusDriver();
void DeleteBusDriver(PDRIVER_OBJECT driver);
void DestroyPdoExtension(PDEVICE_OBJECT pdo);
// A handle to `device` was closed: a surprise-removed stack whose last handle
// this was now gets its remove request, as Windows waits for the handles.
void HandleClosed(PDEVICE_OBJECT device);
// True when `device` is in a surprise-removed stack waiting for its last
// handle. The caller holds K().pnpLocksGuard.
bool RemovalPendingLocked(PDEVICE_OBJECT device);
// The lock that keeps Plug and Play and power requests to one stack apart.
SimMutex& StackLock(const Slot& slot);
// After a successful AddDevice: the registry's security descriptor and
// characteristics (from the driver's INF) go on every device of the stack.
void ApplyDeviceProperties(const Slot& slot);
// Calls the driver's AddDevice for `pdo`. The devices it makes cannot be
// opened until it has returned (note in pnp/manager.cpp).
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// True on a thread inside CallAddDevice.
inline thread_local bool tInAddDevice = false;
// Sends IRP_MN_REMOVE_DEVICE down the slot's stack and checks what the
// drivers left behind; `cardGone` also deletes the bus driver's device. The
// caller holds StackLock(slot) and the slot has a function device.
NTSTATUS RemoveStack(Slot& slot, bool cardGone);
}  // namespace pnp

// A loaded driver image.
struct DriverImage::Impl {
  std::string name;
  std::string originalPath;
  std::string loadedPath;  // private copy, so that every load has its own globals
  void* handle = nullptr;                    // a .sys.so: the shared object
  std::unique_ptr<ldr::PeImage> pe;          // a .sys: the mapped PE image
  std::unique_ptr<ldr::ImportThunks> thunks;  // and the thunks its imports are bound to
  const void* codeBegin = nullptr;
  const void* codeEnd = nullptr;
  DRIVER_OBJECT driverObject{};
  DRIVER_EXTENSION driverExtension{};
  std::u16string driverName;
  std::u16string serviceName;
  mutable std::mutex dbgLock;
  std::string dbg;
  // From the INF that installs the image's devices.
  std::optional<std::string> securitySddl;
  std::shared_ptr<const se::SecurityDescriptor> security;  // parsed securitySddl
  uint32_t deviceCharacteristics = 0;
  bool msiSupported = false;  // the devices' keys say MSISupported

  void AppendDbg(const std::string& text) {
    std::lock_guard lock(dbgLock);
    dbg += text;
  }
  void Unmap();  // dlclose and remove the private copy, or unmap the PE image
  bool Contains(const void* address) const { return address >= codeBegin && address < codeEnd; }
};

namespace ob {
void Insert(const void* object, ObjectInfo info);
void Reference(const void* object);
void Dereference(const void* object);
ObjectInfo* Find(const void* object);  // caller holds K().objects
// Verifier bookkeeping of a reference a driver took (+1) or released (-1);
// `caller` is the return address into the driver.
void CountDriverReference(const void* object, const void* caller, LONG delta);
// What `image` still holds at unload, one readable line per object.
std::vector<std::string> ReferencesHeldBy(DriverImage& image);
}  // namespace ob

}  // namespace wdmsim
