// capture-tool bench: the measurements, their summary and the picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/card.h"

namespace capture_tool {

struct BenchRow {
  uint32_t size = 0;
  capture::Direction direction = capture::Direction::kHostToCard;
  double bytesPerSecond = 0;        // whole cycles: start, wait, release or finish
  double memcpyBytesPerSecond = 0;  // memcpy of the same bytes, for scale
  std::vector<double> latencyUs;    // start answered -> completion event woke, one per transfer
  // Processor time of one cycle: the caller's thread, plus the system's
  // threads where the back end can tell (simulation); 0 when unknown.
  double cpuNsPerCycle = 0;
  bool cpuIncludesSystemThreads = false;
};

struct Percentiles {
  double median = 0, p90 = 0, p99 = 0, max = 0;
};
Percentiles Summarize(std::vector<double> values);  // nearest rank; zeros when empty

// A self-contained SVG document of three figures: throughput by size (both
// directions, log size axis); the processor time per byte against memcpy's
// (log axes); the latency distribution as a CDF per size and direction.
std::string RenderSvg(const std::vector<BenchRow>& rows, const std::string& title);

}  // namespace capture_tool
