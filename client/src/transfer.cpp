// The transfer, event, status and buffer pool commands of capture::Card.
//
// Notes:
//  1. The driver finds completions with a 1 ms poll and sets the direction's
//     event. With status words in host memory (the default) it consumes the
//     word, so each completion signals once. On cards that announce direct
//     reads (capability bit 11) it signals on every poll run while the
//     card's status register is set, and the register stays set until the
//     next start of the direction: a wake may belong to the previous
//     transfer. There the driver leaves the status word in place, so a wake
//     is checked with the status-word query (commands 10/11): a clear word
//     means "not this transfer yet", and the wait goes on.
//  2. The event is cleared before every start, so a completion signalled for
//     an abandoned (timed-out) transfer does not end the next wait early.
//     A start abandons the card's previous transfer of the direction.
#include <chrono>
#include <cstring>
#include <fmt/format.h>

#include "capture/card.h"
#include "interface/registers.h"

namespace capture {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t Index(Direction direction) { return direction == Direction::kHostToCard ? 0 : 1; }

struct Commands {
  uint32_t setEvent, start, end, statusWordClear, status2;
};

constexpr Commands kCommands[2] = {
    {IOCTL_SET_EVENT_DMAREAD, IOCTL_START_DMAREAD, IOCTL_RELEASE_DMAREAD, IOCTL_QUERY_DMAREAD_CLEAR,
     IOCTL_GET_STATUS2_DMAREAD},
    {IOCTL_SET_EVENT_DMAWRITE, IOCTL_START_DMAWRITE, IOCTL_FINISH_DMAWRITE, IOCTL_QUERY_DMAWRITE_CLEAR,
     IOCTL_GET_STATUS2_DMAWRITE},
};

const Commands& For(Direction direction) { return kCommands[Index(direction)]; }

}  // namespace

std::string_view DirectionName(Direction direction) {
  return direction == Direction::kHostToCard ? "host-to-card" : "card-to-host";
}

// --- Events ----------------------------------------------------------------

Status Card::RegisterCompletionEvent(Direction direction, const Event& event) {
  Block block{};
  block.ulCommand = For(direction).setEvent;
  block.hEvent = event.BlockValue();
  auto answer = Execute(block, fmt::format("register the {} completion event", DirectionName(direction)));
  std::optional<Event>& own = completion_[Index(direction)];
  if (own && own->handle() != event.handle()) own.reset();  // no longer signalled
  if (!answer) return answer.error();
  return {};
}

Status Card::RegisterCompletionEvents() {
  auto capability = ReadRegister(regs::kRegCapability);
  if (!capability) return capability.error();
  completionByRegister_ = *capability != 0xFFFFFFFF && (*capability & regs::kCapDirectRead) != 0;
  for (Direction direction : {Direction::kHostToCard, Direction::kCardToHost}) {
    std::optional<Event>& own = completion_[Index(direction)];
    if (!own) {
      auto event = NewEvent(false);
      if (!event) return event.error();
      own.emplace(std::move(event).value());
    }
    if (auto registered = RegisterCompletionEvent(direction, *own); !registered) {
      own.reset();
      return registered;
    }
  }
  return {};
}

Status Card::RegisterMessageEvent(const Event& event) {
  Block block{};
  block.ulCommand = IOCTL_SET_EVENT_MSI;
  block.hEvent = event.BlockValue();
  auto answer = Execute(block, "register the message event");
  if (!answer) return answer.error();
  return {};
}

Event* Card::CompletionEvent(Direction direction) {
  std::optional<Event>& own = completion_[Index(direction)];
  return own ? &*own : nullptr;
}

// --- Transfers ---------------------------------------------------------------

Status Card::StartTransfer(Direction direction, const UserBuffer& buffer, uint32_t length, uint32_t startRegister,
                           uint32_t param) {
  const std::string what = fmt::format("start a {}-byte {} transfer at register 0x{:X}", length,
                                       DirectionName(direction), startRegister);
  if (length > buffer.size()) {
    return Error::Client(what, fmt::format("the buffer holds only {} bytes", buffer.size()));
  }
  if (length > product().maxTransfer) {
    return Error::Client(what, fmt::format("{} transfers at most 0x{:X} bytes", product().name, product().maxTransfer));
  }
  Block block{};
  block.ulCommand = For(direction).start;
  block.ulAddr = buffer.Address();
  block.ulData = length;
  block.ulParam0 = startRegister;
  block.ulParam1 = param;
  auto answer = Execute(block, what);
  if (!answer) return answer.error();
  return {};
}

Status Card::EndTransfer(Direction direction) {
  auto answer = Run(For(direction).end, 0, 0, 0,
                    direction == Direction::kHostToCard ? "release the host-to-card transfer"
                                                        : "finish the card-to-host transfer");
  if (!answer) return answer.error();
  return {};
}

