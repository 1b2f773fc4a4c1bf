// Configuration space as the platform reads it: the type-0 header fields the
// bus driver and the HAL use, BAR decoding and the capability list, over any
// device model's ConfigRead and ConfigWrite.
#pragma once

#include <cstdint>

#include "wdmsim/pci.h"

namespace wdmsim::pci {

constexpr uint32_t kCommand = 0x04;
constexpr uint16_t kCommandMemory = 0x0002;
constexpr uint16_t kCommandBusMaster = 0x0004;
constexpr uint32_t kStatus = 0x06;
constexpr uint16_t kStatusCapabilityList = 0x0010;
constexpr uint32_t kBar0 = 0x10;
constexpr int kBarCount = 6;
constexpr uint32_t kBarFlagsMask = 0xF;
constexpr uint32_t kBarIoSpace = 0x1;
constexpr uint32_t kBarPrefetchable = 0x8;
constexpr uint32_t kCapabilityPointer = 0x34;
constexpr uint32_t kInterruptLine = 0x3C;

// Message-signalled interrupt capability: control at +2, then the address
// (low, and high when the 64-bit bit is set) and the data.
constexpr uint8_t kCapIdMsi = 0x05;
constexpr uint32_t kMsiControlOffset = 2;
constexpr uint16_t kMsiControlEnable = 0x0001;
constexpr unsigned kMsiCapableShift = 1;  // bits 3..1: log2 of the messages the device can send
constexpr unsigned kMsiGrantedShift = 4;  // bits 6..4: log2 of the messages granted
constexpr uint16_t kMsiControl64Bit = 0x0080;

inline uint32_t ConfigRead32(PciFunction& function, uint32_t offset) {
  uint8_t b[4] = {};
  function.ConfigRead(offset, b, sizeof(b));
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

inline void ConfigWrite32(PciFunction& function, uint32_t offset, uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  function.ConfigWrite(offset, b, sizeof(b));
}

inline uint16_t ConfigRead16(PciFunction& function, uint32_t offset) {
  uint8_t b[2] = {};
  function.ConfigRead(offset, b, sizeof(b));
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

// The base a memory BAR decodes as its register stands.
inline uint64_t BarBase(PciFunction& function, int bar) {
  return ConfigRead32(function, kBar0 + 4 * static_cast<uint32_t>(bar)) & ~kBarFlagsMask;
}

// Offset of the first capability with `id`, or 0. The walk is bounded, so
// a list that loops (or an absent device's all ones) ends it.
inline uint32_t FindCapability(PciFunction& function, uint8_t id) {
  if ((ConfigRead16(function, kStatus) & kStatusCapabilityList) == 0) return 0;
  uint8_t at = 0;
  function.ConfigRead(kCapabilityPointer, &at, 1);
  for (int hops = 0; hops < 48 && at >= 0x40; ++hops) {
    at &= 0xFC;
    uint8_t header[2] = {};
    function.ConfigRead(at, header, sizeof(header));
    if (header[0] == id) return at;
    at = header[1];
  }
  return 0;
}

}  // namespace wdmsim::pci
