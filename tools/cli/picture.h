// Pictures of captured frames, for `capture-tool capture --png DIR`.
//
// Two views:
//  - pattern (pattern_picture.h, --sim only): for the simulated card's
//    numbered test-pattern frames. One
//    pixel per byte, `bytesPerLine` bytes per line, compared with the frame
//    the header names (or, if the header is broken, the one expected next).
//    A margin on the left is green for a line that is exactly as expected and
//    red for a line with any wrong byte; wrong bytes are bright red, right
//    ones a low-contrast grey (pink on a wrong line, blue in the header),
//    bytes past the frame's end black. A person sees the wrong lines at once. This picture is for people: play refuses it.
//  - raw: the bytes as they are, laid out `width` pixels a line in a pixel
//    format the user names (what a real card's frames look like). Lossless:
//    a text chunk records the format and the byte count, so `play` turns the
//    picture back into exactly the bytes captured.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace capture_tool {

// A picture as PNG holds it: rows top to bottom, samples in PNG order
// (16-bit samples big-endian).
struct Image {
  enum class Color : uint8_t { kGray = 0, kRgb = 2, kPalette = 3, kRgba = 6 };
  uint32_t width = 0, height = 0;
  Color color = Color::kGray;
  uint8_t bitDepth = 8;  // 8, or 16 for kGray, kRgb, kRgba
  std::vector<uint8_t> pixels;
  std::vector<std::array<uint8_t, 3>> palette;            // kPalette only
  std::vector<std::pair<std::string, std::string>> text;  // tEXt chunks: keyword, Latin-1 text

  size_t Channels() const;
  size_t RowBytes() const;
};

// The keyword of the text chunk that tells capture-tool's pictures apart:
// a raw view's says how to read it back, a pattern view's that it is not
// for playback.
constexpr const char* kPictureKeyword = "capture-tool";

// Raw view pixel formats: the order of the bytes in the frame.
enum class PixelFormat { kGray8, kGray16, kRgb24, kBgr24, kRgba32, kBgra32 };
std::optional<PixelFormat> ParsePixelFormat(const std::string& name);
const char* PixelFormatName(PixelFormat format);
size_t BytesPerPixel(PixelFormat format);
constexpr const char* kPixelFormatNames = "gray8, gray16 (little-endian), rgb24, bgr24, rgba32, bgra32";

// The raw view of `bytes`, `width` pixels a line; the last line is padded
// with zeros (the text chunk says how many bytes are real).
Image RawPicture(std::span<const uint8_t> bytes, uint32_t width, PixelFormat format);

// The bytes a raw-view picture was made of; nullopt with `error` set for any
// other picture (a pattern view, or one capture-tool did not write).
std::optional<std::vector<uint8_t>> BytesOfRawPicture(const Image& image, std::string* error);

// Line numbers as ranges: "3, 17-18, 40".
std::string Ranges(const std::vector<uint32_t>& lines);

}  // namespace capture_tool
