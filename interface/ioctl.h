// The control interface between user mode and the driver: one buffered
// control code and a fixed parameter block whose first word names a command,
// and the pseudo registers the driver answers itself. Shared by the driver,
// the client library, the tools and the tests; plain fixed-width types and
// no standard library, so that it compiles in kernel C++17 (also with
// mingw-w64 against the DDK headers) and in user mode alike.
#ifndef INTERFACE_IOCTL_H
#define INTERFACE_IOCTL_H

#include <stddef.h>
#include <stdint.h>

// Device type 0x22 (unknown), function 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr uint32_t IOCTL_COMMAND = 0x00222004;
static_assert(IOCTL_COMMAND == ((0x22u << 16) | (0u << 14) | (0x801u << 2) | 0u), "control code");

// Command numbers (ulCommand).
constexpr uint32_t IOCTL_SET_REGISTER = 1;
constexpr uint32_t IOCTL_GET_REGISTER = 2;
constexpr uint32_t IOCTL_SET_EVENT_DMAREAD = 3;
constexpr uint32_t IOCTL_SET_EVENT_DMAWRITE = 4;
constexpr uint32_t IOCTL_START_DMAREAD = 5;
constexpr uint32_t IOCTL_RELEASE_DMAREAD = 6;
constexpr uint32_t IOCTL_START_DMAWRITE = 7;
constexpr uint32_t IOCTL_FINISH_DMAWRITE = 8;
constexpr uint32_t IOCTL_GET_VERSION = 9;
constexpr uint32_t IOCTL_QUERY_DMAWRITE_CLEAR = 10;
constexpr uint32_t IOCTL_QUERY_DMAREAD_CLEAR = 11;
constexpr uint32_t IOCTL_GET_BUFFER_POOL = 12;    // family A only
constexpr uint32_t IOCTL_READ_BUFFER_POOL = 13;   // family A only
constexpr uint32_t IOCTL_WRITE_BUFFER_POOL = 14;  // family A only
constexpr uint32_t IOCTL_GET_STATUS2_DMAREAD = 0x100;
constexpr uint32_t IOCTL_GET_STATUS2_DMAWRITE = 0x101;
constexpr uint32_t IOCTL_TEST_WRITE_REGISTERS = 0x1000;
constexpr uint32_t IOCTL_TEST_READ_REGISTER = 0x1001;
constexpr uint32_t IOCTL_READ_WRITEBACK = 0x1005;
constexpr uint32_t IOCTL_SET_EVENT_MSI = 0x1010;

constexpr uint32_t DRIVER_INTERFACE_VERSION = 0x00020603;  // IOCTL_GET_VERSION

// Result codes (ulResult).
constexpr uint32_t RESULT_SUCCESS = 0;
constexpr uint32_t RESULT_EVENT_NOT_REFERENCED = 1;  // commands 3, 4, 0x1010
constexpr uint32_t RESULT_DMAREAD_FAILED = 4;        // command 5: too long, or copy faulted
constexpr uint32_t RESULT_DMAWRITE_TOO_LONG = 7;     // command 7
constexpr uint32_t RESULT_UNKNOWN_COMMAND = 8;
constexpr uint32_t RESULT_NOT_IMPLEMENTED = 9;       // foreign control code
constexpr uint32_t RESULT_DMAWRITE_COPY_FAILED = 9;  // command 8: the copy to the caller faulted
constexpr uint32_t RESULT_POOL_NO_COPY = 0xFFFFFFFF;  // commands 13, 14

