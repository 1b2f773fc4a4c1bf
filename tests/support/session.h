// A user process's session with one card: a handle, the control commands
// with their replies decoded, and whole transfers through the card's
// playout sink and capture source.
//
// Every wait has a time-out in simulated milliseconds; nothing sleeps.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "interface/dma_registers.h"
#include "card/frames.h"
#include "driver.h"
#include "support/reply.h"
#include "wdmsim/kernel.h"

namespace support {

inline std::string Status(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(s));
  return text;
}

// "\\.\Talvrex_v100-N" of the card whose function device is above `slot`,
// from the link name the driver recorded ("" if the card has no device).
inline std::u16string Win32Name(wdmsim::Slot& slot) {
  PDEVICE_OBJECT fdo = slot.Fdo();
  if (fdo == nullptr) return {};
  const auto* ext = static_cast<DEVICE_EXTENSION*>(fdo->DeviceExtension);
  std::u16string link;
  for (const WCHAR* c = ext->wszSymbolicLinkName; *c != 0; ++c) link.push_back(static_cast<char16_t>(*c));
  const auto slash = link.rfind(u'\\');
  return u"\\\\.\\" + link.substr(slash + 1);
}

class Session {
 public:
  Session(wdmsim::Process& process, HANDLE handle) : process_(process), handle_(handle) {}

  HANDLE handle() const { return handle_; }
  wdmsim::Process& process() { return process_; }

  Reply Send(const IOCTL_BUFFER_A& in, uint32_t inLength = IOCTL_BUFFER_SIZE_A,
             uint32_t outLength = IOCTL_BUFFER_SIZE_A, uint32_t code = IOCTL_COMMAND) {
    return Call(process_, handle_, in, inLength, outLength, code);
  }
  Reply Command(uint32_t command, uint32_t addr = 0, uint32_t data = 0, uint32_t param0 = 0, uint32_t param1 = 0) {
    IOCTL_BUFFER_A b{};
    b.ulCommand = command;
    b.ulAddr = addr;
    b.ulData = data;
    b.ulParam0 = param0;
    b.ulParam1 = param1;
    return Send(b);
  }
  Reply RegisterEvent(uint32_t command, HANDLE event) {
    IOCTL_BUFFER_A b{};
    b.ulCommand = command;
    b.hEvent = reinterpret_cast<uint64_t>(event);
    return Send(b);
  }
  Reply Transfer(uint32_t command, const void* buffer, uint32_t length, uint32_t startRegister, uint32_t param) {
    return Command(command, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer)), length, startRegister, param);
  }
  Reply PoolCopy(uint32_t command, void* user, uint32_t length, uint32_t offset, uint64_t key) {
    IOCTL_BUFFER_A b{};
    b.ulCommand = command;
    b.ulAddr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user));
    b.ulData = length;
    b.ullKey = key;
    b.ulParam2 = offset;
    return Send(b);
  }

  // One playout: frame `number` into the sink. `event` is the registered
  // host-to-card event. Returns the failed step or "" when the card
  // signalled completion.
  std::string Playout(uint8_t* buffer, uint32_t length, uint32_t number, uint32_t pattern, HANDLE event,
                      uint32_t waitMs = 5000) {
    card::frames::MakeFrame(std::span<uint8_t>(buffer, length), number, pattern);
    Reply r = Transfer(IOCTL_START_DMAREAD, buffer, length, regs::dma::kStartPlayout, number);
    if (!r.ok) return "start error " + std::to_string(r.error);
    if (r.block.ulResult != RESULT_SUCCESS) return "start result " + std::to_string(r.block.ulResult);
    const uint32_t wait = process_.WaitForSingleObject(event, waitMs);
    Reply release = Command(IOCTL_RELEASE_DMAREAD);
    if (wait != wdmsim::WAIT_OBJECT_0) return "no completion";
    if (!release.ok) return "release error " + std::to_string(release.error);
    return "";
  }

  // One capture of frame `number` into `buffer`; "" when the frame arrived
  // and verifies as that frame.
  std::string Capture(uint8_t* buffer, uint32_t length, uint32_t number, uint32_t pattern, HANDLE event,
                      uint32_t waitMs = 5000) {
    std::memset(buffer, 0, length);
    const uint32_t param = (pattern & regs::dma::kCapturePatternMask) | regs::dma::kCaptureSetNumber |
                           ((number & regs::dma::kCaptureNumberMask) << regs::dma::kCaptureNumberShift);
    Reply r = Transfer(IOCTL_START_DMAWRITE, buffer, length, regs::dma::kStartCapture, param);
    if (!r.ok) return "start error " + std::to_string(r.error);
    if (r.block.ulResult != RESULT_SUCCESS) return "start result " + std::to_string(r.block.ulResult);
    const uint32_t wait = process_.WaitForSingleObject(event, waitMs);
    Reply finish = Command(IOCTL_FINISH_DMAWRITE);
    if (wait != wdmsim::WAIT_OBJECT_0) return "no completion";
    if (!finish.ok) return "finish error " + std::to_string(finish.error);
    if (finish.block.ulResult != RESULT_SUCCESS) return "finish result " + std::to_string(finish.block.ulResult);
    auto check = card::frames::VerifyFrame(std::span<const uint8_t>(buffer, length));
    if (check.verdict != card::frames::Verdict::kGood) return "frame verdict " + std::to_string(int(check.verdict));
    if (check.header.number != (number & regs::dma::kCaptureNumberMask)) return "wrong frame number";
    if (!card::frames::MatchesPattern(std::span<const uint8_t>(buffer, length))) return "wrong pattern";
    return "";
  }

  // A register read through the driver: the value, or nullopt-like failure
  // as 0xFFFFFFFF with ok reporting whether the request itself succeeded.
  Reply GetRegister(uint32_t offset) { return Command(IOCTL_GET_REGISTER, offset); }
  Reply SetRegister(uint32_t offset, uint32_t value) { return Command(IOCTL_SET_REGISTER, offset, value); }

 private:
  wdmsim::Process& process_;
  HANDLE handle_;
};

}  // namespace support
