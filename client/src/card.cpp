#include "capture/card.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>

namespace capture {

static_assert(offsetof(IOCTL_BUFFER_A, ulCommand) == offsetof(IOCTL_BUFFER_B, ulCommand) &&
                  offsetof(IOCTL_BUFFER_A, ulResult) == offsetof(IOCTL_BUFFER_B, ulResult) &&
                  offsetof(IOCTL_BUFFER_A, ulData) == offsetof(IOCTL_BUFFER_B, ulData) &&
                  offsetof(IOCTL_BUFFER_A, hEvent) == offsetof(IOCTL_BUFFER_B, hEvent) &&
                  offsetof(IOCTL_BUFFER_A, ulParam0) == offsetof(IOCTL_BUFFER_B, ulParam0) &&
                  offsetof(IOCTL_BUFFER_A, ullKey) == offsetof(IOCTL_BUFFER_B, ullKey),
              "family B's block is the head of family A's");

namespace {

constexpr uint32_t kWin32FileNotFound = 2;
constexpr uint32_t kWin32PathNotFound = 3;
constexpr uint32_t kWriteBackOutOffset = 16;  // READ_WRITEBACK answers from here
constexpr uint32_t kWriteBackMaxBytes = 8;

constexpr PseudoRegister kPseudoRegisters[] = {
    {PSEUDO_REG_ISR_COUNT, "isr-count", "interrupt routine calls that claimed an interrupt"},
    {PSEUDO_REG_DMAREAD_STATUS, "dmaread-status", "status word in the DmaRead common buffer"},
    {PSEUDO_REG_DMAREAD_LAST_STATUS, "dmaread-last-status", "last DmaRead completion status"},
    {PSEUDO_REG_DMAWRITE_STATUS, "dmawrite-status", "status word in the DmaWrite common buffer"},
    {PSEUDO_REG_DMAWRITE_LAST_STATUS, "dmawrite-last-status", "last DmaWrite completion status"},
    {PSEUDO_REG_WRITE_DELAY, "write-delay-us", "pause after every register write (us)"},
    {PSEUDO_REG_WRITEBACK_ADDR_LOW, "writeback-addr-low", "write-back address, low half with the enable bit"},
    {PSEUDO_REG_WRITEBACK_ADDR_HIGH, "writeback-addr-high", "write-back address, high half"},
    {PSEUDO_REG_WRITEBACK_AREA_VA, "writeback-area-va", "write-back area, low half of its kernel address"},
    {PSEUDO_REG_DMAREAD_BUFFER_LOW, "dmaread-buffer-low", "DmaRead common buffer bus address, low half"},
    {PSEUDO_REG_DMAREAD_BUFFER_HIGH, "dmaread-buffer-high", "DmaRead common buffer bus address, high half"},
    {PSEUDO_REG_DMAWRITE_BUFFER_LOW, "dmawrite-buffer-low", "DmaWrite common buffer bus address, low half"},
    {PSEUDO_REG_DMAWRITE_BUFFER_HIGH, "dmawrite-buffer-high", "DmaWrite common buffer bus address, high half"},
    {PSEUDO_REG_BAR2_VA, "bar2-va", "register window, low half of its kernel address"},
    {PSEUDO_REG_READ_WRITEBACK_ADDR, "writeback-marker", "diagnostic marker: retried reads, power changes, stop"},
};

std::string Hex(uint32_t value) { return fmt::format("0x{:08X}", value); }

constexpr uint32_t kWin32AccessDenied = 5;

// A back end's failure, told as the operation the caller asked for.
Error Retold(const Error& error, std::string operation) {
  return error.kind() == ErrorKind::kSystem ? error.WithOperation(std::move(operation)) : error;
}

}  // namespace

std::span<const PseudoRegister> PseudoRegisters() { return kPseudoRegisters; }

// --- Event ---------------------------------------------------------------

Result<Event> Event::Create(std::shared_ptr<Backend> backend, bool manualReset, bool initiallySignalled) {
  auto handle = backend->NewEvent(manualReset, initiallySignalled);
  if (!handle) return handle.error();
  return Event(std::move(backend), *handle);
}

Event::Event(Event&& other) noexcept
    : backend_(std::move(other.backend_)), handle_(std::exchange(other.handle_, 0)) {}

Event& Event::operator=(Event&& other) noexcept {
  if (this != &other) {
    Release();
    backend_ = std::move(other.backend_);
    handle_ = std::exchange(other.handle_, 0);
  }
  return *this;
}

Event::~Event() { Release(); }

void Event::Release() {
  Backend::Handle handle = std::exchange(handle_, 0);
  if (!backend_ || handle == 0) return;
  try {
    (void)backend_->Close(handle);
  } catch (...) {  // a back end whose system is gone (a simulated kernel's bug check)
  }
}

Status Event::Signal() { return backend_->SignalEvent(handle_); }
Status Event::Clear() { return backend_->ClearEvent(handle_); }
Result<WaitOutcome> Event::Wait(std::chrono::milliseconds timeout) { return backend_->Wait(handle_, timeout); }
uint64_t Event::BlockValue() const { return backend_->BlockValue(handle_); }

// --- Card ----------------------------------------------------------------

Result<Card> Card::Open(std::shared_ptr<Backend> backend, const DeviceName& name) {
  if (name.product == nullptr) return Error::Client("open", "no product given");
  auto handle = backend->Open(name.Win32PathW());
  if (!handle) {
    Error error = Retold(handle.error(), "open " + name.Win32Path());
    // The card can be steered to any memory, so its device security lets
    // only SYSTEM and administrators in.
    if (error.win32() == kWin32AccessDenied) {
      error = error.WithAdvice("opening a card needs administrator rights (run as administrator)");
    }
    return error;
  }
  return Card(std::move(backend), name, *handle);
}

Result<Card> Card::Open(std::shared_ptr<Backend> backend, std::string_view product, unsigned instance) {
  auto name = MakeDeviceName(product, instance);
  if (!name) return name.error();
  return Open(std::move(backend), *name);
}

Result<Card> Card::Open(std::shared_ptr<Backend> backend, std::string_view deviceName) {
  auto name = ParseDeviceName(deviceName);
  if (!name) return name.error();
  return Open(std::move(backend), *name);
}

Card::Card(Card&& other) noexcept
    : backend_(std::move(other.backend_)),
      name_(other.name_),
      handle_(std::exchange(other.handle_, std::nullopt)),
      completion_{std::move(other.completion_[0]), std::move(other.completion_[1])},
      completionByRegister_(other.completionByRegister_) {
  other.completion_[0].reset();
  other.completion_[1].reset();
}

Card& Card::operator=(Card&& other) noexcept {
  if (this != &other) {
    CloseQuietly();
    backend_ = std::move(other.backend_);
    name_ = other.name_;
    handle_ = std::exchange(other.handle_, std::nullopt);
    for (int i = 0; i < 2; ++i) {
      completion_[i] = std::move(other.completion_[i]);
      other.completion_[i].reset();
    }
    completionByRegister_ = other.completionByRegister_;
  }
  return *this;
}

Card::~Card() { CloseQuietly(); }

void Card::CloseQuietly() noexcept {
  try {
    (void)Close();
  } catch (...) {  // a back end whose system is gone (a simulated kernel's bug check)
  }
}

Status Card::Close() {
  if (!handle_) return {};
  Backend::Handle handle = *std::exchange(handle_, std::nullopt);
  auto closed = backend_->Close(handle);
  if (!closed) return Retold(closed.error(), "close " + name_.Win32Path());
  return {};
}

Result<Block> Card::Execute(const Block& block, std::string_view operation) {
  const std::string what = fmt::format("{} (command {:#x}) on {}", operation, block.ulCommand, name_.Link());
  if (!handle_) return Error::Client(what, "the card is closed");
  const uint32_t size = product().BlockSize();
  Block answer{};
  std::memcpy(&answer, &block, size);
  auto returned = backend_->Control(*handle_, IOCTL_COMMAND, &answer, size, &answer, size);
  if (!returned) {
    Error error = Retold(returned.error(), what);
    if (error.win32() == kWin32AccessDenied) {
      error = error.WithAdvice("the card's handle must be opened for reading and writing, by an administrator");
    }
    return error;
  }
  if (*returned != size) {
    return Error::Client(what, fmt::format("the driver answered {} bytes instead of {} (is {} a family {} product?)",
                                           *returned, size, product().name, product().FamilyLetter()));
  }
  if (answer.ulResult != RESULT_SUCCESS) return Error::Command(answer.ulResult, what);
  return answer;
}

Result<Block> Card::Run(uint32_t command, uint32_t addr, uint32_t data, uint32_t param0, std::string_view operation) {
  Block block{};
  block.ulCommand = command;
  block.ulAddr = addr;
  block.ulData = data;
  block.ulParam0 = param0;
  return Execute(block, operation);
}

Result<uint32_t> Card::Version() {
  auto answer = Run(IOCTL_GET_VERSION, 0, 0, 0, "get version");
  if (!answer) return answer.error();
  return answer->ulData;
}

Result<uint32_t> Card::ReadRegister(uint32_t offset) {
  auto answer = Run(IOCTL_GET_REGISTER, offset, 0, 0, "read register " + Hex(offset));
  if (!answer) return answer.error();
  return answer->ulData;
}

Status Card::WriteRegister(uint32_t offset, uint32_t value) {
  auto answer = Run(IOCTL_SET_REGISTER, offset, value, 0, fmt::format("write {} to register {}", Hex(value), Hex(offset)));
  if (!answer) return answer.error();
  return {};
}

Status Card::SetWriteDelay(std::chrono::microseconds delay) {
  auto us = static_cast<uint32_t>(std::clamp<std::chrono::microseconds::rep>(delay.count(), 0, UINT32_MAX));
  return WriteRegister(PSEUDO_REG_WRITE_DELAY, us);
}

Status Card::ConnectMessageInterrupts() { return WriteRegister(PSEUDO_REG_MSI_CONNECT, 0); }
Status Card::DisconnectMessageInterrupts() { return WriteRegister(PSEUDO_REG_MSI_DISCONNECT, 0); }
Status Card::ReconnectMessageInterrupts() { return WriteRegister(PSEUDO_REG_MSI_RECONNECT, 0); }

Result<std::vector<PseudoValue>> Card::ReadPseudoRegisters() {
  std::vector<PseudoValue> values;
  for (const PseudoRegister& reg : kPseudoRegisters) {
    auto value = ReadRegister(reg.offset);
    if (!value) return value.error();
    values.push_back({reg, *value});
  }
  return values;
}

Status Card::DiagnosticDump() {
  auto answer = Run(IOCTL_GET_REGISTER, PSEUDO_REG_DIAGNOSTIC_DUMP, 0, 0, "diagnostic dump");
  if (!answer) return answer.error();
  return {};
}

Status Card::TestWriteRegisters(uint32_t count) {
  auto answer = Run(IOCTL_TEST_WRITE_REGISTERS, 0, 0, count, fmt::format("test-write {} registers", count));
  if (!answer) return answer.error();
  return {};
}

Result<uint32_t> Card::TestReadRegister(uint32_t offset, uint32_t count, uint32_t initial) {
  auto answer = Run(IOCTL_TEST_READ_REGISTER, offset, initial, count,
                    fmt::format("test-read register {} {} times", Hex(offset), count));
  if (!answer) return answer.error();
  return answer->ulData;
}

Result<std::vector<uint8_t>> Card::ReadWriteBack(uint32_t byteOffset, uint32_t count) {
  auto answer = Run(IOCTL_READ_WRITEBACK, byteOffset, count, 0,
                    fmt::format("read {} write-back bytes at {}", count, Hex(byteOffset)));
  if (!answer) return answer.error();
  const auto* bytes = reinterpret_cast<const uint8_t*>(&*answer) + kWriteBackOutOffset;
  return std::vector<uint8_t>(bytes, bytes + std::min(count, kWriteBackMaxBytes));
}

// --- Listing -------------------------------------------------------------

std::vector<CardListing> ListCards(const std::shared_ptr<Backend>& backend) {
  std::vector<CardListing> cards;
  for (const std::u16string& path : backend->CandidatePaths()) {
    auto name = ParseDeviceName(path);
    if (!name) continue;
    auto card = Card::Open(backend, *name);
    if (!card) {
      uint32_t error = card.error().win32();
      if (error == kWin32FileNotFound || error == kWin32PathNotFound) continue;
      cards.push_back({*name, card.error()});
      continue;
    }
    cards.push_back({*name, card->Version()});
  }
  return cards;
}

}  // namespace capture
