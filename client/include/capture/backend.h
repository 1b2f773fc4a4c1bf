// What the client needs from the operating system: device handles, the
// control request, and events. One implementation talks to Windows, one to
// the simulated kernel; the card code above is the same for both.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/result.h"

namespace capture {

enum class WaitOutcome { kSignalled, kTimedOut };

class Backend {
 public:
  using Handle = std::uintptr_t;  // opaque; never the invalid handle value
  static constexpr std::chrono::milliseconds kInfinite = std::chrono::milliseconds::max();

  virtual ~Backend() = default;

  virtual std::string_view Name() const = 0;

  // Devices. Open takes a Win32 path ("\\.\Talvrex_v100-0").
  virtual Result<Handle> Open(std::u16string_view path) = 0;
  virtual Status Close(Handle handle) = 0;
  // DeviceIoControl; answers the bytes returned. On a failure the system
  // copies nothing back and the error carries only the Win32 error.
  virtual Result<uint32_t> Control(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                                   uint32_t outLength) = 0;

  // Events, for the transfer commands (closed with Close).
  virtual Result<Handle> NewEvent(bool manualReset, bool initiallySignalled) = 0;
  virtual Status SignalEvent(Handle event) = 0;
  virtual Status ClearEvent(Handle event) = 0;
  // Time-outs are rounded down to milliseconds; kInfinite waits for ever.
  virtual Result<WaitOutcome> Wait(Handle event, std::chrono::milliseconds timeout) = 0;
  // The value that names the event in a parameter block (hEvent).
  virtual uint64_t BlockValue(Handle event) const { return event; }

  // Read-write memory for transfers and pool copies, zeroed, at an address
  // below 4 GiB: the parameter block carries a user buffer's address in 32
  // bits (ulAddr). Use it through UserBuffer (capture/user_buffer.h). The
  // defaults refuse (kClient): a back end without user memory of its own.
  virtual Result<void*> AllocateLow(size_t size);
  virtual Status FreeLow(void* address);

  // Win32 paths of the devices that may be cards, for listing. By default
  // every product's instances 0..63; a back end that can see the object
  // manager's namespace answers the links that exist.
  virtual std::vector<std::u16string> CandidatePaths() const;

  // Processor time the system's own threads have spent so far running
  // driver code outside the caller's thread (DPCs, the poll, interrupt
  // routines), where the back end can tell; Windows charges it to no
  // process, so by default none.
  virtual std::optional<std::chrono::nanoseconds> SystemThreadsCpu() const { return std::nullopt; }
};

}  // namespace capture
