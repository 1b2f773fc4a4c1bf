// The back end for the simulated kernel: a wdmsim process's Win32 calls.
#pragma once

#include "capture/backend.h"

namespace wdmsim {
class Kernel;
class Process;
}  // namespace wdmsim

namespace capture {

class WdmsimBackend final : public Backend {
 public:
  // Acts as the kernel's default process, or as `process`. Both must outlive
  // the back end and everything opened through it.
  explicit WdmsimBackend(wdmsim::Kernel& kernel);
  WdmsimBackend(wdmsim::Kernel& kernel, wdmsim::Process& process);

  std::string_view Name() const override { return "wdmsim"; }
  Result<Handle> Open(std::u16string_view path) override;
  Status Close(Handle handle) override;
  Result<uint32_t> Control(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                           uint32_t outLength) override;
  Result<Handle> NewEvent(bool manualReset, bool initiallySignalled) override;
  Status SignalEvent(Handle event) override;
  Status ClearEvent(Handle event) override;
  Result<WaitOutcome> Wait(Handle event, std::chrono::milliseconds timeout) override;
  // The process's VirtualAlloc: below 4 GiB, between guard pages.
  Result<void*> AllocateLow(size_t size) override;
  Status FreeLow(void* address) override;
  // The symbolic links in \DosDevices that name cards.
  std::vector<std::u16string> CandidatePaths() const override;
  // The kernel's DPC, timer and interrupt threads (not the card models').
  std::optional<std::chrono::nanoseconds> SystemThreadsCpu() const override;

 private:
  wdmsim::Kernel& kernel_;
  wdmsim::Process& process_;
};

}  // namespace capture
