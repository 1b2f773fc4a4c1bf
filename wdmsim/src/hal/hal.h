// The HAL and memory-manager pieces that other wdmsim components use.
#pragma once

#include <string>
#include <vector>

#include "internal.h"

namespace wdmsim::hal {

// Verifier: what a card's drivers still hold of the card's resources
// (mapped windows, DMA adapters, common buffers, MDLs over them, interrupt
// connections), one line each. Called once the card's device stack has
// processed its remove request.
std::vector<std::string> LeaksForSlot(const Slot& slot);

}  // namespace wdmsim::hal
