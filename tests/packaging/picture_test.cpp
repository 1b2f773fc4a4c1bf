// capture-tool's pictures: the pattern view marks exactly the wrong lines,
// the raw view gives back exactly the bytes, and the Windows build's PNG
// codec (zlib, compiled here for this machine) and libspng read each
// other's files. They sit in this suite because it is the one that checks
// what the Windows build ships.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <set>

#include <spng.h>

#include "card/frames.h"
#include "pattern_picture.h"
#include "png_codec.h"

namespace {

using capture_tool::Image;
using capture_tool::PixelFormat;
using Bytes = std::vector<uint8_t>;
namespace view = capture_tool::pattern_view;

constexpr uint32_t kLine = 256;

uint8_t Pixel(const Image& image, uint32_t x, uint32_t y) { return image.pixels[size_t{y} * image.width + x]; }

TEST(PatternPicture, MarksExactlyTheWrongLines) {
  Bytes frame = card::frames::MakeFrame(64 * 1024, 41, card::frames::kPatternNoise);
  frame[17 * kLine + 100] ^= 0x01;                                          // one bit of line 17
  std::fill(frame.begin() + 18 * kLine, frame.begin() + 18 * kLine + 8, 0);  // the start of line 18
  frame[200 * kLine + kLine - 1] ^= 0x80;                                   // the last byte of line 200
  const auto picture = capture_tool::DrawPatternPicture(frame, kLine, 0, 0);

  EXPECT_EQ(picture.wrongLines, (std::vector<uint32_t>{17, 18, 200}));
  EXPECT_EQ(picture.summary, "frame 41, pattern 2: 3 of 256 lines wrong: 17-18, 200");
  const Image& image = picture.image;
  ASSERT_EQ(image.width, view::kMargin + kLine);
  ASSERT_EQ(image.height, 256u);
  ASSERT_EQ(image.color, Image::Color::kPalette);
  for (uint32_t y = 0; y < image.height; ++y) {
    const bool wrong = y == 17 || y == 18 || y == 200;
    ASSERT_EQ(Pixel(image, 0, y), wrong ? view::kLineWrong : view::kLineRight) << "line " << y;
    // Every data pixel is red exactly where the byte is wrong.
    const Bytes expected = card::frames::MakeFrame(frame.size(), 41, card::frames::kPatternNoise);
    for (uint32_t x = 0; x < kLine; ++x) {
      const size_t at = size_t{y} * kLine + x;
      const uint8_t p = Pixel(image, view::kMargin + x, y);
      const bool red = p >= view::kWrongByte && p < view::kRightHeader;
      ASSERT_EQ(red, frame[at] != expected[at]) << "byte " << at;
    }
  }
  // The header is drawn blue, and the colours are what the palette says.
  EXPECT_GE(Pixel(image, view::kMargin, 0), view::kRightHeader);
  EXPECT_LT(Pixel(image, view::kMargin + card::frames::kHeaderSize, 0), view::kWrongByte);
  EXPECT_EQ(image.palette.at(view::kLineWrong), (std::array<uint8_t, 3>{255, 0, 0}));
  EXPECT_EQ(image.palette.at(view::kLineRight)[0], 0);
}

TEST(PatternPicture, ABrokenHeaderFallsBackToTheExpectedFrame) {
  struct Case {
    const char* what;
    uint32_t expectedNumber, pattern;
    std::vector<uint32_t> wrong;
  } cases[] = {
      {"the frame that was expected", 7, card::frames::kPatternRamp, {0}},
      {"another frame number", 8, card::frames::kPatternRamp, {}},  // every line: checked below
  };
  for (const Case& c : cases) {
    Bytes frame = card::frames::MakeFrame(4096 + 100, 7, card::frames::kPatternRamp);
    frame[4] ^= 0xFF;  // the frame number: the header's CRC fails
    const auto picture = capture_tool::DrawPatternPicture(frame, kLine, c.expectedNumber, c.pattern);
    EXPECT_NE(picture.summary.find("(header unreadable)"), std::string::npos) << c.what;
    if (!c.wrong.empty()) {
      EXPECT_EQ(picture.wrongLines, c.wrong) << c.what;
    } else {
      EXPECT_EQ(picture.wrongLines.size(), picture.lines) << c.what;
    }
    // 4196 bytes: 17 lines, the last one 100 bytes long and black after them.
    ASSERT_EQ(picture.lines, 17u);
    EXPECT_EQ(Pixel(picture.image, view::kMargin + 100, 16), view::kPastTheEnd);
    EXPECT_NE(Pixel(picture.image, view::kMargin + 99, 16), view::kPastTheEnd);
  }
}

// Random bytes of a given length, the same every run.
Bytes Noise(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes b(length);
  for (auto& v : b) v = static_cast<uint8_t>(random());
  return b;
}

// Both codecs: what one writes the other reads, and the raw view gives back
// the frame's bytes exactly, whatever the format and however the last line
// is filled.
TEST(RawPicture, RoundTripsThroughBothCodecs) {
  struct Codec {
    const char* name;
    std::vector<uint8_t> (*encode)(const Image&, std::string*);
    std::optional<Image> (*decode)(std::span<const uint8_t>, std::string*);
  } codecs[] = {{"libspng", capture_tool::png_spng::Encode, capture_tool::png_spng::Decode},
                {"zlib", capture_tool::png_zlib::Encode, capture_tool::png_zlib::Decode}};
  for (PixelFormat format : {PixelFormat::kGray8, PixelFormat::kGray16, PixelFormat::kRgb24, PixelFormat::kBgr24,
                             PixelFormat::kRgba32, PixelFormat::kBgra32}) {
    for (size_t length : {size_t{1}, size_t{4096}, size_t{10007}}) {
      const Bytes frame = Noise(length, static_cast<uint32_t>(length) + static_cast<uint32_t>(format));
      const Image image = capture_tool::RawPicture(frame, 61, format);
      for (const Codec& writer : codecs) {
        for (const Codec& reader : codecs) {
          SCOPED_TRACE(std::string(capture_tool::PixelFormatName(format)) + " " + std::to_string(length) + " bytes, " +
                       writer.name + " -> " + reader.name);
          std::string error;
          const Bytes png = writer.encode(image, &error);
          ASSERT_FALSE(png.empty()) << error;
          EXPECT_TRUE(capture_tool::LooksLikePng(png));
          auto decoded = reader.decode(png, &error);
          ASSERT_TRUE(decoded) << error;
          EXPECT_EQ(decoded->pixels, image.pixels);
          auto bytes = capture_tool::BytesOfRawPicture(*decoded, &error);
          ASSERT_TRUE(bytes) << error;
          EXPECT_EQ(*bytes, frame);
        }
      }
    }
  }
  // The channel order PNG gets: red first, 16-bit samples big-endian.
  const Bytes pixel = {0x10, 0x20, 0x30, 0x40};
  EXPECT_EQ(capture_tool::RawPicture(pixel, 1, PixelFormat::kBgra32).pixels, (Bytes{0x30, 0x20, 0x10, 0x40}));
  EXPECT_EQ(capture_tool::RawPicture(pixel, 2, PixelFormat::kGray16).pixels, (Bytes{0x20, 0x10, 0x40, 0x30}));
}

// libspng encoding with every row filtered one way.
Bytes EncodeFiltered(const Image& image, int filterChoice) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_set_option(ctx, SPNG_FILTER_CHOICE, filterChoice);
  spng_ihdr ihdr{image.width, image.height, image.bitDepth, static_cast<uint8_t>(image.color), 0, 0, 0};
  spng_set_ihdr(ctx, &ihdr);
  int status = spng_encode_image(ctx, image.pixels.data(), image.pixels.size(), SPNG_FMT_RAW, SPNG_ENCODE_FINALIZE);
  size_t length = 0;
  void* buffer = status == 0 ? spng_get_png_buffer(ctx, &length, &status) : nullptr;
  Bytes out;
  if (buffer != nullptr) out.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  std::free(buffer);
  spng_ctx_free(ctx);
  return out;
}

