// Pictures of captured frames; the views are described in picture.h.
#include "picture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>


namespace capture_tool {
namespace {

// The text that makes a raw view readable back (kPictureKeyword).
constexpr const char* kRawPrefix = "raw frame";

struct FormatInfo {
  PixelFormat format;
  const char* name;
  size_t bytes;
  Image::Color color;
  uint8_t bitDepth;
};
constexpr FormatInfo kFormats[] = {
    {PixelFormat::kGray8, "gray8", 1, Image::Color::kGray, 8},
    {PixelFormat::kGray16, "gray16", 2, Image::Color::kGray, 16},
    {PixelFormat::kRgb24, "rgb24", 3, Image::Color::kRgb, 8},
    {PixelFormat::kBgr24, "bgr24", 3, Image::Color::kRgb, 8},
    {PixelFormat::kRgba32, "rgba32", 4, Image::Color::kRgba, 8},
    {PixelFormat::kBgra32, "bgra32", 4, Image::Color::kRgba, 8},
};
const FormatInfo& Info(PixelFormat format) {
  return *std::find_if(std::begin(kFormats), std::end(kFormats), [&](const FormatInfo& f) { return f.format == format; });
}

// The frame's bytes of one pixel in PNG's sample order; the mapping is its
// own inverse, so the same call takes a picture back to the frame's bytes.
void Reorder(PixelFormat format, uint8_t* pixel) {
  switch (format) {
    case PixelFormat::kGray16:  // little-endian samples, PNG's are big-endian
    case PixelFormat::kBgr24:   // blue first, PNG has red first
    case PixelFormat::kBgra32:
      std::swap(pixel[0], pixel[format == PixelFormat::kGray16 ? 1 : 2]);
      break;
    default:
      break;
  }
}

}  // namespace

size_t Image::Channels() const {
  switch (color) {
    case Color::kRgb:
      return 3;
    case Color::kRgba:
      return 4;
    default:
      return 1;
  }
}

size_t Image::RowBytes() const { return width * Channels() * (bitDepth / 8); }

std::optional<PixelFormat> ParsePixelFormat(const std::string& name) {
  for (const auto& f : kFormats) {
    if (name == f.name) return f.format;
  }
  return std::nullopt;
}

const char* PixelFormatName(PixelFormat format) { return Info(format).name; }
size_t BytesPerPixel(PixelFormat format) { return Info(format).bytes; }

Image RawPicture(std::span<const uint8_t> bytes, uint32_t width, PixelFormat format) {
  const FormatInfo& info = Info(format);
  Image image;
  image.width = width;
  image.color = info.color;
  image.bitDepth = info.bitDepth;
  const size_t row = image.RowBytes();
  image.height = static_cast<uint32_t>(std::max<size_t>(1, (bytes.size() + row - 1) / row));
  image.pixels.assign(row * image.height, 0);
  std::copy(bytes.begin(), bytes.end(), image.pixels.begin());
  for (size_t at = 0; at + info.bytes <= image.pixels.size(); at += info.bytes) Reorder(format, &image.pixels[at]);
  image.text = {{kPictureKeyword, fmt::format("{}; format {}; bytes {}", kRawPrefix, info.name, bytes.size())},
                {"Description", fmt::format("{} bytes as {} pixels, {} a line", bytes.size(), info.name, width)}};
  return image;
}

std::optional<std::vector<uint8_t>> BytesOfRawPicture(const Image& image, std::string* error) {
  auto it = std::find_if(image.text.begin(), image.text.end(), [](const auto& t) { return t.first == kPictureKeyword; });
  if (it == image.text.end()) {
    *error = "not a picture capture-tool wrote (no capture-tool text chunk)";
    return std::nullopt;
  }
  if (it->second.rfind(kRawPrefix, 0) != 0) {
    *error = "a pattern view is a picture for people, not frames to play: capture with --png-view raw (or -o FILE)";
    return std::nullopt;
  }
  char name[16] = {};
  unsigned long long count = 0;
  const std::string format = fmt::format("{}; format %15[a-z0-9]; bytes %llu", kRawPrefix);
  std::optional<PixelFormat> pixelFormat;
  if (std::sscanf(it->second.c_str(), format.c_str(), name, &count) == 2) pixelFormat = ParsePixelFormat(name);
  if (!pixelFormat || Info(*pixelFormat).color != image.color || Info(*pixelFormat).bitDepth != image.bitDepth ||
      count > image.pixels.size() || image.pixels.size() != image.RowBytes() * image.height) {
    *error = "its raw-frame text chunk does not match the picture: " + it->second;
    return std::nullopt;
  }
  std::vector<uint8_t> bytes = image.pixels;
  const size_t step = BytesPerPixel(*pixelFormat);
  for (size_t at = 0; at + step <= bytes.size(); at += step) Reorder(*pixelFormat, &bytes[at]);
  bytes.resize(count);
  return bytes;
}

std::string Ranges(const std::vector<uint32_t>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size();) {
    size_t j = i;
    while (j + 1 < lines.size() && lines[j + 1] == lines[j] + 1) ++j;
    out += (out.empty() ? "" : ", ") +
           (j == i ? std::to_string(lines[i]) : fmt::format("{}-{}", lines[i], lines[j]));
    i = j + 1;
  }
  return out;
}

}  // namespace capture_tool
