#include <fmt/format.h>

#include "capture/result.h"
#include "interface/ioctl.h"

namespace capture {

Error Error::System(uint32_t win32Error, std::string operation, std::optional<uint32_t> ntStatus) {
  Error error(ErrorKind::kSystem, win32Error, std::move(operation), {});
  error.ntStatus_ = ntStatus;
  return error;
}

Error Error::WithOperation(std::string operation) const {
  Error error = *this;
  error.operation_ = std::move(operation);
  return error;
}

Error Error::WithAdvice(std::string advice) const {
  Error error = *this;
  if (kind_ == ErrorKind::kSystem) error.detail_ = std::move(advice);
  return error;
}

Error Error::Command(uint32_t resultCode, std::string operation) {
  return Error(ErrorKind::kCommand, resultCode, std::move(operation), {});
}

Error Error::Client(std::string operation, std::string detail) {
  return Error(ErrorKind::kClient, 0, std::move(operation), std::move(detail));
}

Error Error::TimedOut(std::string operation, std::string detail) {
  return Error(ErrorKind::kTimedOut, 0, std::move(operation), std::move(detail));
}

std::string Error::message() const {
  std::string what;
  switch (kind_) {
    case ErrorKind::kSystem:
      what = ntStatus_ ? fmt::format("{} (Win32 error {}, NTSTATUS 0x{:08X})", Win32ErrorText(code_), code_, *ntStatus_)
                       : fmt::format("{} (Win32 error {})", Win32ErrorText(code_), code_);
      if (!detail_.empty()) what += ": " + detail_;
      break;
    case ErrorKind::kCommand: what = fmt::format("the driver answered {} (result {})", ResultCodeText(code_), code_); break;
    case ErrorKind::kClient:
    case ErrorKind::kTimedOut: what = detail_; break;
  }
  return operation_.empty() ? what : operation_ + ": " + what;
}

// The errors a device's open and control requests come back with; the texts
// follow the system's own messages.
std::string Win32ErrorText(uint32_t win32Error) {
  switch (win32Error) {
    case 0: return "the operation completed successfully";
    case 1: return "incorrect function";
    case 2: return "the system cannot find the file specified";
    case 3: return "the system cannot find the path specified";
    case 5: return "access is denied";
    case 6: return "the handle is invalid";
    case 8: return "not enough memory resources are available to process this command";
    case 21: return "the device is not ready";
    case 31: return "a device attached to the system is not functioning";
    case 32: return "the process cannot access the file because it is being used by another process";
    case 50: return "the request is not supported";
    case 87: return "the parameter is incorrect";
    case 122: return "the data area passed to a system call is too small";
    case 170: return "the requested resource is in use";
    case 234: return "more data is available";
    case 317: return "the system cannot find message text for this status";
    case 995: return "the I/O operation has been aborted";
    case 998: return "invalid access to memory location";
    case 1167: return "the device is not connected";
    case 1200: return "the specified device name is invalid";
    case 1450: return "insufficient system resources exist to complete the requested service";
    case 1460: return "this operation returned because the time-out period expired";
    case 1617: return "the device has been removed";
    default: return "unknown error";
  }
}

std::string ResultCodeText(uint32_t resultCode) {
  switch (resultCode) {
    case RESULT_SUCCESS: return "success";
    case RESULT_EVENT_NOT_REFERENCED: return "event not referenced";
    case RESULT_DMAREAD_FAILED: return "DMA read failed";
    case RESULT_DMAWRITE_TOO_LONG: return "DMA write too long";
    case RESULT_UNKNOWN_COMMAND: return "unknown command";
    case RESULT_NOT_IMPLEMENTED: return "not implemented";
    case RESULT_POOL_NO_COPY: return "pool buffer not copied";
    default: return "an unknown result code";
  }
}

}  // namespace capture
