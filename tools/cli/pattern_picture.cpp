// The pattern view; described in picture.h.
#include "pattern_picture.h"

#include <algorithm>

#include <fmt/format.h>

#include "card/frames.h"

namespace capture_tool {
namespace {

constexpr const char* kPatternText = "pattern view (for people, not for playback)";

}  // namespace

PatternPicture DrawPatternPicture(std::span<const uint8_t> frame, uint32_t bytesPerLine, uint32_t expectedNumber,
                                  uint32_t pattern) {
  using namespace pattern_view;
  namespace frames = card::frames;
  // What the frame should be: the one its header names, if the header
  // itself is intact; else the one expected.
  const frames::Check check = frames::VerifyFrame(frame);
  const bool headerReadable = check.verdict != frames::Verdict::kNotAFrame && check.verdict != frames::Verdict::kBadHeader;
  const uint32_t number = headerReadable ? check.header.number : expectedNumber;
  const uint32_t id = headerReadable ? check.header.pattern : pattern;
  const std::vector<uint8_t> expected = frames::MakeFrame(frame.size(), number, id);

  PatternPicture out;
  Image& image = out.image;
  out.lines = static_cast<uint32_t>(std::max<size_t>(1, (frame.size() + bytesPerLine - 1) / bytesPerLine));
  image.width = kMargin + bytesPerLine;
  image.height = out.lines;
  image.color = Image::Color::kPalette;
  image.pixels.assign(size_t{image.width} * image.height, kPastTheEnd);
  image.palette.resize(196);
  // Right data in a narrow grey band, so that red stands out from it.
  for (int v = 0; v < 32; ++v) {
    const auto level = static_cast<uint8_t>(80 + 2 * v);
    image.palette[kRightByte + v] = {level, level, level};
    image.palette[kRightOnWrongLine + v] = {static_cast<uint8_t>(150 + 2 * v), level, level};
  }
  for (int v = 0; v < 64; ++v) {
    image.palette[kWrongByte + v] = {255, static_cast<uint8_t>(v / 2), 0};
    image.palette[kRightHeader + v] = {0, static_cast<uint8_t>(40 + v), static_cast<uint8_t>(120 + 2 * v)};
  }
  image.palette[kLineRight] = {0, 170, 0};
  image.palette[kLineWrong] = {255, 0, 0};
  image.palette[kSeparator] = {16, 16, 16};
  image.palette[kPastTheEnd] = {0, 0, 0};

  for (uint32_t line = 0; line < out.lines; ++line) {
    uint8_t* row = &image.pixels[size_t{line} * image.width];
    const size_t begin = size_t{line} * bytesPerLine, end = std::min(frame.size(), begin + bytesPerLine);
    const bool wrong = !std::equal(frame.begin() + begin, frame.begin() + end, expected.begin() + begin);
    for (size_t at = begin; at < end; ++at) {
      uint8_t& pixel = row[kMargin + (at - begin)];
      if (frame[at] != expected[at]) {
        pixel = kWrongByte + (frame[at] >> 2);
      } else if (at < frames::kHeaderSize) {
        pixel = kRightHeader + (frame[at] >> 2);
      } else {
        pixel = (wrong ? kRightOnWrongLine : kRightByte) + (frame[at] >> 3);
      }
    }
    std::fill(row, row + kMargin - 4, wrong ? kLineWrong : kLineRight);
    std::fill(row + kMargin - 4, row + kMargin, kSeparator);
    if (wrong) out.wrongLines.push_back(line);
  }

  out.summary = fmt::format("frame {}, pattern {}{}: ", number, id, headerReadable ? "" : " (header unreadable)");
  out.summary += out.wrongLines.empty()
                     ? fmt::format("all {} lines right", out.lines)
                     : fmt::format("{} of {} lines wrong: {}", out.wrongLines.size(), out.lines, Ranges(out.wrongLines));
  image.text = {{kPictureKeyword, kPatternText},
                {"Description", fmt::format("{} ({} bytes a line; margin green: line right, red: line wrong)",
                                            out.summary, bytesPerLine)}};
  return out;
}

}  // namespace capture_tool
