// The DMA start registers the transfer commands store a buffer's bus
// address into. They belong to the card's firmware, not to the driver: the
// command line names them, else the simulated card's DMA engine under --sim,
// else the product table (driverxilinx/products.tsv); a real card whose
// product names none needs the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "capture/products.h"
#include "capture/result.h"

namespace capture_tool {

enum class Engine { kCapture, kPlayout, kLoopback };

struct StartRegisters {
  std::optional<uint32_t> capture, playout, loopback;
  std::optional<uint32_t> Of(Engine engine) const;
};

// `given`: the command line's, if any. `simulated`: the simulated card's
// registers on --sim runs, none otherwise. `option`: the option that names
// this register, for the message when nothing does.
capture::Result<uint32_t> StartRegister(Engine engine, std::optional<uint32_t> given, const StartRegisters& simulated,
                                        const capture::Product& product, const std::string& option);

const char* EngineName(Engine engine);

}  // namespace capture_tool
