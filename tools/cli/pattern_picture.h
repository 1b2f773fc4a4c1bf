// The pattern view of captured frames (picture.h): the simulated card's
// test-pattern frames (card/frames.h), drawn against the frame they should
// be. Built only where the simulation is (--sim runs, the demo, the tests).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "picture.h"

namespace capture_tool {

// The pattern view's palette indices (tests look at them).
namespace pattern_view {
constexpr uint32_t kMargin = 16;        // pixels left of the data: 12 status, 4 separator
constexpr uint8_t kRightByte = 0;       // 0..31: grey by value / 8
constexpr uint8_t kRightOnWrongLine = 32;  // 32..63: pink by value / 8, so that the whole line stands out
constexpr uint8_t kWrongByte = 64;      // 64..127: bright red by value / 4
constexpr uint8_t kRightHeader = 128;   // 128..191: blue by value / 4
constexpr uint8_t kLineRight = 192;
constexpr uint8_t kLineWrong = 193;
constexpr uint8_t kSeparator = 194;
constexpr uint8_t kPastTheEnd = 195;
}  // namespace pattern_view

struct PatternPicture {
  Image image;
  std::vector<uint32_t> wrongLines;  // line numbers, from 0
  uint32_t lines = 0;
  std::string summary;  // "frame 12, pattern 2: 2 of 1024 lines wrong: 17-18"
};

// The pattern view of a captured frame. `expectedNumber` and `pattern` stand
// in for a header too broken to read.
PatternPicture DrawPatternPicture(std::span<const uint8_t> frame, uint32_t bytesPerLine, uint32_t expectedNumber,
                                  uint32_t pattern);

}  // namespace capture_tool
