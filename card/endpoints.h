// The two ends of the card's data path behind the DMA engine: the capture
// source that makes numbered test-pattern frames, and the playout sink that
// checks what it receives and keeps the last block for loopback. Plain
// state, not thread-safe: the engine guards both with its lock and does the
// heavy work (making and checking frames) outside it.
#ifndef CARD_ENDPOINTS_H
#define CARD_ENDPOINTS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "card/frames.h"

namespace card {

class CaptureSource {
 public:
  struct Frame {
    uint32_t number;
    uint32_t pattern;
  };
  // The next frame for a capture with user parameter `param` (see
  // dma_registers.h); numbering continues from the frame returned.
  Frame Take(uint32_t param);
  uint32_t NextNumber() const { return next_; }
  uint32_t FramesMade() const { return made_; }
  void ResetCounters() { made_ = 0; }

 private:
  uint32_t next_ = 0;
  uint32_t made_ = 0;
};

class PlayoutSink {
 public:
  struct Counters {
    uint32_t framesGood = 0;
    uint32_t framesBad = 0;
    uint32_t lastFrame = 0;
    uint64_t bytes = 0;
    uint32_t blocks = 0;
    uint32_t lastParam = 0;
  };
  // Accounts a received block checked as `check` and keeps it for loopback.
  // The block is swapped in: `block` comes back holding the previous one,
  // so its storage can be reused.
  void Accept(std::vector<uint8_t>& block, uint32_t param, const frames::Check& check);
  // The last block received, cut or zero-padded to `length` bytes.
  void CopyLastBlock(std::vector<uint8_t>& out, size_t length) const;
  const Counters& counters() const { return counters_; }
  void ResetCounters() { counters_ = {}; }

 private:
  Counters counters_;
  std::vector<uint8_t> last_;
};

}  // namespace card

#endif  // CARD_ENDPOINTS_H
