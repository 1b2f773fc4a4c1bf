// The simulated card on wdmsim's PCI bus: a factory for the bus, and the
// plugging calls tests, the tool, the demo and the benchmark use, with the
// card::Card back for fault injection and inspection.
#ifndef CARD_PLUG_H
#define CARD_PLUG_H

#include <memory>

#include "card/card.h"
#include "wdmsim/kernel.h"
#include "wdmsim/pci.h"

namespace card {

// Makes a card with `options` in whatever slot the bus puts it.
wdmsim::PciFunctionFactory Factory(const CardOptions& options = {});

// Kernel::PlugDevice, PlugDeviceWithoutDriver and AddAndStartDevice with a card.
wdmsim::Slot& PlugCard(wdmsim::Kernel& kernel, wdmsim::DriverImage& driver, const CardOptions& options = {});
wdmsim::Slot& PlugCardWithoutDriver(wdmsim::Kernel& kernel, const CardOptions& options = {});
NTSTATUS AddAndStartCard(wdmsim::Kernel& kernel, wdmsim::DriverImage& driver, wdmsim::Slot** slot,
                         const CardOptions& options = {});

// The card in `slot`. Throws std::logic_error when the slot holds another
// device model, or none.
Card& CardIn(const wdmsim::Slot& slot);
std::shared_ptr<Card> SharedCardIn(const wdmsim::Slot& slot);

}  // namespace card

#endif  // CARD_PLUG_H
