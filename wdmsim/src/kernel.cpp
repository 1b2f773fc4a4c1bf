// Boot and shutdown of a simulated kernel, bug checks, the verifier's
// findings and debug output.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <execinfo.h>
#include <pthread.h>
#include <time.h>
#include <sstream>

#include "hal/hal.h"
#include "internal.h"
#include "rtl/format.h"

namespace wdmsim {

namespace {
std::atomic<KernelState*> gCurrent{nullptr};
std::atomic<Kernel*> gCurrentKernel{nullptr};
constexpr size_t kRecentDbgLines = 32;
}  // namespace

KernelState* KOrNull() { return gCurrent.load(); }

KernelState& K() {
  KernelState* k = gCurrent.load();
  if (k == nullptr) {
    std::fprintf(stderr, "wdmsim: a kernel routine was called with no kernel booted\n");
    std::abort();
  }
  return *k;
}

Kernel& CurrentKernel() {
  Kernel* k = gCurrentKernel.load();
  if (k == nullptr) {
    std::fprintf(stderr, "wdmsim: no kernel booted\n");
    std::abort();
  }
  return *k;
}

namespace {

// Options::clock, or WDMSIM_CLOCK when the options leave it unset, so that a
// whole test program can be run on either clock without editing it.
ClockMode ChosenClock(const Options& options) {
  if (options.clock) return *options.clock;
  const char* chosen = std::getenv("WDMSIM_CLOCK");
  if (chosen == nullptr || std::string_view(chosen).empty() || std::string_view(chosen) == "simulated") {
    return ClockMode::Simulated;
  }
  if (std::string_view(chosen) == "realtime") return ClockMode::Realtime;
  throw std::invalid_argument(std::string("wdmsim: WDMSIM_CLOCK must be \"simulated\" or \"realtime\", not \"") +
                              chosen + "\"");
}

}  // namespace

KernelState::KernelState(const Options& opts) : options(opts), clock(ChosenClock(opts), opts.speedup) {
  options.clock = clock.mode();
  const char* echo = std::getenv("WDMSIM_ECHO");
  if (echo != nullptr && echo[0] == '1') options.echoDbgPrint = true;
}

void KernelState::Finding(const std::string& text) {
  {
    std::lock_guard lock(logLock);
    findings.push_back(text);
  }
  std::fprintf(stderr, "wdmsim verifier: %s\n", text.c_str());
}

void KernelState::RaiseBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                                const std::string& why) {
  std::ostringstream report;
  report << "*** STOP: 0x" << Hex(code).substr(8) << " (0x" << Hex(p1) << ", 0x" << Hex(p2) << ", 0x"
         << Hex(p3) << ", 0x" << Hex(p4) << ")\n";
  report << "*** " << why << "\n";
  // Raised inside a kernel routine a PE image called: where in the image.
  if (const ldr::ImportBoundary* call = ldr::InnermostImportCall(); call != nullptr) {
    report << "*** called from " << CodeName(call->returnAddress) << "\n";
  }
  {
    std::lock_guard lock(logLock);
    report << "*** recent DbgPrint output:\n";
    for (const auto& line : recentDbg) {
      report << "    " << line << (line.ends_with('\n') ? "" : "\n");
    }
  }
  void* frames[32];
  int n = backtrace(frames, 32);
  char** symbols = backtrace_symbols(frames, n);
  report << "*** stack:\n";
  for (int i = 1; i < n && symbols != nullptr; ++i) report << "    " << symbols[i] << "\n";
  std::free(symbols);

  bool first = !crashed.exchange(true);
  if (first) {
    std::lock_guard lock(logLock);
    bugCheckReport = report.str();
    std::fprintf(stderr, "%s", bugCheckReport.c_str());
  }
  {
    std::lock_guard lock(dispatcher);
    KickAllDispatcherChannels();  // waiters without a time-out give up
  }
  NotifyAllDispatcherWaiters();
  throw BugCheck(code, report.str());
}

void KernelState::AppendDbg(DriverImage* image, const std::string& text) {
  if (image != nullptr) image->impl().AppendDbg(text);
  std::lock_guard lock(logLock);
  std::string& tail = recentDbg.empty() || (!recentDbg.back().empty() && recentDbg.back().back() == '\n')
                          ? recentDbg.emplace_back()
                          : recentDbg.back();
  tail += text;
  while (recentDbg.size() > kRecentDbgLines) recentDbg.pop_front();
  if (options.echoDbgPrint) std::fputs(text.c_str(), stderr);
}

std::u16string NameKey(std::u16string_view name) {
  std::u16string key(name);
  for (auto& c : key) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return key;
}

