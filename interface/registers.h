// Card registers in the BAR2 window, as byte offsets from the window's base.
//
// Notes on the hardware:
//  1. Every register is 32 bits wide and big-endian on the bus: a value v is
//     stored as its byte swap, and loads are swapped back. Offsets are plain
//     host-order numbers.
//  2. A write of any value to (reg | kRegReadRequest) asks the card to write
//     reg's value and a flag word into the host write-back area (two
//     big-endian words, see WriteBack*). This is how registers are read on
//     cards that do not announce direct reads in kRegCapability.
//  3. Offsets below kRegCoreLimit are the card's core registers: a failed
//     write-back read of one is retried longer, and 0xFFFFFFFF from one is
//     worth a log line (a vanished card reads all ones).
//
//  4. 0x7900..0x7999 are the driver's pseudo registers (interface/ioctl.h):
//     get-register answers them from driver state and never reads the card.
//
// This header is the card's register map for every room: the driver (kernel
// C++17, also with mingw-w64), the simulated card, the client, the tools and
// the tests. No standard library. The DMA engine's registers follow in
// dma_registers.h, included at the end.
#ifndef INTERFACE_REGISTERS_H
#define INTERFACE_REGISTERS_H

namespace regs {

// Write-back address of the host memory area the card answers reads into.
constexpr unsigned kWriteBackAddrHigh = 0x102C;  // high 32 bits
constexpr unsigned kWriteBackAddrLow = 0x1030;   // low 32 bits | kWriteBackEnable
constexpr unsigned kWriteBackEnable = 0x1;

// DMA descriptor registers, card-to-host (DmaWrite) direction.
constexpr unsigned kDmaWriteDesc0 = 0x1040;  // user parameter
constexpr unsigned kDmaWriteDesc1 = 0x1044;
constexpr unsigned kDmaWriteDesc2 = 0x1048;
constexpr unsigned kDmaWriteDesc3 = 0x104C;
// DMA descriptor registers, host-to-card (DmaRead) direction.
constexpr unsigned kDmaReadDesc0 = 0x1050;  // user parameter
constexpr unsigned kDmaReadDesc1 = 0x1054;
constexpr unsigned kDmaReadDesc2 = 0x1058;
constexpr unsigned kDmaReadDesc3 = 0x105C;

// Completion status registers, polled instead of the status words in host
// memory on cards that set kCapDirectRead.
constexpr unsigned kDmaWriteDoneStatus = 0x1780;  // card-to-host
constexpr unsigned kDmaReadDoneStatus = 0x1B80;   // host-to-card

constexpr unsigned kRegCapability = 0x6008;
constexpr unsigned kCapDirectRead = 0x800;  // bit 11: direct reads + status registers

// Message-signalled interrupt enable: all ones enables every source, 0 disables.
constexpr unsigned kRegMsiEnable = 0x6074;
constexpr unsigned kMsiEnableAll = 0xFFFFFFFF;
constexpr unsigned kMsiDisableAll = 0;

constexpr unsigned kRegReadRequest = 0x10000;  // see note 2
constexpr unsigned kRegCoreLimit = 0x2000;     // see note 3

// Flag word of the write-back area, in host order after the swap.
constexpr unsigned kWriteBackReadyMask = 0xFF;  // bits 7..0
constexpr unsigned kWriteBackReady = 0x01;
constexpr unsigned kWriteBackOffsetShift = 16;  // bits 31..16: the echoed offset, or 0

// The destructive register test writes into this range and never to 0x6004.
constexpr unsigned kRandomTestBase = 0x2000;
constexpr unsigned kRandomTestSpan = 0x5000;
constexpr unsigned kRandomTestAvoid = 0x6004;
constexpr unsigned kRandomTestAvoidReplacement = 0x6000;

}  // namespace regs

// Layout of every DMA common buffer (host memory shared with the card).
namespace cbuf {
constexpr unsigned kStatusWord = 0x000;     // big-endian completion status, 0 = none
constexpr unsigned kWriteBackArea = 0x040;  // DmaRead buffer only: value, flag word
constexpr unsigned kSglItem = 0x200;        // 16-byte scatter/gather item
constexpr unsigned kData = 0x1000;          // transfer data
constexpr unsigned kHeadroom = 0x20000;     // common buffer = max transfer + this
}  // namespace cbuf

#include "dma_registers.h"

#endif  // INTERFACE_REGISTERS_H
