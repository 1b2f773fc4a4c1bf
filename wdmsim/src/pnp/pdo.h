// The device extension of the bus driver's physical device objects.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
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
  // Kernel::SetBusBehaviour: requests answered from another thread after
  // STATUS_PENDING, minor codes refused, and a look at each request as it
  // arrives.
  bool pend = false;
  std::vector<UCHAR> failMinors;
  std::function<void(UCHAR)> onRequest;
  // The threads that complete pended requests; joined once done, and all of
  // them when the device goes. Requests reach the bus driver from several
  // threads at once (a configuration read of a control request during a
  // power request's), so the list and minorsSeen are kept under `lock`.
  std::mutex lock;
  struct Completer {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Completer> completers;
  ~PdoExtension() {
    for (auto& c : completers) c.thread.join();
  }
  DEVICE_POWER_STATE devicePowerState = PowerDeviceD0;
  size_t lastConfigBytes = 0;
  std::vector<UCHAR> minorsSeen;  // Plug and Play minor codes that reached the bus driver
  std::u16string name;
};

// Puts a new device model made by `make` (pci_slot.cpp) in `slot`, whose
// number and physical device object are set: BARs assigned, the line
// routed, configuration requests of the physical device object reaching
// the model.
// `lineOf`: route the line to that slot's vector instead of one of its own.
void AttachFunction(KernelState& k, Slot& slot, PdoExtension& ext, const PciFunctionFactory& make,
                    const Slot* lineOf = nullptr);

}  // namespace wdmsim::pnp
