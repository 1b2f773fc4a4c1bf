// PNG through zlib alone, for the Windows build: Debian cross-builds zlib
// for mingw-w64 but no PNG library. zlib compresses and checksums; this file
// lays out the chunks (signature, IHDR, PLTE, tEXt, IDAT, IEND) and undoes
// the five row filters when reading a file another encoder wrote.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "png_codec.h"

namespace capture_tool {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Beyond this a frame would not fit a transfer anyway; it bounds what a
// broken or hostile header can make the reader allocate.
constexpr uint64_t kMaxImageBytes = 1ull << 30;

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Chunk(std::vector<uint8_t>& out, const char* type, std::span<const uint8_t> data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutBe32(out, static_cast<uint32_t>(crc32(0, out.data() + typeAt, static_cast<uInt>(4 + data.size()))));
}

bool KnownKind(Image::Color color, uint8_t depth) {
  switch (color) {
    case Image::Color::kPalette:
      return depth == 8;
    case Image::Color::kGray:
    case Image::Color::kRgb:
    case Image::Color::kRgba:
      return depth == 8 || depth == 16;
  }
  return false;
}

uint8_t Paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

}  // namespace

namespace png_zlib {

std::vector<uint8_t> Encode(const Image& image, std::string* error) {
  if (!KnownKind(image.color, image.bitDepth) || image.width == 0 || image.height == 0 ||
      image.pixels.size() != image.RowBytes() * image.height) {
    *error = "not a picture this encoder writes";
    return {};
  }
  std::vector<uint8_t> out(std::begin(kSignature), std::end(kSignature));
  std::vector<uint8_t> header;
  PutBe32(header, image.width);
  PutBe32(header, image.height);
  header.insert(header.end(), {image.bitDepth, static_cast<uint8_t>(image.color), 0, 0, 0});
  Chunk(out, "IHDR", header);
  if (image.color == Image::Color::kPalette) {
    std::vector<uint8_t> palette;
    for (const auto& entry : image.palette) palette.insert(palette.end(), entry.begin(), entry.end());
    Chunk(out, "PLTE", palette);
  }
  for (const auto& [keyword, text] : image.text) {
    std::vector<uint8_t> data(keyword.begin(), keyword.end());
    data.push_back(0);
    data.insert(data.end(), text.begin(), text.end());
    Chunk(out, "tEXt", data);
  }
  // Every row unfiltered (filter byte 0): simple, and zlib still finds the
  // repetition in test patterns.
  const size_t row = image.RowBytes();
  std::vector<uint8_t> rows;
  rows.reserve((row + 1) * image.height);
  for (uint32_t y = 0; y < image.height; ++y) {
    rows.push_back(0);
    rows.insert(rows.end(), image.pixels.begin() + y * row, image.pixels.begin() + (y + 1) * row);
  }
  uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size()), 6) != Z_OK) {
    *error = "compression failed";
    return {};
  }
  packed.resize(packedSize);
  Chunk(out, "IDAT", packed);
  Chunk(out, "IEND", {});
  return out;
}

std::optional<Image> Decode(std::span<const uint8_t> png, std::string* error) {
  if (!LooksLikePng(png)) {
    *error = "not a PNG file";
    return std::nullopt;
  }
  Image image;
  std::vector<uint8_t> packed;
  bool header = false, end = false;
  for (size_t at = sizeof(kSignature); !end;) {
    if (png.size() - at < 12) {
      *error = "the file ends inside a chunk";
      return std::nullopt;
    }
    const uint32_t length = Be32(&png[at]);
    if (length > png.size() - at - 12) {
      *error = "the file ends inside a chunk";
      return std::nullopt;
    }
    const std::string_view type(reinterpret_cast<const char*>(&png[at + 4]), 4);
    const uint8_t* data = &png[at + 8];
    if (crc32(0, &png[at + 4], length + 4) != Be32(data + length)) {
      *error = "chunk " + std::string(type) + " fails its CRC";
      return std::nullopt;
    }
    at += 12 + size_t{length};
    if (!header && type != "IHDR") {
      *error = "the first chunk is not IHDR";
      return std::nullopt;
    }
    if (type == "IHDR") {
      if (length != 13) {
        *error = "bad IHDR";
        return std::nullopt;
      }
      header = true;
      image.width = Be32(data);
      image.height = Be32(data + 4);
      image.bitDepth = data[8];
      image.color = static_cast<Image::Color>(data[9]);
      if (!KnownKind(image.color, image.bitDepth) || data[10] != 0 || data[11] != 0 || data[12] != 0) {
        *error = "not a picture of a kind capture-tool writes (colour type, depth or interlacing)";
        return std::nullopt;
      }
      if (image.width == 0 || image.height == 0 ||
          uint64_t{image.width} * image.Channels() * (image.bitDepth / 8) * image.height > kMaxImageBytes) {
        *error = "picture size out of range";
        return std::nullopt;
      }
    } else if (type == "PLTE") {
      for (uint32_t i = 0; i + 3 <= length; i += 3) image.palette.push_back({data[i], data[i + 1], data[i + 2]});
    } else if (type == "tEXt") {
      const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, length));
      if (nul != nullptr) {
        image.text.emplace_back(std::string(reinterpret_cast<const char*>(data), nul - data),
                                std::string(reinterpret_cast<const char*>(nul + 1), data + length - nul - 1));
      }
    } else if (type == "IDAT") {
      packed.insert(packed.end(), data, data + length);
    } else if (type == "IEND") {
      end = true;
    }
  }
  if (image.color == Image::Color::kPalette && image.palette.empty()) {
    *error = "a palette picture without a palette";
    return std::nullopt;
  }

  const size_t row = image.RowBytes();
  std::vector<uint8_t> rows((row + 1) * image.height);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    *error = "zlib failed";
    return std::nullopt;
  }
  stream.next_in = packed.data();
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = rows.data();
  stream.avail_out = static_cast<uInt>(rows.size());
  const int status = inflate(&stream, Z_FINISH);
  const bool complete = status == Z_STREAM_END && stream.avail_out == 0;
  inflateEnd(&stream);
  if (!complete) {
    *error = "the image data is damaged or of the wrong size";
    return std::nullopt;
  }

  // Undo the row filters; `bpp` is the byte distance to the pixel on the left.
  const size_t bpp = std::max<size_t>(1, image.Channels() * image.bitDepth / 8);
  image.pixels.resize(row * image.height);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t filter = rows[y * (row + 1)];
    const uint8_t* in = &rows[y * (row + 1) + 1];
    uint8_t* out = &image.pixels[y * row];
    const uint8_t* up = y > 0 ? out - row : nullptr;
    for (size_t x = 0; x < row; ++x) {
      const int a = x >= bpp ? out[x - bpp] : 0, b = up ? up[x] : 0, c = up && x >= bpp ? up[x - bpp] : 0;
      int predicted = 0;
      switch (filter) {
        case 0:
          break;
        case 1:
          predicted = a;
          break;
        case 2:
          predicted = b;
          break;
        case 3:
          predicted = (a + b) / 2;
          break;
        case 4:
          predicted = Paeth(a, b, c);
          break;
        default:
          *error = "unknown row filter " + std::to_string(filter);
          return std::nullopt;
      }
      out[x] = static_cast<uint8_t>(in[x] + predicted);
    }
  }
  return image;
}

}  // namespace png_zlib

}  // namespace capture_tool
