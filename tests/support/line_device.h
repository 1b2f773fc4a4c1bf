// A simple device for tests of shared interrupt lines: it asserts its
// level-sensitive line when told to and holds it until its own interrupt
// routine acknowledges the interrupt, as most devices do (a status register
// read and cleared). It has no BARs and no driver.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "wdmsim/kernel.h"
#include "wdmsim/pci.h"

namespace support {

class LineDevice : public wdmsim::PciFunction {
 public:
  explicit LineDevice(wdmsim::PciHost& host) : host_(host) {
    const uint16_t vendor = 0x1AF4, device = 0x7001;
    std::memcpy(config_, &vendor, 2);
    std::memcpy(config_ + 2, &device, 2);
    config_[0x3C] = 0x0B;  // interrupt line
    config_[0x3D] = 0x01;  // INTA
  }
  static wdmsim::PciFunctionFactory Factory(LineDevice** made) {
    return [made](wdmsim::PciHost& host) {
      auto device = std::make_shared<LineDevice>(host);
      *made = device.get();
      return device;
    };
  }

  size_t ConfigRead(uint32_t offset, void* buffer, size_t length) override {
    size_t n = offset < sizeof(config_) ? std::min(length, sizeof(config_) - offset) : 0;
    std::memcpy(buffer, config_ + offset, n);
    return n;
  }
  size_t ConfigWrite(uint32_t offset, const void*, size_t length) override {
    return offset < sizeof(config_) ? std::min(length, sizeof(config_) - offset) : 0;  // nothing writable
  }
  uint32_t MmioRead32(int, uint64_t) override { return 0xFFFFFFFF; }
  void MmioWrite32(int, uint64_t, uint32_t) override {}

  // The device wants service: its line goes up and stays up.
  void Raise() {
    pending_ = true;
    host_.SetLineInterrupt(true);
  }
  // What its interrupt routine does: true (claimed) only when the device
  // had raised the line, which then drops.
  bool Acknowledge() {
    if (!pending_.exchange(false)) return false;
    host_.SetLineInterrupt(false);
    ++served_;
    return true;
  }
  int served() const { return served_; }

 private:
  wdmsim::PciHost& host_;
  uint8_t config_[256] = {};
  std::atomic<bool> pending_{false};
  std::atomic<int> served_{0};
};

// The device's interrupt routine.
inline BOOLEAN NTAPI LineDeviceIsr(PKINTERRUPT, PVOID context) {
  return static_cast<LineDevice*>(context)->Acknowledge() ? TRUE : FALSE;
}

// Plugs a LineDevice on `card`'s line and connects its routine after the
// routines already there. Returns the device; *object is its connection.
inline LineDevice* PlugNeighbour(wdmsim::Kernel& kernel, const wdmsim::Slot& card, PKINTERRUPT* object) {
  LineDevice* device = nullptr;
  wdmsim::Slot& slot = kernel.PlugDeviceOnLineOf(card, LineDevice::Factory(&device));
  *object = nullptr;
  IoConnectInterrupt(object, LineDeviceIsr, device, nullptr, slot.interruptVector, slot.interruptIrql,
                     slot.interruptIrql, LevelSensitive, TRUE, 1, FALSE);
  return device;
}

}  // namespace support
