// The bounded wide-string routines of the kit's safe-string family that our
// drivers use. In the kit they are header inlines over _vsnwprintf; wdmsim
// implements them once with the same results, truncation and statuses.
#ifndef WDMSIM_NTSTRSAFE_H
#define WDMSIM_NTSTRSAFE_H

#include "ntddk.h"

#define NTSTRSAFE_MAX_CCH 2147483647

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS NTAPI RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS NTAPI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS NTAPI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);

#ifdef __cplusplus
}
#endif

#endif  // WDMSIM_NTSTRSAFE_H
