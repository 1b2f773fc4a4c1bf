// Test-pattern frames; the format is described in frames.h.
#include "card/frames.h"

#include <algorithm>
#include <array>

namespace card::frames {
namespace {

constexpr size_t kHeaderCrcOffset = 28;

// Slicing by 8: table[0] is the classic byte table; table[j][i] is the CRC
// of byte i followed by j zero bytes, so eight bytes fold in per step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (size_t j = 1; j < 8; ++j) {
    for (uint32_t i = 0; i < 256; ++i) t[j][i] = t[0][t[j - 1][i] & 0xFF] ^ (t[j - 1][i] >> 8);
  }
  return t;
}
constexpr CrcTables kCrc = MakeCrcTables();

uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A well-mixing 32-bit hash, so noise words can be made in any order.
uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

uint32_t PatternWord(uint32_t number, uint32_t pattern, uint32_t k) {
  switch (pattern) {
    case kPatternRamp: {
      const uint32_t first = 4 * k + number;
      uint32_t w = 0;
      for (uint32_t j = 0; j < 4; ++j) w |= ((first + j) & 0xFF) << (8 * j);
      return w;
    }
    case kPatternCounter:
      return k ^ (number << 20);
    default:
      return Mix(k * 0x9E3779B9u + (number * 0x85EBCA6Bu ^ pattern * 0xC2B2AE35u));
  }
}

std::array<uint8_t, kHeaderSize> EncodeHeader(uint32_t number, uint32_t length, uint32_t pattern,
                                              uint32_t payloadCrc) {
  std::array<uint8_t, kHeaderSize> h{};
  StoreLe32(&h[0], kMagic);
  StoreLe32(&h[4], number);
  StoreLe32(&h[8], length);
  StoreLe32(&h[12], pattern);
  StoreLe32(&h[16], payloadCrc);
  StoreLe32(&h[kHeaderCrcOffset], Crc32(std::span(h).first(kHeaderCrcOffset)));
  return h;
}

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  crc = ~crc;
  const uint8_t* p = bytes.data();
  size_t n = bytes.size();
  for (; n >= 8; n -= 8, p += 8) {
    const uint32_t lo = LoadLe32(p) ^ crc, hi = LoadLe32(p + 4);
    crc = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
          kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
  }
  for (; n > 0; --n, ++p) crc = kCrc[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// The pattern's generator chosen once, outside the loop over words.
template <typename Word>
void FillWords(std::span<uint8_t> payload, size_t words, Word word) {
  for (size_t k = 0; k < words; ++k) StoreLe32(&payload[4 * k], word(static_cast<uint32_t>(k)));
}

void FillPayload(std::span<uint8_t> payload, uint32_t number, uint32_t pattern) {
  const size_t words = payload.size() / 4;
  if (pattern == kPatternCounter) {
    FillWords(payload, words, [number](uint32_t k) { return k ^ (number << 20); });
  } else if (pattern == kPatternRamp) {
    FillWords(payload, words, [number](uint32_t k) { return PatternWord(number, kPatternRamp, k); });
  } else {
    const uint32_t seed = number * 0x85EBCA6Bu ^ pattern * 0xC2B2AE35u;
    FillWords(payload, words, [seed](uint32_t k) { return Mix(k * 0x9E3779B9u + seed); });
  }
  if (const size_t tail = payload.size() % 4) {
    std::array<uint8_t, 4> last{};
    StoreLe32(last.data(), PatternWord(number, pattern, static_cast<uint32_t>(words)));
    std::copy_n(last.begin(), tail, payload.begin() + 4 * words);
  }
}

void MakeFrame(std::span<uint8_t> out, uint32_t number, uint32_t pattern) {
  uint32_t payloadCrc = 0;
  if (out.size() > kHeaderSize) {
    const auto payload = out.subspan(kHeaderSize);
    FillPayload(payload, number, pattern);
    payloadCrc = Crc32(payload);
  }
  const auto header = EncodeHeader(number, static_cast<uint32_t>(out.size()), pattern, payloadCrc);
  std::copy_n(header.begin(), std::min(out.size(), kHeaderSize), out.begin());
}

std::vector<uint8_t> MakeFrame(size_t length, uint32_t number, uint32_t pattern) {
  std::vector<uint8_t> frame(length);
  MakeFrame(std::span(frame), number, pattern);
  return frame;
}

Check VerifyFrame(std::span<const uint8_t> bytes) {
  Check check;
  if (bytes.size() < 4 || LoadLe32(bytes.data()) != kMagic) return check;
  check.verdict = Verdict::kBadHeader;
  if (bytes.size() < kHeaderSize) return check;
  const uint8_t* h = bytes.data();
  check.header = {LoadLe32(h), LoadLe32(h + 4), LoadLe32(h + 8), LoadLe32(h + 12), LoadLe32(h + 16),
                  LoadLe32(h + kHeaderCrcOffset)};
  if (Crc32(bytes.first(kHeaderCrcOffset)) != check.header.headerCrc) return check;
  if (check.header.length < kHeaderSize || check.header.length > bytes.size()) {
    check.verdict = Verdict::kBadLength;
    return check;
  }
  const auto payload = bytes.subspan(kHeaderSize, check.header.length - kHeaderSize);
  check.verdict = Crc32(payload) == check.header.payloadCrc ? Verdict::kGood : Verdict::kBadPayload;
  return check;
}

bool MatchesPattern(std::span<const uint8_t> bytes) {
  const Check check = VerifyFrame(bytes);
  if (check.verdict != Verdict::kGood) return false;
  std::vector<uint8_t> expected(check.header.length - kHeaderSize);
  FillPayload(expected, check.header.number, check.header.pattern);
  return std::equal(expected.begin(), expected.end(), bytes.begin() + kHeaderSize);
}

}  // namespace card::frames
