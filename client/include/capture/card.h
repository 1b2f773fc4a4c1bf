// A capture/playout card opened from user mode: every control command as a
// typed call, every failure as a value.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "capture/backend.h"
#include "capture/products.h"
#include "capture/result.h"
#include "capture/user_buffer.h"
#include "interface/ioctl.h"

namespace capture {

// The parameter block of family A. Family B's block is its first 24 bytes,
// laid out alike; a family B card is sent and answers only those.
using Block = IOCTL_BUFFER_A;

// An event the driver can signal; closed when the object goes.
class Event {
 public:
  static Result<Event> Create(std::shared_ptr<Backend> backend, bool manualReset = false,
                              bool initiallySignalled = false);
  Event(Event&& other) noexcept;
  Event& operator=(Event&& other) noexcept;
  ~Event();

  Status Signal();
  Status Clear();
  Result<WaitOutcome> Wait(std::chrono::milliseconds timeout);
  uint64_t BlockValue() const;  // for hEvent
  Backend::Handle handle() const { return handle_; }

 private:
  Event(std::shared_ptr<Backend> backend, Backend::Handle handle) : backend_(std::move(backend)), handle_(handle) {}
  void Release();
  std::shared_ptr<Backend> backend_;
  Backend::Handle handle_ = 0;
};

// Offsets the driver answers itself on a register read.
struct PseudoRegister {
  uint32_t offset;
  std::string_view name;
  std::string_view meaning;
};
std::span<const PseudoRegister> PseudoRegisters();

struct PseudoValue {
  PseudoRegister reg;
  uint32_t value;
};

// The two transfer directions. The driver names them from the card's side:
// host-to-card is "DmaRead" (commands 3, 5, 6, 11, 0x100), card-to-host is
// "DmaWrite" (commands 4, 7, 8, 10, 0x101).
enum class Direction { kHostToCard, kCardToHost };
std::string_view DirectionName(Direction direction);  // "host-to-card", "card-to-host"

// One entry of the driver's buffer pool (family A): a common buffer, named
// by its bus address in the pool commands. An entry the driver could not
// allocate has address 0 and admits no copy.
struct PoolEntry {
  uint64_t busAddress = 0;
  uint32_t size = 0;
  bool operator==(const PoolEntry&) const = default;
};
constexpr unsigned kPoolEntries = 8;

// Calls may come from several threads at once (each is one control request);
// Close, moving and destruction may not overlap with any other call.
class Card {
 public:
  static Result<Card> Open(std::shared_ptr<Backend> backend, const DeviceName& name);
  static Result<Card> Open(std::shared_ptr<Backend> backend, std::string_view product, unsigned instance);
  // "Talvrex_v100-0", "\\.\Talvrex_v100-0" or "\DosDevices\Talvrex_v100-0".
  static Result<Card> Open(std::shared_ptr<Backend> backend, std::string_view deviceName);

  Card(Card&& other) noexcept;
  Card& operator=(Card&& other) noexcept;
  ~Card();
  Status Close();  // also done by the destructor, which drops the outcome

  const DeviceName& name() const { return name_; }
  const Product& product() const { return *name_.product; }
  Backend& backend() { return *backend_; }

  Result<uint32_t> Version();
  // 0xFFFFFFFF when the card did not answer (and, of course, for a register
  // that holds all ones).
  Result<uint32_t> ReadRegister(uint32_t offset);
  Status WriteRegister(uint32_t offset, uint32_t value);

  // Driver settings reached through register writes.
  Status SetWriteDelay(std::chrono::microseconds delay);  // the driver caps it at 1 s
  Status ConnectMessageInterrupts();
  Status DisconnectMessageInterrupts();
  Status ReconnectMessageInterrupts();

  Result<std::vector<PseudoValue>> ReadPseudoRegisters();
  // Makes the driver print its diagnostic dump to the kernel debugger.
  Status DiagnosticDump();

  // Register tests. TestWriteRegisters is destructive: it writes all ones
  // to random registers 0x2000..0x6FFF.
  Status TestWriteRegisters(uint32_t count);
  // Reads offset and offset + 4, count times; the last value read, or
  // `initial` when count is 0.
  Result<uint32_t> TestReadRegister(uint32_t offset, uint32_t count, uint32_t initial = 0);
  // Up to 8 bytes of the driver's write-back area from byteOffset.
  Result<std::vector<uint8_t>> ReadWriteBack(uint32_t byteOffset, uint32_t count);

  Result<Event> NewEvent(bool manualReset = false) { return Event::Create(backend_, manualReset); }
  // A buffer that transfers and pool copies may name (below 4 GiB).
  Result<UserBuffer> AllocateBuffer(size_t size) { return UserBuffer::Allocate(backend_, size); }

