// One control request from user mode and its reply, decoded. Needs only
// the control interface, so a suite that drives every product's image
// without any product's driver header can use it.
#pragma once

#include <cstdint>
#include <cstring>

#include "interface/ioctl.h"
#include "wdmsim/kernel.h"

namespace support {

// What DeviceIoControl gave back: whether it succeeded, GetLastError, the
// bytes returned, and the block as the driver left it (bytes it did not
// write read 0x55). Family B uses the block's first 24 bytes.
struct Reply {
  bool ok = false;
  uint32_t error = 0;
  uint32_t returned = 0;
  IOCTL_BUFFER_A block{};
};

inline Reply Call(wdmsim::Process& process, HANDLE handle, const IOCTL_BUFFER_A& in,
                  uint32_t inLength = IOCTL_BUFFER_SIZE_A, uint32_t outLength = IOCTL_BUFFER_SIZE_A,
                  uint32_t code = IOCTL_COMMAND) {
  Reply r;
  std::memset(&r.block, 0x55, sizeof(r.block));
  IOCTL_BUFFER_A copy = in;
  r.ok = process.DeviceIoControl(handle, code, &copy, inLength, &r.block, outLength, &r.returned);
  r.error = process.GetLastError();
  return r;
}

}  // namespace support