// PNG encoders filter rows (Sub, Up, Average, Paeth) where that compresses
// better: the zlib reader undoes each, at 8 and 16 bits a sample.
TEST(PngCodecs, TheZlibReaderUndoesEveryRowFilter) {
  for (uint8_t depth : {uint8_t{8}, uint8_t{16}}) {
    Image smooth;
    smooth.width = 97;
    smooth.height = 23;
    smooth.color = Image::Color::kRgb;
    smooth.bitDepth = depth;
    for (size_t i = 0; i < smooth.RowBytes() * smooth.height; ++i) {
      smooth.pixels.push_back(static_cast<uint8_t>(i % smooth.RowBytes() * (i / smooth.RowBytes()) + i % 7));
    }
    struct Filter {
      const char* name;
      int choice;
    } filters[] = {{"none", SPNG_FILTER_CHOICE_NONE}, {"sub", SPNG_FILTER_CHOICE_SUB}, {"up", SPNG_FILTER_CHOICE_UP},
                   {"average", SPNG_FILTER_CHOICE_AVG}, {"paeth", SPNG_FILTER_CHOICE_PAETH}};
    for (const Filter& f : filters) {
      const Bytes png = EncodeFiltered(smooth, f.choice);
      ASSERT_FALSE(png.empty()) << f.name;
      std::string error;
      auto decoded = capture_tool::png_zlib::Decode(png, &error);
      ASSERT_TRUE(decoded) << f.name << ": " << error;
      EXPECT_EQ(decoded->pixels, smooth.pixels) << f.name << ", " << int{depth} << " bits";
    }
  }
}