std::u16string FromUnicodeString(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::string Hex(uint64_t value) {
  char buffer[17];
  std::snprintf(buffer, sizeof(buffer), "%016llX", static_cast<unsigned long long>(value));
  return buffer;
}

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string Widen(std::string_view text) {
  std::u16string out;
  for (char c : text) out.push_back(static_cast<unsigned char>(c));
  return out;
}

// ---------------------------------------------------------------------------
// Kernel
// ---------------------------------------------------------------------------
Kernel::Kernel(const Options& options) : state_(std::make_unique<KernelState>(options)) {
  KernelState* expected = nullptr;
  if (!gCurrent.compare_exchange_strong(expected, state_.get())) {
    throw std::logic_error("wdmsim: one kernel at a time");
  }
  gCurrentKernel = this;
  state_->StartThreads();
  hal::Boot(*state_);
  state_->pciDriver = pnp::CreateBusDriver();
  state_->defaultProcess = CreateProcess();
}

Kernel::~Kernel() {
  KernelState& k = *state_;
  if (!k.crashed) {
    ClockScope scope(k);
    try {
      k.defaultProcess.reset();  // the system closes what a process left open
      for (auto& slot : k.slots) {
        if (slot->pdo != nullptr) RemoveCard(*slot);
      }
      while (!k.images.empty()) UnloadDriver(*k.images.back());
    } catch (const BugCheck&) {
      // Reported already; the threads still have to stop.
    }
  }
  if (k.crashed) {
    // A dead kernel runs no more driver code: free what it still holds so
    // that a test can go on after an expected bug check.
    hal::Stop(k);
    k.StopThreads();
    if (k.defaultProcess) AbandonHandles(*k.defaultProcess);  // they point into freed objects
    k.defaultProcess.reset();
    for (auto& slot : k.slots) {
      if (slot->pdo != nullptr) pnp::DestroyPdoExtension(slot->pdo);
    }
    std::vector<std::function<void()>> frees;
    {
      std::lock_guard lock(k.objects);
      for (auto& [object, info] : k.objectTable) {
        if (info.free) frees.push_back(std::move(info.free));
      }
      k.objectTable.clear();
      for (auto& [irp, info] : k.irps) ::operator delete(irp);
      k.irps.clear();
    }
    for (auto& f : frees) f();
    for (auto& image : k.images) image->impl().Unmap();
  } else {
    k.defaultProcess.reset();
    hal::Stop(k);
    k.StopThreads();
  }
  k.clock.Stop();  // every simulated thread has ended
  for (PIRP irp : k.abandonedIrps) ::operator delete(irp);
  k.abandonedIrps.clear();
  pnp::DeleteBusDriver(k.pciDriver);
  k.slots.clear();
  k.images.clear();
  gCurrentKernel = nullptr;
  gCurrent = nullptr;
}

std::vector<std::string> Kernel::Findings() const {
  std::lock_guard lock(state_->logLock);
  return state_->findings;
}

void Kernel::ClearFindings() {
  std::lock_guard lock(state_->logLock);
  state_->findings.clear();
}

std::string Kernel::BugCheckReport() const {
  std::lock_guard lock(state_->logLock);
  return state_->bugCheckReport;
}

Process& Kernel::DefaultProcess() { return *state_->defaultProcess; }
int64_t Kernel::SystemTime100ns() const { return state_->clock.Now100ns(); }
uint64_t Kernel::NanosecondsSinceBoot() const { return state_->clock.NowNs(); }

namespace {
uint64_t ThreadCpuNs(std::thread& thread) {
  clockid_t id;
  timespec ts{};
  if (!thread.joinable() || pthread_getcpuclockid(thread.native_handle(), &id) != 0 || clock_gettime(id, &ts) != 0) {
    return 0;
  }
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

uint64_t Kernel::DpcsRun() const {
  std::lock_guard lock(state_->dispatcher);
  uint64_t n = 0;
  for (uint64_t g : state_->dpcGeneration) n += g;
  return n;
}

Kernel::ThreadCpu Kernel::KernelThreadCpu() const {
  ThreadCpu cpu;
  for (auto& t : state_->dpcThreads) cpu.dpcs += ThreadCpuNs(t);
  cpu.timers = ThreadCpuNs(state_->timerThread);
  cpu.interrupts = ThreadCpuNs(state_->hal->interruptThread);
  return cpu;
}
double Kernel::speedup() const { return state_->clock.speedup(); }
ClockMode Kernel::clockMode() const { return state_->clock.mode(); }
ULONG Kernel::TimerResolution100ns() const { return static_cast<ULONG>(state_->clock.TickNs() / 100); }

void Kernel::RunFor(std::chrono::nanoseconds duration) {
  Clock& clock = state_->clock;
  if (duration.count() <= 0) return;
  if (!clock.simulated()) {
    std::this_thread::sleep_for(std::chrono::duration<double, std::nano>(static_cast<double>(duration.count()) /
                                                                         clock.speedup()));
    return;
  }
  ClockScope scope(*state_);  // counted before reading the clock, so that it cannot move in between
  clock.SleepUntil(clock.NowNs() + static_cast<uint64_t>(duration.count()), true);
}

bool Kernel::RunUntil(const std::function<bool()>& done, std::chrono::nanoseconds limit,
                      std::chrono::nanoseconds step) {
  if (step.count() <= 0) step = std::chrono::nanoseconds(1);
  for (std::chrono::nanoseconds waited{0};; waited += step) {
    if (done()) return true;
    if (waited >= limit) return false;
    RunFor(step);
  }
}

void Kernel::InOneCall(const std::function<void()>& steps) {
  ClockScope scope(*state_);
  steps();
}

std::thread Kernel::StartThread(std::function<void()> body) {
  Clock& clock = state_->clock;
  clock.CountStartingThread();
  return std::thread([&clock, body = std::move(body)] {
    clock.AdoptCount(Clock::Role::Other);
    struct Leave {
      Clock& clock;
      ~Leave() { clock.Leave(); }
    } leave{clock};
    body();
  });
}

uint32_t NtStatusToWin32Error(NTSTATUS status) {
  switch (static_cast<uint32_t>(status)) {
    case 0x00000000: return ERROR_SUCCESS;
    case 0xC0000034: return ERROR_FILE_NOT_FOUND;
    case 0xC000003A: return 3;  // ERROR_PATH_NOT_FOUND
    case 0xC0000022: return ERROR_ACCESS_DENIED;
    case 0xC0000008: return ERROR_INVALID_HANDLE;
    case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;
    case 0xC000000D: return ERROR_INVALID_PARAMETER;
    case 0xC0000010: return ERROR_INVALID_FUNCTION;
    case 0xC0000002: return ERROR_INVALID_FUNCTION;
    case 0xC00000BB: return ERROR_NOT_SUPPORTED;
    case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;
    case 0x80000005: return ERROR_MORE_DATA;
    case 0x80000011: return ERROR_BUSY;
    case 0xC000009A: return ERROR_NO_SYSTEM_RESOURCES;
    case 0xC000000E: return ERROR_BAD_DEVICE;
    case 0xC0000056: return ERROR_ACCESS_DENIED;
    case 0xC00002B6: return ERROR_DEVICE_REMOVED;
    case 0xC0000098: return 1006;  // ERROR_FILE_INVALID
    case 0xC0000024: return ERROR_INVALID_HANDLE;
    case 0xC0000005: return 998;  // ERROR_NOACCESS
    case 0xC0000120: return ERROR_OPERATION_ABORTED;
    default: return ERROR_MR_MID_NOT_FOUND;
  }
}

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

// Both images call it with the Windows x64 convention, whose variable
// arguments are 8-byte slots in memory.
ULONG DbgPrint(PCSTR Format, ...) {
  KernelState* k = KOrNull();
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  std::string text = rtl::FormatNarrowWindows(Format, args);
  __builtin_ms_va_end(args);
  if (k == nullptr) {
    std::fputs(text.c_str(), stderr);
    return STATUS_SUCCESS;
  }
  k->AppendDbg(k->ImageForAddress(WDMSIM_CALLER()), text);
  return STATUS_SUCCESS;
}

// An assertion in a checked build breaks into the debugger; with none
// attached the breakpoint is an unhandled kernel-mode exception.
VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCSTR Message) {
  std::string text = "*** Assertion failed: " + std::string(Message ? Message : "") +
                     static_cast<const char*>(FailedAssertion) + "\n***   Source File: " +
                     static_cast<const char*>(FileName) + ", line " + std::to_string(LineNumber) + "\n";
  KernelState& k = K();
  k.AppendDbg(k.ImageForAddress(WDMSIM_CALLER()), text);
  k.RaiseBugCheck(KMODE_EXCEPTION_NOT_HANDLED, 0x80000003, reinterpret_cast<ULONG_PTR>(WDMSIM_CALLER()),
                  0, 0, "assertion failed: " + std::string(static_cast<const char*>(FailedAssertion)));
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  K().RaiseBugCheck(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called by the driver");
}

}  // extern "C"
