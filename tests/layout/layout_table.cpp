// The table of layout_fields.h as the kit's headers give it, compiled by the
// cross compiler into a section of its own, which the build copies out of
// the object file for the layout test to compare with wdmsim's.
#include <stddef.h>

// mingw's <ntddk.h> redeclares two intrinsics that g++ already provides.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#define SIZE(type) sizeof(type),
#define FIELD(type, member) offsetof(type, member),
extern "C" __attribute__((section(".layout"), used)) const unsigned long long kLayoutTable[] = {
#include "layout_fields.h"
};