// A pattern view (palette and text chunks) crosses both ways.
TEST(PngCodecs, ReadEachOthersPalettePictures) {
  const Bytes frame = card::frames::MakeFrame(8192, 3, card::frames::kPatternCounter);
  const Image image = capture_tool::DrawPatternPicture(frame, 512, 0, 0).image;
  std::string error;
  auto viaZlib = capture_tool::png_zlib::Decode(capture_tool::png_spng::Encode(image, &error), &error);
  auto viaSpng = capture_tool::png_spng::Decode(capture_tool::png_zlib::Encode(image, &error), &error);
  for (const auto* decoded : {&viaZlib, &viaSpng}) {
    ASSERT_TRUE(*decoded) << error;
    EXPECT_EQ((*decoded)->pixels, image.pixels);
    EXPECT_EQ((*decoded)->palette, image.palette);
    EXPECT_EQ((*decoded)->text, image.text);
  }
}

TEST(PngCodecs, RefuseDamagedFilesAndPicturesNotForPlayback) {
  std::string error;
  const Image raw = capture_tool::RawPicture(Noise(5000, 1), 100, PixelFormat::kGray8);
  const Bytes png = capture_tool::png_zlib::Encode(raw, &error);
  Bytes flipped = png;
  flipped[png.size() / 2] ^= 0x04;  // inside IDAT: its CRC fails
  const Bytes cut(png.begin(), png.end() - 20);
  for (const Bytes* damaged : std::initializer_list<const Bytes*>{&flipped, &cut}) {
    EXPECT_FALSE(capture_tool::png_zlib::Decode(*damaged, &error));
    EXPECT_FALSE(capture_tool::png_spng::Decode(*damaged, &error));
  }
  const Image pattern = capture_tool::DrawPatternPicture(card::frames::MakeFrame(1024, 0, 0), 256, 0, 0).image;
  EXPECT_FALSE(capture_tool::BytesOfRawPicture(pattern, &error));
  EXPECT_NE(error.find("not frames to play"), std::string::npos) << error;
  Image unmarked = raw;
  unmarked.text.clear();
  EXPECT_FALSE(capture_tool::BytesOfRawPicture(unmarked, &error));
  Image lying = raw;
  lying.text[0].second = "raw frame; format gray8; bytes 999999";
  EXPECT_FALSE(capture_tool::BytesOfRawPicture(lying, &error)) << "more bytes than pixels";
}

}  // namespace
