// The tool's subcommands, against any back end. Each prints its result on
// stdout and its failure on stderr, and answers the exit code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/backend.h"
#include "capture/card.h"

namespace capture_tool {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;  // the driver or the card refused
constexpr int kExitUsage = 2;

// Which card a subcommand talks to: a device name, a product and instance,
// or else the first card found (with the instance, if one is given).
struct Target {
  std::string device;
  std::string product;
  std::optional<uint32_t> instance;
};

struct Context {
  std::shared_ptr<capture::Backend> backend;
  Target target;
  // Lines the simulated driver printed since the last call; empty on
  // Windows, where the driver prints to the kernel debugger.
  std::function<std::vector<std::string>()> driverOutput;
};

capture::Result<capture::Card> OpenTarget(const Context& context);

int List(const Context& context);
int Version(const Context& context);
int ReadRegister(const Context& context, uint32_t offset);
int WriteRegister(const Context& context, uint32_t offset, uint32_t value, bool readBack);
int Dump(const Context& context);

// Prints "capture-tool: <message>" on stderr; answers kExitFailed.
int Fail(const capture::Error& error);

}  // namespace capture_tool
