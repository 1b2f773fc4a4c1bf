#include "capture/win32_backend.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <string>

namespace capture {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

HANDLE ToHandle(Backend::Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Backend::Handle FromHandle(HANDLE handle) { return reinterpret_cast<Backend::Handle>(handle); }

Error LastError(const char* call) { return Error::System(::GetLastError(), call); }

DWORD Milliseconds(std::chrono::milliseconds timeout) {
  if (timeout == Backend::kInfinite || timeout.count() >= static_cast<std::chrono::milliseconds::rep>(INFINITE)) {
    return INFINITE;
  }
  return static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0));
}

}  // namespace

Result<Backend::Handle> Win32Backend::Open(std::u16string_view path) {
  std::wstring wide(path.begin(), path.end());
  HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError("CreateFileW");
  return FromHandle(handle);
}

Status Win32Backend::Close(Handle handle) {
  if (!::CloseHandle(ToHandle(handle))) return LastError("CloseHandle");
  return {};
}

Result<uint32_t> Win32Backend::Control(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                                       uint32_t outLength) {
  DWORD returned = 0;
  if (!::DeviceIoControl(ToHandle(device), code, const_cast<void*>(in), inLength, out, outLength, &returned,
                         nullptr)) {
    return LastError("DeviceIoControl");
  }
  return static_cast<uint32_t>(returned);
}

Result<Backend::Handle> Win32Backend::NewEvent(bool manualReset, bool initiallySignalled) {
  HANDLE event = ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySignalled ? TRUE : FALSE, nullptr);
  if (event == nullptr) return LastError("CreateEventW");
  return FromHandle(event);
}

Status Win32Backend::SignalEvent(Handle event) {
  if (!::SetEvent(ToHandle(event))) return LastError("SetEvent");
  return {};
}

Status Win32Backend::ClearEvent(Handle event) {
  if (!::ResetEvent(ToHandle(event))) return LastError("ResetEvent");
  return {};
}

Result<WaitOutcome> Win32Backend::Wait(Handle event, std::chrono::milliseconds timeout) {
  switch (::WaitForSingleObject(ToHandle(event), Milliseconds(timeout))) {
    case WAIT_OBJECT_0: return WaitOutcome::kSignalled;
    case WAIT_TIMEOUT: return WaitOutcome::kTimedOut;
    default: return LastError("WaitForSingleObject");
  }
}

// A 64-bit process gets low addresses from a plain VirtualAlloc only by
// chance (small allocations early in its life usually land there; large
// ones and MEM_TOP_DOWN ones do not). So the reservation is made at an
// address chosen below 4 GiB: walk the regions from the lowest usable
// address, and try each free one that can hold the size at an allocation
// granularity boundary. Another thread may take a region between the query
// and the allocation: the walk then goes on past it.
Result<void*> Win32Backend::AllocateLow(size_t size) {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  const uintptr_t page = info.dwPageSize;
  const uintptr_t granularity = info.dwAllocationGranularity;
  const uintptr_t limit = uintptr_t{1} << 32;
  const uintptr_t bytes = (size + page - 1) & ~(page - 1);
  auto roundUp = [granularity](uintptr_t a) { return (a + granularity - 1) & ~(granularity - 1); };
  uintptr_t address = roundUp(std::max(reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress), granularity));
  while (bytes != 0 && address < limit && bytes <= limit - address) {
    MEMORY_BASIC_INFORMATION region;
    if (::VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof(region)) == 0) break;
    const uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (region.State == MEM_FREE) {
      const uintptr_t start = roundUp(address);
      if (start < end && bytes <= end - start && bytes <= limit - start) {
        void* memory = ::VirtualAlloc(reinterpret_cast<void*>(start), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (memory != nullptr) return memory;
      }
    }
    if (end <= address) break;
    address = end;
  }
  return Error::System(ERROR_NOT_ENOUGH_MEMORY, "VirtualAlloc below 4 GiB");
}

Status Win32Backend::FreeLow(void* address) {
  if (!::VirtualFree(address, 0, MEM_RELEASE)) return LastError("VirtualFree");
  return {};
}

}  // namespace capture
