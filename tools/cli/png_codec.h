// PNG files of pictures (picture.h). Linux builds encode and decode with
// libspng; the Windows build, for which Debian ships no PNG library, with
// zlib and the chunk format written out here (png_zlib.cpp). Both write
// non-interlaced PNG with tEXt chunks, and read any non-interlaced PNG of
// the colour types a picture uses; the tests check each against the other.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "picture.h"

namespace capture_tool {

// True when `head` starts with the PNG signature.
bool LooksLikePng(std::span<const uint8_t> head);

namespace png_spng {
std::vector<uint8_t> Encode(const Image& image, std::string* error);
std::optional<Image> Decode(std::span<const uint8_t> png, std::string* error);
}  // namespace png_spng

namespace png_zlib {
std::vector<uint8_t> Encode(const Image& image, std::string* error);
std::optional<Image> Decode(std::span<const uint8_t> png, std::string* error);
}  // namespace png_zlib

// The platform's codec: libspng on Linux, zlib on Windows.
std::vector<uint8_t> EncodePng(const Image& image, std::string* error);
std::optional<Image> DecodePng(std::span<const uint8_t> png, std::string* error);

}  // namespace capture_tool
