// DMA resources, transfer set-up, interrupt routines, DPCs and the
// completion poll.
#include "driver.h"

// The transfer watchdog: nothing arms its timer yet.
VOID WatchdogDpc_func(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(DeferredContext);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
}

// The completion poll: armed by the first transfer set-up, which arrives
// with the DMA commands.
VOID checkDpc_func(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(DeferredContext);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
}

// Message-interrupt DPC: queued by the message interrupt routine, which
// arrives with interrupt support.
VOID msiDpc_func(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(DeferredContext);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
}

// User buffers are locked per transfer; no transfer locks one yet, so the
// pointers stay null and there is nothing to release.
VOID UnlockUserBuffer_DmaRead(PDEVICE_EXTENSION Extension) { UNREFERENCED_PARAMETER(Extension); }
VOID UnlockUserBuffer_DmaWrite(PDEVICE_EXTENSION Extension) { UNREFERENCED_PARAMETER(Extension); }
