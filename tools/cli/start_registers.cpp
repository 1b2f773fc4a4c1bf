#include "start_registers.h"

namespace capture_tool {

std::optional<uint32_t> StartRegisters::Of(Engine engine) const {
  switch (engine) {
    case Engine::kCapture: return capture;
    case Engine::kPlayout: return playout;
    case Engine::kLoopback: return loopback;
  }
  return std::nullopt;
}

const char* EngineName(Engine engine) {
  switch (engine) {
    case Engine::kCapture: return "capture";
    case Engine::kPlayout: return "playout";
    case Engine::kLoopback: return "loopback";
  }
  return "?";
}

capture::Result<uint32_t> StartRegister(Engine engine, std::optional<uint32_t> given, const StartRegisters& simulated,
                                        const capture::Product& product, const std::string& option) {
  if (given) return *given;
  if (auto reg = simulated.Of(engine)) return *reg;
  const StartRegisters ofProduct{product.captureStart, product.playoutStart, product.loopbackStart};
  if (auto reg = ofProduct.Of(engine)) return *reg;
  return capture::Error::Client(EngineName(engine), std::string(product.name) + " has no known " + EngineName(engine) +
                                                        " start register: give " + option);
}

}  // namespace capture_tool
