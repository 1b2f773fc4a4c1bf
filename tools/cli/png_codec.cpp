// The platform's PNG codec (png_codec.h).
#include "png_codec.h"

#include <algorithm>

namespace capture_tool {

bool LooksLikePng(std::span<const uint8_t> head) {
  static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return head.size() >= sizeof(kSignature) && std::equal(std::begin(kSignature), std::end(kSignature), head.begin());
}

#ifdef _WIN32
std::vector<uint8_t> EncodePng(const Image& image, std::string* error) { return png_zlib::Encode(image, error); }
std::optional<Image> DecodePng(std::span<const uint8_t> png, std::string* error) { return png_zlib::Decode(png, error); }
#else
std::vector<uint8_t> EncodePng(const Image& image, std::string* error) { return png_spng::Encode(image, error); }
std::optional<Image> DecodePng(std::span<const uint8_t> png, std::string* error) { return png_spng::Decode(png, error); }
#endif

}  // namespace capture_tool
