// A started card opened from user mode, and helpers to send it commands.
#pragma once

#include "fixture.h"
#include "support/session.h"

inline constexpr uint32_t S = IOCTL_BUFFER_SIZE_A;

using support::Reply;

class ControlTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    slot = &StartedCard(Options());
    handle = process().CreateFileW(u"\\\\.\\Talvrex_v100-0");
    ASSERT_NE(handle, wdmsim::INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (handle != wdmsim::INVALID_HANDLE_VALUE) process().CloseHandle(handle);
    DriverTest::TearDown();
  }
  virtual card::CardOptions Options() { return {}; }
  wdmsim::Process& process() { return kernel->DefaultProcess(); }
  // The test's handle as a session (tests reopen it, so made per use).
  support::Session session() { return support::Session(process(), handle); }

  Reply Send(const IOCTL_BUFFER_A& block, uint32_t inLength = S, uint32_t outLength = S,
             uint32_t code = IOCTL_COMMAND) {
    return session().Send(block, inLength, outLength, code);
  }
  Reply Command(uint32_t command, uint32_t addr = 0, uint32_t data = 0, uint32_t param0 = 0) {
    return session().Command(command, addr, data, param0);
  }
  uint32_t GetRegister(uint32_t offset) { return Command(IOCTL_GET_REGISTER, offset).block.ulData; }
  void SetRegister(uint32_t offset, uint32_t value) { ASSERT_TRUE(Command(IOCTL_SET_REGISTER, offset, value).ok); }
  size_t CardWrites(uint64_t offset) {
    size_t n = 0;
    for (const auto& a : card::CardIn(*slot).AccessLogFor(card::Card::kRegisterBar, offset)) {
      n += a.kind == card::MmioAccess::Kind::kWrite;
    }
    return n;
  }
  DEVICE_EXTENSION* ext() { return Extension(*slot); }

  wdmsim::Slot* slot = nullptr;
  HANDLE handle = wdmsim::INVALID_HANDLE_VALUE;
};
