// Test-pattern frames: the capture source makes them, the playout sink and
// user mode check them. Pure functions over byte ranges, no card state, so
// the client, the tools and the tests share one definition of the format.
//
// A frame is a 32-byte header followed by a payload; every header field is a
// little-endian 32-bit word (the host processor's order, unlike registers):
//
//   offset  field
//   0       magic 0x4D415246 (the bytes "FRAM")
//   4       frame number
//   8       length of the whole frame in bytes, header included
//   12      pattern id
//   16      CRC-32 of the payload (bytes 32 .. length-1)
//   20, 24  reserved, 0
//   28      CRC-32 of bytes 0..27
//
// The payload is a function of (frame number, pattern id) and the byte
// offset alone, so any frame can be regenerated and compared. CRC-32 is the
// common reflected 0xEDB88320 polynomial (initial and final value all ones).
#ifndef CARD_FRAMES_H
#define CARD_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace card::frames {

constexpr uint32_t kMagic = 0x4D415246;
constexpr size_t kHeaderSize = 32;

// Pattern ids. Any other id gives pseudo-random data seeded with the id, so
// every id names a distinct, reproducible payload.
constexpr uint32_t kPatternRamp = 0;     // byte i = (i + frame number) mod 256
constexpr uint32_t kPatternCounter = 1;  // word k = k ^ (frame number << 20)
constexpr uint32_t kPatternNoise = 2;    // hash of (frame number, pattern, k)

struct Header {
  uint32_t magic = 0;
  uint32_t number = 0;
  uint32_t length = 0;
  uint32_t pattern = 0;
  uint32_t payloadCrc = 0;
  uint32_t headerCrc = 0;
};

enum class Verdict {
  kGood,
  kNotAFrame,   // no magic: plain data, not a frame at all
  kBadHeader,   // magic present, but the header is cut short or its CRC fails
  kBadLength,   // length below the header size or beyond the bytes given
  kBadPayload,  // payload CRC mismatch
};

struct Check {
  Verdict verdict = Verdict::kNotAFrame;
  Header header;  // as read, valid when verdict is kGood, kBadLength or kBadPayload
};

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

// Fills `payload` as the payload of frame `number` with `pattern`.
void FillPayload(std::span<uint8_t> payload, uint32_t number, uint32_t pattern);

// Writes a whole frame of out.size() bytes. A range shorter than the header
// receives the header's leading bytes only (such a frame never verifies).
void MakeFrame(std::span<uint8_t> out, uint32_t number, uint32_t pattern);
std::vector<uint8_t> MakeFrame(size_t length, uint32_t number, uint32_t pattern);

// Checks the frame at the start of `bytes`; bytes past its length are ignored.
Check VerifyFrame(std::span<const uint8_t> bytes);

// True when `bytes` holds a good frame whose payload is exactly the pattern
// its header names (the checksum alone cannot tell a wrong generator).
bool MatchesPattern(std::span<const uint8_t> bytes);

}  // namespace card::frames

#endif  // CARD_FRAMES_H
