// The user-memory guard and raised exceptions.
//
// Notes:
//  1. ExRaiseStatus inside a guard unwinds to it as a C++ exception (driver
//     images are built with unwind tables and hold no destructors); outside
//     any guard an exception in kernel mode stops the machine, as Windows
//     stops with KMODE_EXCEPTION_NOT_HANDLED.
//  2. A fault on a simulated user address inside a guard jumps back to the
//     guard (siglongjmp from the signal handler), as structured exception
//     handling would hand an access violation to the __except block. A fault
//     anywhere else is passed to the handler installed before ours.
#include <csignal>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "internal.h"
#include "ldr/seh.h"
#include "user/process_impl.h"

namespace wdmsim {

namespace {

struct RaisedStatus {
  NTSTATUS status;
};

struct GuardFrame {
  sigjmp_buf jump;
};

thread_local std::vector<GuardFrame*> tGuards;
struct sigaction gPrevious[2];
std::once_flag gInstallOnce;

void OnFault(int signal, siginfo_t* info, void* context) {
  if (IsSimulatedUserAddress(info->si_addr)) {
    if (!tGuards.empty()) siglongjmp(tGuards.back()->jump, 1);  // note 2
    if (ldr::DispatchFaultToImage(info->si_addr, static_cast<ucontext_t*>(context))) return;
    std::fprintf(stderr,
                 "*** STOP: 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA: kernel-mode access to user address %p "
                 "outside any exception guard\n",
                 info->si_addr);
    std::abort();
  }
  struct sigaction& previous = gPrevious[signal == SIGBUS ? 1 : 0];
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  } else {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

void InstallFaultHandler() {
  std::call_once(gInstallOnce, [] {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPrevious[0]);
    sigaction(SIGBUS, &action, &gPrevious[1]);
  });
}

}  // namespace

void InstallUserFaultHandler() { InstallFaultHandler(); }

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

VOID ExRaiseStatus(NTSTATUS Status) {
  if (tGuards.empty()) {  // note 1
    // Inside a call from a PE image: its own __except decides (ldr/seh.h).
    if (ldr::InnermostImportCall() != nullptr) throw ldr::ImageRaise{static_cast<uint32_t>(Status)};
    K().RaiseBugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(Status), 0, 0, 0,
                      "exception 0x" + Hex(static_cast<ULONG>(Status)).substr(8) + " raised outside any guard");
  }
  throw RaisedStatus{Status};
}

// The wdmsim side of the driver's guard primitive (see driverxilinx/guard.h).
BOOLEAN RunGuarded(void (*Routine)(PVOID), PVOID Context) {
  InstallFaultHandler();
  GuardFrame frame;
  tGuards.push_back(&frame);
  if (sigsetjmp(frame.jump, 1) != 0) {
    tGuards.pop_back();
    return TRUE;
  }
  try {
    Routine(Context);
  } catch (const RaisedStatus&) {
    tGuards.pop_back();
    return TRUE;
  }
  tGuards.pop_back();
  return FALSE;
}

}  // extern "C"
