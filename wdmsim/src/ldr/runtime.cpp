// The compiler runtime routines a Windows driver image imports from the
// kernel (ntoskrnl.exe exports them): memcpy, memset, _vsnwprintf and the
// language exception handler. They take the Windows x64 calling convention
// and are reached only through an image's import slots, never by their C
// names, which in this process belong to the host's C library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ldr/pe_image.h"
#include "rtl/format.h"

namespace wdmsim::ldr {

namespace {

#define WINDOWS_ABI __attribute__((ms_abi))

WINDOWS_ABI void* Memcpy(void* destination, const void* source, size_t count) {
  return std::memcpy(destination, source, count);
}

// RtlCopyMemory is a routine of the kernel on x64 (the kit's macro maps to
// it when a driver takes its address), and overlapping copies are allowed.
WINDOWS_ABI void* Memmove(void* destination, const void* source, size_t count) {
  return std::memmove(destination, source, count);
}

WINDOWS_ABI void* Memset(void* destination, int value, size_t count) {
  return std::memset(destination, value, count);
}

// _vsnwprintf: at most `count` units. Text that fits with room to spare is
// terminated; text of exactly `count` units is not; longer text is cut at
// `count` units and -1 returned.
WINDOWS_ABI int Vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, __builtin_ms_va_list args) {
  const std::u16string text = rtl::FormatWideWindows(format, args);
  if (buffer == nullptr && count == 0) return static_cast<int>(text.size());
  const size_t copied = std::min(text.size(), count);
  std::memcpy(buffer, text.data(), copied * sizeof(char16_t));
  if (text.size() < count) buffer[text.size()] = 0;
  return text.size() <= count ? static_cast<int>(text.size()) : -1;
}

// wdmsim's dispatcher reads the image's scope tables itself (ldr/seh.h) and
// never calls the handler through the slot: reaching it means the image
// called it directly.
WINDOWS_ABI int CSpecificHandler(void*, void*, void*, void*) {
  std::fprintf(stderr, "wdmsim: __C_specific_handler called directly by the image\n");
  std::abort();
}

}  // namespace

void* RuntimeExport(const std::string& name) {
  if (name == "memcpy") return reinterpret_cast<void*>(&Memcpy);
  if (name == "memmove" || name == "RtlCopyMemory" || name == "RtlMoveMemory") return reinterpret_cast<void*>(&Memmove);
  if (name == "memset") return reinterpret_cast<void*>(&Memset);
  if (name == "_vsnwprintf") return reinterpret_cast<void*>(&Vsnwprintf);
  if (name == "__C_specific_handler") return reinterpret_cast<void*>(&CSpecificHandler);
  return nullptr;
}

}  // namespace wdmsim::ldr
