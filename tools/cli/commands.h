// The tool's subcommands, against any back end. Each prints its result on
// stdout and its failure on stderr, and answers the exit code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/backend.h"
#include "capture/card.h"
#include "pattern_picture.h"
#include "start_registers.h"

namespace capture_tool {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;  // the driver or the card refused
constexpr int kExitUsage = 2;

// The simulated card's test-pattern frames (card/frames.h), which only the
// simulation knows: a real card's frames carry no header the tool reads.
struct TestPattern {
  uint32_t headerSize = 0;
  // A good frame whose header names `pattern` and whose payload is it.
  std::function<bool(std::span<const uint8_t> frame, uint32_t pattern)> verify;
  // The number and the length in the header of the frame at the start of
  // `bytes`: the number only from a good frame, the length from any header
  // with the magic.
  std::function<std::optional<uint32_t>(std::span<const uint8_t> bytes)> goodNumber;
  std::function<std::optional<uint32_t>(std::span<const uint8_t> bytes)> length;
  // The pattern view (pattern_picture.h).
  std::function<PatternPicture(std::span<const uint8_t> frame, uint32_t bytesPerLine, uint32_t expectedNumber,
                               uint32_t pattern)>
      draw;
};

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
  // The cards are simulated ones: their DMA engine's counters mean what
  // card/REGISTERS.md says, and `play` prints them.
  bool simulated = false;
  // --sim only: the simulated card's DMA start registers, the defaults
  // before the product table's; its test pattern, to verify captured frames
  // and draw them.
  StartRegisters simulatedStarts;
  std::optional<TestPattern> pattern;
};

capture::Result<capture::Card> OpenTarget(const Context& context);

int List(const Context& context);
int Version(const Context& context);
int ReadRegister(const Context& context, uint32_t offset);
int WriteRegister(const Context& context, uint32_t offset, uint32_t value, bool readBack);
int Dump(const Context& context);

// Transfers (transfer_commands.cpp).
struct CaptureOptions {
  uint32_t frames = 16;
  uint32_t size = 1u << 20;      // bytes per frame, a multiple of 4
  uint32_t pattern = 2;          // the capture source's pattern id
  std::optional<uint32_t> startRegister;  // none: see start_registers.h
  std::string output;            // "" = verify only
  uint32_t timeoutMs = 5000;
  // --png: every frame also as a picture in this folder (picture.h).
  std::string pictureDir;        // "" = no pictures
  enum class View { kAuto, kPattern, kRaw };
  View view = View::kAuto;       // auto: the pattern view of a simulated card's capture source, else raw
                                 // (the pattern view needs --sim)
  uint32_t pictureWidth = 1024;  // pixels a line (the pattern view: bytes a line)
  PixelFormat pixelFormat = PixelFormat::kGray8;  // raw view
};
int Capture(const Context& context, const CaptureOptions& options);

struct PlayOptions {
  // Files of frames as capture writes them (-o), raw-view pictures, or any
  // data; played in the order given, one after the other.
  std::vector<std::string> inputs;
  uint32_t size = 0;  // 0: the length in the first frame's header (--sim)
  std::optional<uint32_t> startRegister;
  uint32_t timeoutMs = 5000;
};
int Play(const Context& context, const PlayOptions& options);

// The playout and loopback start registers, where the command line names
// them (loopback, events --traffic, bench).
struct LoopbackRegisters {
  std::optional<uint32_t> playout, loopback;
};

struct LoopbackOptions {
  LoopbackRegisters registers;
  uint32_t size = 1u << 20;  // a multiple of 4
  uint32_t rounds = 1;
  uint32_t seed = 1;
  uint32_t timeoutMs = 5000;
};
int Loopback(const Context& context, const LoopbackOptions& options);

int PoolList(const Context& context);
int PoolRead(const Context& context, uint32_t entry, uint32_t offset, uint32_t length, const std::string& output);
int PoolWrite(const Context& context, uint32_t entry, uint32_t offset, const std::string& input, bool verify);

struct EventsOptions {
  LoopbackRegisters registers;
  uint32_t count = 0;      // stop after this many events; 0 = no limit
  double seconds = 5;      // stop after this long (real time)
  bool traffic = false;    // run loopback transfers meanwhile
  bool connect = false;    // connect message interrupts first
};
int Events(const Context& context, const EventsOptions& options);

struct BenchOptions {
  LoopbackRegisters registers;
  std::vector<uint32_t> sizes;  // empty: 4 KiB, 64 KiB, 1 MiB and the product's maximum
  uint32_t count = 32;          // transfers per size and direction
  std::string svg;              // "" = no picture
  uint32_t timeoutMs = 5000;
};
int Bench(const Context& context, const BenchOptions& options);

// Prints "capture-tool: <message>" on stderr; answers kExitFailed.
int Fail(const capture::Error& error);

}  // namespace capture_tool
