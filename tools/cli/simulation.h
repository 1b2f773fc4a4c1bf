// --sim: a simulated kernel with the product's driver image and started
// simulated cards, for the tool to talk to instead of Windows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/backend.h"
#include "commands.h"
#include "card/card.h"

#include "wdmsim/kernel.h"


namespace capture_tool {

struct SimSettings {
  unsigned cards = 1;
  std::string product;   // canonical name, as in the product table
  std::string imageDir;  // holds <Product>.sys.so
  card::CardOptions card;
  double speedup = 1.0;
  // The account the tool runs as: the cards' security lets only SYSTEM and
  // administrators open them.
  wdmsim::Token account = wdmsim::Token::Administrator;
};

// The simulated card's DMA engine's start registers, and its test pattern
// (card/frames.h) with the pattern view of its frames.
StartRegisters SimulatedStartRegisters();
TestPattern SimulatedTestPattern();

class Simulation {
 public:
  // The simulated clock by default: long time-outs take no wall time and
  // results do not depend on the host's load. `realtime` runs the clock at
  // the host's speed times `speedup`, for figures measured in real time.
  // `lastingSystemViews`: wdmsim::Options::lastingSystemViews, for bench.
  Simulation(double speedup, bool realtime, bool lastingSystemViews = false);
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // Loads the image and plugs and starts the cards; "" or what went wrong.
  std::string Start(const SimSettings& settings);
  // Everything opened through it must be closed before Shutdown.
  std::shared_ptr<capture::Backend> backend() const { return backend_; }
  // Lines the driver printed since the last call.
  std::vector<std::string> TakeDriverOutput();
  // Removes the cards and unloads the driver (their output is left for
  // TakeDriverOutput); answers what the verifier found, one line each.
  std::vector<std::string> Shutdown();
  // The report of a bug check that killed the kernel, or "".
  std::string BugCheckReport() const;

 private:
  std::unique_ptr<wdmsim::Kernel> kernel_;
  wdmsim::DriverImage* image_ = nullptr;
  std::unique_ptr<wdmsim::Process> process_;  // the tool's own process, as settings.account
  std::shared_ptr<capture::Backend> backend_;
  std::string output_;    // the image's output, kept past unloading
  size_t consumed_ = 0;   // of output_, already taken
};

}  // namespace capture_tool
