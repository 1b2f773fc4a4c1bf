#include "card/frames.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

using namespace card::frames;

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(FramesTest, Crc32IsTheCommonCheckValue) {
  EXPECT_EQ(Crc32(Bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(Crc32(Bytes("56789"), Crc32(Bytes("1234"))), 0xCBF43926u);  // continues a running value
}

TEST(FramesTest, MadeFramesVerifyAndCarryTheirHeader) {
  for (uint32_t pattern : {kPatternRamp, kPatternCounter, kPatternNoise, 0x7Fu}) {
    for (size_t length : {size_t{32}, size_t{33}, size_t{4096}, size_t{4099}}) {
      const auto frame = MakeFrame(length, 77, pattern);
      const Check check = VerifyFrame(frame);
      ASSERT_EQ(check.verdict, Verdict::kGood) << pattern << " " << length;
      EXPECT_EQ(check.header.magic, kMagic);
      EXPECT_EQ(check.header.number, 77u);
      EXPECT_EQ(check.header.length, length);
      EXPECT_EQ(check.header.pattern, pattern);
      EXPECT_TRUE(MatchesPattern(frame));
    }
  }
  const auto frame = MakeFrame(40, 0x01020304, kPatternRamp);  // little-endian fields, ramp from the number
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 8),
            (std::vector<uint8_t>{'F', 'R', 'A', 'M', 4, 3, 2, 1}));
  EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 32, frame.end()),
            (std::vector<uint8_t>{4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(FramesTest, PayloadsDifferBetweenFramesAndPatterns) {
  const auto base = MakeFrame(256, 1, kPatternNoise);
  for (const auto& other : {MakeFrame(256, 2, kPatternNoise), MakeFrame(256, 1, 3), MakeFrame(256, 1, kPatternCounter),
                            MakeFrame(256, 1, kPatternRamp)})
    EXPECT_FALSE(std::equal(base.begin() + 32, base.end(), other.begin() + 32));
}

TEST(FramesTest, EveryDamageIsCaughtAndClassified) {
  const auto good = MakeFrame(200, 5, kPatternCounter);
  for (size_t i = 4; i < good.size(); ++i) {  // every single-bit flip past the magic
    auto bad = good;
    bad[i] ^= 0x10;
    const Verdict v = VerifyFrame(bad).verdict;
    EXPECT_EQ(v, i < kHeaderSize ? Verdict::kBadHeader : Verdict::kBadPayload) << i;
  }
  auto noMagic = good;
  noMagic[0] ^= 1;
  EXPECT_EQ(VerifyFrame(noMagic).verdict, Verdict::kNotAFrame);
  EXPECT_EQ(VerifyFrame(std::span(good).first(3)).verdict, Verdict::kNotAFrame);
  EXPECT_EQ(VerifyFrame(std::span(good).first(20)).verdict, Verdict::kBadHeader);
  EXPECT_EQ(VerifyFrame(std::span(good).first(199)).verdict, Verdict::kBadLength);  // cut short

  auto longer = good;  // bytes past the frame's length are not the frame's business
  longer.resize(300, 0xEE);
  EXPECT_EQ(VerifyFrame(longer).verdict, Verdict::kGood);

  // A well-formed frame whose payload is not the pattern its header names:
  // the checksums pass, only regeneration tells.
  auto relabelled = MakeFrame(64, 5, kPatternCounter);
  relabelled[12] = static_cast<uint8_t>(kPatternRamp);
  const uint32_t headerCrc = Crc32(std::span(relabelled).first(28));
  for (int i = 0; i < 4; ++i) relabelled[28 + i] = static_cast<uint8_t>(headerCrc >> (8 * i));
  EXPECT_EQ(VerifyFrame(relabelled).verdict, Verdict::kGood);
  EXPECT_FALSE(MatchesPattern(relabelled));
}

}  // namespace
