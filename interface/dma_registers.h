// The DMA engine's registers in the BAR2 window and the values it writes,
// for the card model, user-mode clients, the tools and tests. Meanings are
// described in card/REGISTERS.md ("DMA engine"). Kernel C++17 clean:
// interface/registers.h, which the driver includes, includes this one.
//
// The engine's registers sit at 0x8000 and up: below 0x2000 lie the core
// registers, and the driver's destructive register test stores all ones at
// random offsets 0x2000..0x6FFF, which must not start transfers.
#ifndef INTERFACE_DMA_REGISTERS_H
#define INTERFACE_DMA_REGISTERS_H

#include <stdint.h>

namespace regs {
namespace dma {

// Start registers: a store of a common buffer's bus address (low 32 bits)
// starts one transfer through that buffer.
constexpr uint32_t kStartPlayout = 0x8000;   // host-to-card, into the playout sink
constexpr uint32_t kStartCapture = 0x8004;   // card-to-host, from the capture source
constexpr uint32_t kStartLoopback = 0x8008;  // card-to-host, the sink's last block

// Counters, read-only (stores are dropped).
constexpr uint32_t kSinkFramesGood = 0x8100;
constexpr uint32_t kSinkFramesBad = 0x8104;
constexpr uint32_t kSinkLastFrame = 0x8108;   // number of the last good frame
constexpr uint32_t kSinkBytes = 0x810C;       // bytes received, modulo 2^32
constexpr uint32_t kSinkBlocks = 0x8110;      // blocks received, frames or not
constexpr uint32_t kSinkLastParam = 0x8114;   // user parameter of the last block
constexpr uint32_t kCaptureNextFrame = 0x8120;
constexpr uint32_t kCaptureFrames = 0x8124;   // frames the source has made
constexpr uint32_t kDmaFailures = 0x8128;     // transfers abandoned on a failed DMA
constexpr uint32_t kFirstCounter = kSinkFramesGood;
constexpr uint32_t kLastCounter = kDmaFailures;

// A store of any value zeroes every counter (the last block and the next
// frame number stay).
constexpr uint32_t kCounterReset = 0x8180;

// Capture user parameter.
constexpr uint32_t kCapturePatternMask = 0xFF;      // bits 7..0: pattern id
constexpr uint32_t kCaptureSetNumber = 0x80000000;  // bit 31: this frame's number follows
constexpr unsigned kCaptureNumberShift = 8;         // bits 30..8: that number
constexpr uint32_t kCaptureNumberMask = 0x7FFFFF;

// Status word / completion status register values.
constexpr uint32_t kStatusDone = 1;
constexpr uint32_t kStatusNoSignal = 2;  // capture only: the source has no signal

// Message raised on every completion, both directions.
constexpr uint32_t kCompletionMessage = 0;

}  // namespace dma
}  // namespace regs

#endif  // INTERFACE_DMA_REGISTERS_H
