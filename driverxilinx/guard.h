// The user-memory guard: the one place where the driver touches user
// memory (probe, lock, copy). RunGuarded calls Routine(Context) and reports
// whether an exception was raised inside it, as __try/__except with a filter
// that takes every exception would; execution continues after the call
// either way.
//
// On Windows it is a small x64 routine with structured-exception unwind data
// handled by the kernel's __C_specific_handler (guard_x64.S); under wdmsim
// the simulated kernel provides it (a raise or a fault on a user address
// inside the routine returns to the guard).
#ifndef DRIVERXILINX_GUARD_H
#define DRIVERXILINX_GUARD_H

#include "platform.h"

typedef VOID GUARDED_ROUTINE(PVOID Context);

// TRUE when Routine raised an exception (and did not run to its end).
extern "C" BOOLEAN RunGuarded(GUARDED_ROUTINE* Routine, PVOID Context);

#endif  // DRIVERXILINX_GUARD_H
