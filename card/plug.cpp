#include "card/plug.h"

#include <stdexcept>

namespace card {

wdmsim::PciFunctionFactory Factory(const CardOptions& options) {
  return [options](wdmsim::PciHost& host) { return std::make_shared<Card>(host, options); };
}

wdmsim::Slot& PlugCard(wdmsim::Kernel& kernel, wdmsim::DriverImage& driver, const CardOptions& options) {
  return kernel.PlugDevice(driver, Factory(options));
}

wdmsim::Slot& PlugCardWithoutDriver(wdmsim::Kernel& kernel, const CardOptions& options) {
  return kernel.PlugDeviceWithoutDriver(Factory(options));
}

NTSTATUS AddAndStartCard(wdmsim::Kernel& kernel, wdmsim::DriverImage& driver, wdmsim::Slot** slot,
                         const CardOptions& options) {
  return kernel.AddAndStartDevice(driver, slot, Factory(options));
}

std::shared_ptr<Card> SharedCardIn(const wdmsim::Slot& slot) {
  auto card = std::dynamic_pointer_cast<Card>(slot.function);
  if (!card) throw std::logic_error("slot " + std::to_string(slot.number) + " holds no simulated card");
  return card;
}

Card& CardIn(const wdmsim::Slot& slot) { return *SharedCardIn(slot); }

}  // namespace card
