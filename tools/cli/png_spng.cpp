// PNG through libspng (Linux builds).
#include <spng.h>

#include <cstring>
#include <memory>

#include "png_codec.h"

namespace capture_tool::png_spng {
namespace {

struct ContextDeleter {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Context = std::unique_ptr<spng_ctx, ContextDeleter>;

bool Failed(int status, const char* what, std::string* error) {
  if (status == 0) return false;
  *error = std::string(what) + ": " + spng_strerror(status);
  return true;
}

}  // namespace

std::vector<uint8_t> Encode(const Image& image, std::string* error) {
  Context ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!ctx) {
    *error = "out of memory";
    return {};
  }
  spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = image.width;
  ihdr.height = image.height;
  ihdr.bit_depth = image.bitDepth;
  ihdr.color_type = static_cast<uint8_t>(image.color);
  if (Failed(spng_set_ihdr(ctx.get(), &ihdr), "header", error)) return {};
  if (image.color == Image::Color::kPalette) {
    spng_plte plte{};
    plte.n_entries = static_cast<uint32_t>(image.palette.size());
    for (size_t i = 0; i < image.palette.size(); ++i) {
      plte.entries[i] = {image.palette[i][0], image.palette[i][1], image.palette[i][2], 0};
    }
    if (Failed(spng_set_plte(ctx.get(), &plte), "palette", error)) return {};
  }
  std::vector<spng_text> text(image.text.size());
  for (size_t i = 0; i < image.text.size(); ++i) {
    std::strncpy(text[i].keyword, image.text[i].first.c_str(), sizeof(text[i].keyword) - 1);
    text[i].type = SPNG_TEXT;
    text[i].length = image.text[i].second.size();
    text[i].text = const_cast<char*>(image.text[i].second.c_str());
  }
  if (!text.empty() && Failed(spng_set_text(ctx.get(), text.data(), static_cast<uint32_t>(text.size())), "text", error)) {
    return {};
  }
  // Raw format: 16-bit samples are given big-endian, as PNG stores them.
  if (Failed(spng_encode_image(ctx.get(), image.pixels.data(), image.pixels.size(), SPNG_FMT_RAW, SPNG_ENCODE_FINALIZE),
             "encoding", error)) {
    return {};
  }
  size_t length = 0;
  int status = 0;
  void* buffer = spng_get_png_buffer(ctx.get(), &length, &status);
  if (buffer == nullptr) {
    Failed(status ? status : SPNG_EINTERNAL, "encoding", error);
    return {};
  }
  std::vector<uint8_t> out(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  std::free(buffer);
  return out;
}

std::optional<Image> Decode(std::span<const uint8_t> png, std::string* error) {
  Context ctx(spng_ctx_new(0));
  if (!ctx) {
    *error = "out of memory";
    return std::nullopt;
  }
  if (Failed(spng_set_png_buffer(ctx.get(), png.data(), png.size()), "reading", error)) return std::nullopt;
  spng_ihdr ihdr{};
  if (Failed(spng_get_ihdr(ctx.get(), &ihdr), "header", error)) return std::nullopt;
  Image image;
  image.width = ihdr.width;
  image.height = ihdr.height;
  image.bitDepth = ihdr.bit_depth;
  image.color = static_cast<Image::Color>(ihdr.color_type);
  const bool known = (image.color == Image::Color::kPalette && image.bitDepth == 8) ||
                     ((image.color == Image::Color::kGray || image.color == Image::Color::kRgb ||
                       image.color == Image::Color::kRgba) &&
                      (image.bitDepth == 8 || image.bitDepth == 16));
  if (!known || ihdr.interlace_method != 0) {
    *error = "not a picture of a kind capture-tool writes (colour type, depth or interlacing)";
    return std::nullopt;
  }
  size_t size = 0;
  if (Failed(spng_decoded_image_size(ctx.get(), SPNG_FMT_RAW, &size), "size", error)) return std::nullopt;
  image.pixels.resize(size);
  if (Failed(spng_decode_image(ctx.get(), image.pixels.data(), size, SPNG_FMT_RAW, 0), "decoding", error)) {
    return std::nullopt;
  }
  if (image.color == Image::Color::kPalette) {
    spng_plte plte{};
    if (Failed(spng_get_plte(ctx.get(), &plte), "palette", error)) return std::nullopt;
    for (uint32_t i = 0; i < plte.n_entries; ++i) {
      image.palette.push_back({plte.entries[i].red, plte.entries[i].green, plte.entries[i].blue});
    }
  }
  uint32_t count = 0;
  if (spng_get_text(ctx.get(), nullptr, &count) == 0 && count > 0) {
    std::vector<spng_text> text(count);
    if (spng_get_text(ctx.get(), text.data(), &count) == 0) {
      for (uint32_t i = 0; i < count; ++i) image.text.emplace_back(text[i].keyword, std::string(text[i].text, text[i].length));
    }
  }
  return image;
}

}  // namespace capture_tool::png_spng