Status Card::WaitForCompletion(Direction direction, std::chrono::milliseconds timeout) {
  const auto what = [&] { return fmt::format("wait for the {} completion on {}", DirectionName(direction), name_.Link()); };
  Event* event = CompletionEvent(direction);
  if (event == nullptr) return Error::Client(what(), "the card's completion events are not registered");
  const bool forever = timeout == Backend::kInfinite;
  const auto deadline = forever ? Clock::time_point::max() : Clock::now() + timeout;
  for (;;) {
    auto remaining = forever ? Backend::kInfinite
                             : std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()),
                                        std::chrono::milliseconds(0));
    auto woke = event->Wait(remaining);
    if (!woke) return woke.error();
    if (*woke == WaitOutcome::kTimedOut) {
      return Error::TimedOut(what(), fmt::format("no completion within {} ms", timeout.count()));
    }
    if (!completionByRegister_) return {};
    auto clear = StatusWordClear(direction);  // note 1
    if (!clear) return clear.error();
    if (!*clear) return {};
  }
}

Status Card::Transfer(Direction direction, const UserBuffer& buffer, uint32_t length, uint32_t startRegister,
                      uint32_t param, std::chrono::milliseconds timeout) {
  if (length == 0) {
    return Error::Client(fmt::format("{} transfer on {}", DirectionName(direction), name_.Link()),
                         "a length of 0 starts nothing");
  }
  if (!completion_[Index(direction)]) {
    if (auto registered = RegisterCompletionEvents(); !registered) return registered;
  }
  if (auto cleared = completion_[Index(direction)]->Clear(); !cleared) return cleared;  // note 2
  if (auto started = StartTransfer(direction, buffer, length, startRegister, param); !started) return started;
  Status waited = WaitForCompletion(direction, timeout);
  Status ended = EndTransfer(direction);  // also after a time-out: unlocks the buffer
  if (!waited) return waited;
  return ended;
}

Status Card::CaptureFrame(UserBuffer& buffer, uint32_t length, uint32_t startRegister, uint32_t param,
                          std::chrono::milliseconds timeout) {
  return Transfer(Direction::kCardToHost, buffer, length, startRegister, param, timeout);
}

Status Card::PlayFrame(const UserBuffer& buffer, uint32_t length, uint32_t startRegister, uint32_t param,
                       std::chrono::milliseconds timeout) {
  return Transfer(Direction::kHostToCard, buffer, length, startRegister, param, timeout);
}

Result<bool> Card::StatusWordClear(Direction direction) {
  auto answer = Run(For(direction).statusWordClear, 0, 0, 0,
                    fmt::format("query the {} status word", DirectionName(direction)));
  if (!answer) return answer.error();
  return answer->ulAddr != 0;
}

Result<bool> Card::TakeStatus2(Direction direction) {
  auto answer = Run(For(direction).status2, 0, 0, 0, fmt::format("take the {} status-2 flag", DirectionName(direction)));
  if (!answer) return answer.error();
  return answer->ulData != 0;
}

// --- Buffer pool ---------------------------------------------------------------

Status Card::RequireFamilyA(std::string_view operation) const {
  if (product().family == Family::kA) return {};
  return Error::Client(fmt::format("{} on {}", operation, name_.Link()),
                       fmt::format("the buffer pool exists on family A products only ({} is family {})",
                                   product().name, product().FamilyLetter()));
}

Result<std::vector<PoolEntry>> Card::BufferPool() {
  constexpr std::string_view kWhat = "list the buffer pool";
  if (auto a = RequireFamilyA(kWhat); !a) return a.error();
  auto answer = Run(IOCTL_GET_BUFFER_POOL, 0, 0, 0, kWhat);
  if (!answer) return answer.error();
  const auto* bytes = reinterpret_cast<const uint8_t*>(&*answer) + IOCTL_POOL_TABLE_OFFSET;
  std::vector<PoolEntry> entries(kPoolEntries);
  for (unsigned i = 0; i < kPoolEntries; ++i) {
    std::memcpy(&entries[i].busAddress, bytes + 16 * i, sizeof(uint64_t));
    std::memcpy(&entries[i].size, bytes + 16 * i + 8, sizeof(uint32_t));
  }
  return entries;
}

Status Card::PoolCopy(uint32_t command, uint64_t busAddress, uint32_t offset, const UserBuffer& buffer,
                      uint32_t length) {
  const std::string what = fmt::format("{} {} bytes {} pool buffer 0x{:X} at offset 0x{:X}",
                                       command == IOCTL_READ_BUFFER_POOL ? "read" : "write", length,
                                       command == IOCTL_READ_BUFFER_POOL ? "of" : "into", busAddress, offset);
  if (auto a = RequireFamilyA(what); !a) return a;
  if (length > buffer.size()) {
    return Error::Client(fmt::format("{} on {}", what, name_.Link()),
                         fmt::format("the buffer holds only {} bytes", buffer.size()));
  }
  Block block{};
  block.ulCommand = command;
  block.ulAddr = buffer.Address();
  block.ulData = length;
  block.ullKey = busAddress;
  block.ulParam2 = offset;
  auto answer = Execute(block, what);
  if (!answer) return answer.error();
  return {};
}

Status Card::ReadPool(uint64_t busAddress, uint32_t offset, UserBuffer& buffer, uint32_t length) {
  return PoolCopy(IOCTL_READ_BUFFER_POOL, busAddress, offset, buffer, length);
}

Status Card::WritePool(uint64_t busAddress, uint32_t offset, const UserBuffer& buffer, uint32_t length) {
  return PoolCopy(IOCTL_WRITE_BUFFER_POOL, busAddress, offset, buffer, length);
}

}  // namespace capture