  // --- Transfers ---------------------------------------------------------
  // One transfer at a time per direction; the two directions may run from
  // two threads. A registration replaces the previous one of the device,
  // whoever made it (the driver keeps one event per direction per card).
  //
  // Creates the card's own completion events (once) and registers them
  // (commands 3 and 4); CaptureFrame and PlayFrame do this on first use.
  // Also learns how the driver finds completions (capability bit 11).
  Status RegisterCompletionEvents();
  // Registers a caller's event for one direction instead (the card's own
  // event of that direction, if any, is no longer signalled).
  Status RegisterCompletionEvent(Direction direction, const Event& event);
  // Command 0x1010: signalled (once per DPC) on message interrupts; needs
  // ConnectMessageInterrupts.
  Status RegisterMessageEvent(const Event& event);
  // The card's own completion event, after RegisterCompletionEvents.
  Event* CompletionEvent(Direction direction);

  // Whole transfers: start, wait for the completion event, then release
  // (host-to-card) or finish (card-to-host: the driver copies the data into
  // `buffer`). `length` bytes from the buffer's start; the card moves whole
  // 32-bit words. On a time-out the transfer is released or finished all
  // the same (the driver unlocks the buffer) and the error is kTimedOut.
  Status CaptureFrame(UserBuffer& buffer, uint32_t length, uint32_t startRegister, uint32_t param,
                      std::chrono::milliseconds timeout);
  Status PlayFrame(const UserBuffer& buffer, uint32_t length, uint32_t startRegister, uint32_t param,
                   std::chrono::milliseconds timeout);

  // The steps, for callers that wait themselves: command 5 or 7 ...
  Status StartTransfer(Direction direction, const UserBuffer& buffer, uint32_t length, uint32_t startRegister,
                       uint32_t param);
  // ... and command 6 (release) or 8 (finish, copies into the buffer).
  Status EndTransfer(Direction direction);
  // Waits for the direction's completion after StartTransfer (the card's own
  // event). kTimedOut when none came.
  Status WaitForCompletion(Direction direction, std::chrono::milliseconds timeout);

  // Commands 11 / 10: true when the direction's status word in the common
  // buffer is 0 (no completion the poll has not consumed).
  Result<bool> StatusWordClear(Direction direction);
  // Commands 0x100 / 0x101: true when a completion with status 2 (capture:
  // no signal) came since the last call; the call clears the flag.
  Result<bool> TakeStatus2(Direction direction);

  // --- Buffer pool (family A; family B answers a kClient error) -----------
  Result<std::vector<PoolEntry>> BufferPool();  // command 12
  // Commands 13 / 14: `length` bytes between the entry's buffer at `offset`
  // and the start of `buffer`. A refused copy (no such entry, out of
  // bounds) is a kCommand error with result RESULT_POOL_NO_COPY.
  Status ReadPool(uint64_t busAddress, uint32_t offset, UserBuffer& buffer, uint32_t length);
  Status WritePool(uint64_t busAddress, uint32_t offset, const UserBuffer& buffer, uint32_t length);

  // Any command: sends the block (the family's size of it) and answers the
  // driver's copy; a non-zero ulResult is an error of kind kCommand.
  Result<Block> Execute(const Block& block, std::string_view operation);

 private:
  Card(std::shared_ptr<Backend> backend, DeviceName name, Backend::Handle handle)
      : backend_(std::move(backend)), name_(name), handle_(handle) {}
  void CloseQuietly() noexcept;
  Result<Block> Run(uint32_t command, uint32_t addr, uint32_t data, uint32_t param0, std::string_view operation);
  Status Transfer(Direction direction, const UserBuffer& buffer, uint32_t length, uint32_t startRegister,
                  uint32_t param, std::chrono::milliseconds timeout);
  Status PoolCopy(uint32_t command, uint64_t busAddress, uint32_t offset, const UserBuffer& buffer, uint32_t length);
  Status RequireFamilyA(std::string_view operation) const;

  std::shared_ptr<Backend> backend_;
  DeviceName name_;
  std::optional<Backend::Handle> handle_;
  std::optional<Event> completion_[2];  // by Direction
  // The driver signals on every poll run while a status register is set
  // (cards with direct reads): a wake then needs a check.
  bool completionByRegister_ = false;
};

// The cards a back end can see. `state` is the driver's interface version,
// or why the card cannot be used (not started, in use, ...).
struct CardListing {
  DeviceName name;
  Result<uint32_t> state;
};
std::vector<CardListing> ListCards(const std::shared_ptr<Backend>& backend);

}  // namespace capture
