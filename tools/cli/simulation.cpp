#include "simulation.h"

#include <fmt/format.h>

#include "capture/wdmsim_backend.h"
#include "card/frames.h"
#include "interface/dma_registers.h"
#include "pattern_picture.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"

namespace capture_tool {

StartRegisters SimulatedStartRegisters() {
  return {regs::dma::kStartCapture, regs::dma::kStartPlayout, regs::dma::kStartLoopback};
}

TestPattern SimulatedTestPattern() {
  namespace frames = card::frames;
  TestPattern p;
  p.headerSize = frames::kHeaderSize;
  p.verify = [](std::span<const uint8_t> frame, uint32_t pattern) {
    const auto check = frames::VerifyFrame(frame);
    return check.verdict == frames::Verdict::kGood && check.header.pattern == pattern && frames::MatchesPattern(frame);
  };
  p.goodNumber = [](std::span<const uint8_t> bytes) -> std::optional<uint32_t> {
    const auto check = frames::VerifyFrame(bytes);
    if (check.verdict != frames::Verdict::kGood) return std::nullopt;
    return check.header.number;
  };
  p.length = [](std::span<const uint8_t> bytes) -> std::optional<uint32_t> {
    const auto check = frames::VerifyFrame(bytes);
    if (check.verdict == frames::Verdict::kNotAFrame) return std::nullopt;
    return check.header.length;
  };
  p.draw = DrawPatternPicture;
  return p;
}

Simulation::Simulation(double speedup, bool realtime, bool lastingSystemViews)
    : kernel_(std::make_unique<wdmsim::Kernel>(wdmsim::Options{
          .speedup = speedup,
          .clock = realtime ? wdmsim::ClockMode::Realtime : wdmsim::ClockMode::Simulated,
          .lastingSystemViews = lastingSystemViews})) {}

Simulation::~Simulation() {
  backend_.reset();
  process_.reset();
  if (kernel_ && kernel_->BugCheckReport().empty()) (void)Shutdown();
}

std::string Simulation::Start(const SimSettings& settings) {
  const std::string path = settings.imageDir + "/" + settings.product + ".sys.so";
  try {
    image_ = &kernel_->LoadDriver(path);
  } catch (const std::exception& e) {
    return e.what();
  }
  process_ = kernel_->CreateProcess(settings.account);
  backend_ = std::make_shared<capture::WdmsimBackend>(*kernel_, *process_);
  for (unsigned i = 0; i < settings.cards; ++i) {
    wdmsim::Slot* slot = nullptr;
    NTSTATUS status = card::AddAndStartCard(*kernel_, *image_, &slot, settings.card);
    if (status != STATUS_SUCCESS) {
      return fmt::format("simulated card {} of {} did not start: status 0x{:08X}", i + 1, settings.cards,
                         static_cast<uint32_t>(status));
    }
  }
  return "";
}

std::vector<std::string> Simulation::TakeDriverOutput() {
  if (image_ != nullptr) output_ = image_->DbgOutput();
  std::vector<std::string> lines;
  // Only whole lines; a line still being printed waits for the next call,
  // unless the image is gone.
  while (consumed_ < output_.size()) {
    size_t end = output_.find('\n', consumed_);
    if (end == std::string::npos) {
      if (image_ != nullptr) break;
      end = output_.size();
    }
    std::string line = output_.substr(consumed_, end - consumed_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    consumed_ = end + 1;
  }
  return lines;
}

std::vector<std::string> Simulation::Shutdown() {
  backend_.reset();
  process_.reset();  // closes what the tool left open
  if (image_ != nullptr) {
    for (wdmsim::Slot* slot : kernel_->Slots()) kernel_->RemoveCard(*slot);
    output_ = kernel_->UnloadDriver(*image_);
    image_ = nullptr;
  }
  std::vector<std::string> findings = kernel_->Findings();
  kernel_->ClearFindings();
  return findings;
}

std::string Simulation::BugCheckReport() const { return kernel_->BugCheckReport(); }

}  // namespace capture_tool
