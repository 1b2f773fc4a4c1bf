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

}  // namespace capture
