// Capture source and playout sink; see endpoints.h.
#include "card/endpoints.h"

#include <algorithm>

#include "interface/dma_registers.h"

namespace card {

namespace dma = regs::dma;

CaptureSource::Frame CaptureSource::Take(uint32_t param) {
  if (param & dma::kCaptureSetNumber) next_ = (param >> dma::kCaptureNumberShift) & dma::kCaptureNumberMask;
  ++made_;
  return {next_++, param & dma::kCapturePatternMask};
}

void PlayoutSink::Accept(std::vector<uint8_t>& block, uint32_t param, const frames::Check& check) {
  ++counters_.blocks;
  counters_.bytes += block.size();
  counters_.lastParam = param;
  switch (check.verdict) {
    case frames::Verdict::kGood:
      ++counters_.framesGood;
      counters_.lastFrame = check.header.number;
      break;
    case frames::Verdict::kNotAFrame:
      break;  // plain data: kept for loopback, not judged
    default:
      ++counters_.framesBad;
      break;
  }
  last_.swap(block);
}

void PlayoutSink::CopyLastBlock(std::vector<uint8_t>& out, size_t length) const {
  out.resize(length);
  const size_t kept = std::min(length, last_.size());
  std::copy_n(last_.begin(), kept, out.begin());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(kept), out.end(), 0);
}

}  // namespace card
