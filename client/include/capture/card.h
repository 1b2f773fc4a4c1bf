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
#include "driverxilinx/ioctl.h"

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

  // Any command: sends the block (the family's size of it) and answers the
  // driver's copy; a non-zero ulResult is an error of kind kCommand.
  Result<Block> Execute(const Block& block, std::string_view operation);

 private:
  Card(std::shared_ptr<Backend> backend, DeviceName name, Backend::Handle handle)
      : backend_(std::move(backend)), name_(name), handle_(handle) {}
  void CloseQuietly() noexcept;
  Result<Block> Run(uint32_t command, uint32_t addr, uint32_t data, uint32_t param0, std::string_view operation);

  std::shared_ptr<Backend> backend_;
  DeviceName name_;
  std::optional<Backend::Handle> handle_;
};

// The cards a back end can see. `state` is the driver's interface version,
// or why the card cannot be used (not started, in use, ...).
struct CardListing {
  DeviceName name;
  Result<uint32_t> state;
};
std::vector<CardListing> ListCards(const std::shared_ptr<Backend>& backend);

}  // namespace capture
