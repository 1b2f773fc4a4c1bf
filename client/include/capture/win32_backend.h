// The back end for Windows: the Win32 calls of the calling process.
#pragma once

#include "capture/backend.h"

namespace capture {

class Win32Backend final : public Backend {
 public:
  std::string_view Name() const override { return "win32"; }
  Result<Handle> Open(std::u16string_view path) override;
  Status Close(Handle handle) override;
  Result<uint32_t> Control(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                           uint32_t outLength) override;
  Result<Handle> NewEvent(bool manualReset, bool initiallySignalled) override;
  Status SignalEvent(Handle event) override;
  Status ClearEvent(Handle event) override;
  Result<WaitOutcome> Wait(Handle event, std::chrono::milliseconds timeout) override;
  // VirtualAlloc at a free address below 4 GiB, found by walking the
  // address space (see win32_backend.cpp).
  Result<void*> AllocateLow(size_t size) override;
  Status FreeLow(void* address) override;
};

}  // namespace capture
