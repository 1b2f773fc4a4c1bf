// The device extension of the bus driver's physical device objects.
#pragma once

#include <memory>
#include <vector>

#include "internal.h"

namespace wdmsim::pnp {

// Configuration space of whatever sits in the slot.
class ConfigSpace {
 public:
  virtual ~ConfigSpace() = default;
  virtual size_t Read(ULONG offset, void* buffer, ULONG length) = 0;
  virtual size_t Write(ULONG offset, const void* buffer, ULONG length) = 0;
};

struct PdoExtension {
  Slot* slot = nullptr;
  unsigned slotNumber = 0;
  std::shared_ptr<ConfigSpace> config;
  bool started = false;
  bool failStart = false;
  DEVICE_POWER_STATE devicePowerState = PowerDeviceD0;
  size_t lastConfigBytes = 0;
  std::vector<UCHAR> minorsSeen;  // Plug and Play minor codes that reached the bus driver
  std::u16string name;
};

// Puts a new device model made by `make` (pci_slot.cpp) in `slot`, whose
// number and physical device object are set: BARs assigned, the line
// routed, configuration requests of the physical device object reaching
// the model.
void AttachFunction(KernelState& k, Slot& slot, PdoExtension& ext, const PciFunctionFactory& make);

}  // namespace wdmsim::pnp