// Pseudo registers: offsets in the register window that the driver answers
// itself from its own state instead of reading the card (get-register), and
// offsets whose writes also act on the driver (set-register). The card never
// sees a get-register of 0x7900..0x7999; a set-register still reaches it.
// Three offsets mean one thing to get-register and another to set-register.
constexpr uint32_t PSEUDO_REG_FIRST = 0x7900;
constexpr uint32_t PSEUDO_REG_LAST = 0x7999;
// get-register
constexpr uint32_t PSEUDO_REG_ISR_COUNT = 0x7900;              // interrupt routine calls that claimed
constexpr uint32_t PSEUDO_REG_RESERVED_7901 = 0x7901;          // reads 0
constexpr uint32_t PSEUDO_REG_RESERVED_7902 = 0x7902;          // reads 0
constexpr uint32_t PSEUDO_REG_DMAREAD_STATUS = 0x7910;         // status word in the DmaRead common buffer
constexpr uint32_t PSEUDO_REG_DMAREAD_LAST_STATUS = 0x7911;    // last DmaRead completion status
constexpr uint32_t PSEUDO_REG_DMAWRITE_STATUS = 0x7920;        // status word in the DmaWrite common buffer
constexpr uint32_t PSEUDO_REG_DMAWRITE_LAST_STATUS = 0x7921;   // last DmaWrite completion status
constexpr uint32_t PSEUDO_REG_WRITE_DELAY = 0x7930;            // also set-register: the delay, in us
constexpr uint32_t PSEUDO_REG_WRITEBACK_ADDR_LOW = 0x7940;     // low half, with the enable bit
constexpr uint32_t PSEUDO_REG_WRITEBACK_ADDR_HIGH = 0x7941;
constexpr uint32_t PSEUDO_REG_WRITEBACK_AREA_VA = 0x7942;      // low half of a kernel address
constexpr uint32_t PSEUDO_REG_RESERVED_7944 = 0x7944;          // reads 0
constexpr uint32_t PSEUDO_REG_DMAREAD_BUFFER_LOW = 0x7950;     // DmaRead common buffer, bus address
constexpr uint32_t PSEUDO_REG_DMAREAD_BUFFER_HIGH = 0x7951;
constexpr uint32_t PSEUDO_REG_DMAWRITE_BUFFER_LOW = 0x7952;    // DmaWrite common buffer, bus address
constexpr uint32_t PSEUDO_REG_DMAWRITE_BUFFER_HIGH = 0x7953;
constexpr uint32_t PSEUDO_REG_BAR2_VA = 0x7954;                // low half of a kernel address
constexpr uint32_t PSEUDO_REG_READ_WRITEBACK_ADDR = 0x7955;    // diagnostic marker
constexpr uint32_t PSEUDO_REG_DIAGNOSTIC_DUMP = 0x7999;        // reads 0; the driver prints its state
// set-register
constexpr uint32_t PSEUDO_REG_MSI_RECONNECT = 0x7940;
constexpr uint32_t PSEUDO_REG_MSI_CONNECT = 0x7941;
constexpr uint32_t PSEUDO_REG_MSI_DISCONNECT = 0x7942;
constexpr uint32_t WRITE_DELAY_MAX_US = 1000000;

// The parameter block. Family B ends after ulParam1 (24 bytes); family A
// carries a further parameter and a table area (136 bytes). All fields are
// little-endian. Two 64-bit views overlay the fields: hEvent (offsets 8..15,
// an event handle) and ullKey (offsets 16..23, a pool buffer's bus address).
struct IOCTL_BUFFER_B {
  uint32_t ulCommand;
  uint32_t ulResult;
  union {
    struct {
      uint32_t ulAddr;
      uint32_t ulData;
    };
    uint64_t hEvent;
  };
  union {
    struct {
      uint32_t ulParam0;
      uint32_t ulParam1;
    };
    uint64_t ullKey;
  };
};

struct IOCTL_BUFFER_A {
  uint32_t ulCommand;
  uint32_t ulResult;
  union {
    struct {
      uint32_t ulAddr;
      uint32_t ulData;
    };
    uint64_t hEvent;
  };
  union {
    struct {
      uint32_t ulParam0;
      uint32_t ulParam1;
    };
    uint64_t ullKey;
  };
  uint32_t ulParam2;
  uint8_t rest[108];  // used only by IOCTL_GET_BUFFER_POOL's table
};

constexpr uint32_t IOCTL_BUFFER_SIZE_A = 136;
constexpr uint32_t IOCTL_BUFFER_SIZE_B = 24;
constexpr uint32_t IOCTL_POOL_TABLE_OFFSET = 8;  // command 12 writes offsets 8..131

static_assert(sizeof(IOCTL_BUFFER_A) == IOCTL_BUFFER_SIZE_A, "family A block");
static_assert(sizeof(IOCTL_BUFFER_B) == IOCTL_BUFFER_SIZE_B, "family B block");
static_assert(offsetof(IOCTL_BUFFER_B, ulCommand) == 0 && offsetof(IOCTL_BUFFER_B, ulResult) == 4 &&
                  offsetof(IOCTL_BUFFER_B, ulAddr) == 8 && offsetof(IOCTL_BUFFER_B, ulData) == 12 &&
                  offsetof(IOCTL_BUFFER_B, hEvent) == 8 && offsetof(IOCTL_BUFFER_B, ulParam0) == 16 &&
                  offsetof(IOCTL_BUFFER_B, ulParam1) == 20 && offsetof(IOCTL_BUFFER_B, ullKey) == 16,
              "family B layout");
static_assert(offsetof(IOCTL_BUFFER_A, ulAddr) == 8 && offsetof(IOCTL_BUFFER_A, ulParam1) == 20 &&
                  offsetof(IOCTL_BUFFER_A, ulParam2) == 24 && offsetof(IOCTL_BUFFER_A, rest) == 28,
              "family A layout");

#endif  // INTERFACE_IOCTL_H
