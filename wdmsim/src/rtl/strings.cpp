// Counted-string initialisation and the bounded wide-string routines. In the
// kit the safe-string routines are header inlines over _vsnwprintf; here they
// are implemented once, with the same truncation, termination and statuses.
#include <cstring>
#include <string>

#include "rtl/format.h"
#include "wdmsim/ntstrsafe.h"

namespace {

// A UNICODE_STRING counts bytes in a USHORT; the longest even length that
// still leaves room for the terminator in MaximumLength is 0xFFFC.
constexpr size_t kMaxUnicodeStringBytes = 0xFFFC;

// Units before the terminator, looking at no more than `limit` units.
// Returns `limit` when there is no terminator within them.
size_t BoundedLength(PCWSTR s, size_t limit) {
  size_t n = 0;
  while (n < limit && s[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t bytes = 0;
  if (SourceString != nullptr) {
    bytes = BoundedLength(SourceString, kMaxUnicodeStringBytes / sizeof(WCHAR) + 1) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeStringBytes) bytes = kMaxUnicodeStringBytes;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else {
    DestinationString->MaximumLength = 0;
  }
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  size_t cchDest = cbDest / sizeof(WCHAR);
  if (cchDest == 0 || pszDest == nullptr) return STATUS_INVALID_PARAMETER;
  if (cchDest > NTSTRSAFE_MAX_CCH || pszFormat == nullptr) {
    pszDest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }

  __builtin_ms_va_list args;  // the Windows x64 convention, as every kernel routine
  __builtin_ms_va_start(args, pszFormat);
  std::u16string text = wdmsim::rtl::FormatWideWindows(reinterpret_cast<const char16_t*>(pszFormat), args);
  __builtin_ms_va_end(args);

  // The result must fit together with its terminator; otherwise the buffer
  // gets as much as fits, still terminated.
  NTSTATUS status = STATUS_SUCCESS;
  size_t n = text.size();
  if (n > cchDest - 1) {
    n = cchDest - 1;
    status = STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(pszDest, text.data(), n * sizeof(WCHAR));
  pszDest[n] = 0;
  return status;
}

NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  size_t cch = 0;
  if (psz != nullptr && cbMax <= static_cast<size_t>(NTSTRSAFE_MAX_CCH) * sizeof(WCHAR)) {
    size_t cchMax = cbMax / sizeof(WCHAR);
    cch = BoundedLength(psz, cchMax);
    // The terminator itself must lie within cbMax.
    if (cch < cchMax) {
      status = STATUS_SUCCESS;
    } else {
      cch = 0;
    }
  }
  if (pcbLength != nullptr) *pcbLength = cch * sizeof(WCHAR);
  return status;
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  if (cchDest == 0 || pszDest == nullptr) return STATUS_INVALID_PARAMETER;
  if (cchDest > NTSTRSAFE_MAX_CCH || pszSrc == nullptr) {
    pszDest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = BoundedLength(pszSrc, cchDest);
  NTSTATUS status = STATUS_SUCCESS;
  if (n == cchDest) {  // no room for the terminator: keep cchDest - 1 units
    n = cchDest - 1;
    status = STATUS_BUFFER_OVERFLOW;
  }
  std::memmove(pszDest, pszSrc, n * sizeof(WCHAR));
  pszDest[n] = 0;
  return status;
}

}  // extern "C"
