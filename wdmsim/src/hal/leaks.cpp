#include "hal/hal.h"

namespace wdmsim::hal {

std::vector<std::string> LeaksForSlot(const Slot& slot) {
  (void)slot;
  return {};
}

}  // namespace wdmsim::hal
