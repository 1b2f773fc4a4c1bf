#include "capture/wdmsim_backend.h"

#include <algorithm>

#include "capture/products.h"
#include "wdmsim/kernel.h"

namespace capture {

namespace {

HANDLE ToHandle(Backend::Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Backend::Handle FromHandle(HANDLE handle) { return reinterpret_cast<Backend::Handle>(handle); }

// The failed call's Win32 error, and the kernel's status behind it when
// there is one.
Error LastError(const wdmsim::Process& process, std::string call) {
  const NTSTATUS status = process.GetLastNtStatus();
  return Error::System(process.GetLastError(), std::move(call),
                       status != STATUS_SUCCESS ? std::optional<uint32_t>(static_cast<uint32_t>(status)) : std::nullopt);
}

uint32_t Milliseconds(std::chrono::milliseconds timeout) {
  if (timeout == Backend::kInfinite || timeout.count() >= wdmsim::INFINITE) return wdmsim::INFINITE;
  return static_cast<uint32_t>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0));
}

}  // namespace

WdmsimBackend::WdmsimBackend(wdmsim::Kernel& kernel) : WdmsimBackend(kernel, kernel.DefaultProcess()) {}

WdmsimBackend::WdmsimBackend(wdmsim::Kernel& kernel, wdmsim::Process& process) : kernel_(kernel), process_(process) {}

Result<Backend::Handle> WdmsimBackend::Open(std::u16string_view path) {
  HANDLE handle = process_.CreateFileW(path);
  if (handle == wdmsim::INVALID_HANDLE_VALUE) return LastError(process_, "CreateFileW");
  return FromHandle(handle);
}

Status WdmsimBackend::Close(Handle handle) {
  if (!process_.CloseHandle(ToHandle(handle))) return Error::System(process_.GetLastError(), "CloseHandle");
  return {};
}

Result<uint32_t> WdmsimBackend::Control(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                                        uint32_t outLength) {
  uint32_t returned = 0;
  if (!process_.DeviceIoControl(ToHandle(device), code, in, inLength, out, outLength, &returned)) {
    return LastError(process_, "DeviceIoControl");
  }
  return returned;
}

Result<Backend::Handle> WdmsimBackend::NewEvent(bool manualReset, bool initiallySignalled) {
  HANDLE event = process_.CreateEventW(manualReset, initiallySignalled);
  if (event == nullptr) return Error::System(process_.GetLastError(), "CreateEventW");
  return FromHandle(event);
}

Status WdmsimBackend::SignalEvent(Handle event) {
  if (!process_.SetEvent(ToHandle(event))) return Error::System(process_.GetLastError(), "SetEvent");
  return {};
}

Status WdmsimBackend::ClearEvent(Handle event) {
  if (!process_.ResetEvent(ToHandle(event))) return Error::System(process_.GetLastError(), "ResetEvent");
  return {};
}

Result<WaitOutcome> WdmsimBackend::Wait(Handle event, std::chrono::milliseconds timeout) {
  switch (process_.WaitForSingleObject(ToHandle(event), Milliseconds(timeout))) {
    case wdmsim::WAIT_OBJECT_0: return WaitOutcome::kSignalled;
    case wdmsim::WAIT_TIMEOUT: return WaitOutcome::kTimedOut;
    default: return Error::System(process_.GetLastError(), "WaitForSingleObject");
  }
}

std::optional<std::chrono::nanoseconds> WdmsimBackend::SystemThreadsCpu() const {
  return std::chrono::nanoseconds(kernel_.KernelThreadCpu().total());
}

Result<void*> WdmsimBackend::AllocateLow(size_t size) {
  void* memory = process_.VirtualAlloc(size, wdmsim::PAGE_READWRITE);
  if (memory == nullptr) return Error::System(wdmsim::ERROR_NOT_ENOUGH_MEMORY, "VirtualAlloc");
  return memory;
}

Status WdmsimBackend::FreeLow(void* address) {
  if (!process_.VirtualFree(address)) return Error::System(wdmsim::ERROR_INVALID_PARAMETER, "VirtualFree");
  return {};
}

std::vector<std::u16string> WdmsimBackend::CandidatePaths() const {
  std::vector<std::pair<DeviceName, std::u16string>> found;
  for (const std::u16string& link : kernel_.NamesIn(u"\\DosDevices")) {
    auto name = ParseDeviceName(wdmsim::Narrow(link));
    if (name) found.emplace_back(*name, u"\\\\.\\" + link);
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return a.first.product != b.first.product ? a.first.product->name < b.first.product->name
                                              : a.first.instance < b.first.instance;
  });
  std::vector<std::u16string> paths;
  for (auto& [name, path] : found) paths.push_back(std::move(path));
  return paths;
}

}  // namespace capture
