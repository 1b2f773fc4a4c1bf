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
};

struct Percentiles {
  double median = 0, p99 = 0, max = 0;
};
Percentiles Summarize(std::vector<double> values);  // nearest rank; zeros when empty

// A self-contained SVG document: throughput by size (both directions, log
// size axis) and the latency distribution by size (whiskers min..max, box
// p25..p75, median mark, p99 tick).
std::string RenderSvg(const std::vector<BenchRow>& rows, const std::string& title);

}  // namespace capture_tool
