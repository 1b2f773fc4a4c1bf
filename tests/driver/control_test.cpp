// The control interface and the register commands, from user mode.
#include <atomic>
#include <cstring>
#include <thread>

#include "card/plug.h"
#include "control_fixture.h"

namespace {

TEST_F(ControlTest, SizeCheckAcceptsEitherLengthAtTheBlockSize) {
  Reply r = Command(IOCTL_GET_VERSION);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.returned, S);
  EXPECT_EQ(r.block.ulData, 0x00020603u);
  EXPECT_EQ(r.block.ulResult, 0u);

  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_GET_VERSION;
  Reply small = Send(block, S - 1, S - 1);
  EXPECT_FALSE(small.ok);
  EXPECT_EQ(small.error, wdmsim::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small.returned, 0u);
  EXPECT_EQ(CountLines("vantrel  DeviceIoControl STATUS_BUFFER_TOO_SMALL   135  135  136"), 1u);
  EXPECT_EQ(ext()->io_control_count, 0);
  // The counter is back: the driver accepts a query (stop; a removal would be
  // vetoed for the open handle before it reached the driver).
  EXPECT_EQ(kernel->QueryStopThenCancel(*slot), STATUS_SUCCESS);

  // A full block in and a short (or no) output buffer: the command runs and
  // no more than the output buffer's length travels back.
  Reply noOutput = Send(block, S, 0);
  EXPECT_TRUE(noOutput.ok);
  EXPECT_EQ(noOutput.returned, 0u);
  Reply shortOutput = Send(block, S, 16);
  EXPECT_TRUE(shortOutput.ok);
  EXPECT_EQ(shortOutput.returned, 16u);
  EXPECT_EQ(shortOutput.block.ulData, 0x00020603u);
  EXPECT_EQ(shortOutput.block.ulParam0, 0x55555555u);  // untouched beyond 16 bytes
}

TEST_F(ControlTest, ShortInputNeverReturnsStaleBytes) {
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_GET_VERSION;
  Reply r = Send(block, 8, S);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.returned, S);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&r.block);
  for (uint32_t i = 16; i < S; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST_F(ControlTest, ForeignControlCodesAreNotImplemented) {
  const uint32_t foreignBuffered = (0x22u << 16) | (0x802u << 2) | METHOD_BUFFERED;
  auto result = kernel->SendRequest(Fdo(*slot), IRP_MJ_DEVICE_CONTROL, 0, [&](PIRP irp, PIO_STACK_LOCATION s) {
    static IOCTL_BUFFER_A block{};
    irp->AssociatedIrp.SystemBuffer = &block;
    s->Parameters.DeviceIoControl.IoControlCode = foreignBuffered;
    s->Parameters.DeviceIoControl.InputBufferLength = S;
    s->Parameters.DeviceIoControl.OutputBufferLength = S;
  });
  EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(result.information, S);

  // METHOD_NEITHER with lengths but no system buffer: answered, nothing written.
  Reply neither = Send(IOCTL_BUFFER_A{}, S, S, (0x22u << 16) | (0x803u << 2) | METHOD_NEITHER);
  EXPECT_FALSE(neither.ok);
  EXPECT_EQ(neither.error, wdmsim::ERROR_INVALID_FUNCTION);
  EXPECT_EQ(ext()->io_control_count, 0);
}

TEST_F(ControlTest, UnknownCommandsGiveResultEight) {
  for (uint32_t command : {15u, 0x102u, 0xFFFFFFFFu}) {
    IOCTL_BUFFER_A block{};
    block.ulCommand = command;
    block.ulResult = 0x77;
    Reply r = Send(block);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.block.ulResult, RESULT_UNKNOWN_COMMAND) << command;
  }
  IOCTL_BUFFER_A version{};
  version.ulCommand = IOCTL_GET_VERSION;
  version.ulResult = 0x77;
  EXPECT_EQ(Send(version).block.ulResult, 0u);
}

TEST_F(ControlTest, AfterStopEveryRequestFailsWithNothingReturned) {
  ASSERT_EQ(kernel->SendRequest(Fdo(*slot), IRP_MJ_PNP, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  Reply r = Command(IOCTL_GET_VERSION);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, wdmsim::ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(r.returned, 0u);
  EXPECT_EQ(r.block.ulCommand, 0x55555555u);
  EXPECT_EQ(ext()->io_control_count, 0);
}

// A register read the card never answers keeps a request inside the driver.
TEST_F(ControlTest, OverlappingRequestsAreTracedAndHoldOffQueryStop) {
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.dropAllWriteBacks = true; });
  // One call from the start of the slow read to the second request: the
  // clock cannot run the slow read's attempts out in between.
  std::thread slow;
  process().RunInContext([&] {
    slow = kernel->StartThread([&] { GetRegister(0x1000); });
    while (InterlockedCompareExchange(&ext()->io_control_count, 0, 0) == 0) std::this_thread::yield();
    EXPECT_TRUE(Command(IOCTL_GET_VERSION).ok);
  });
  EXPECT_EQ(CountLines("qm4200    io_control_count 2"), 1u);
  EXPECT_EQ(kernel->QueryStopThenCancel(*slot), STATUS_DEVICE_BUSY);
  slow.join();
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.dropAllWriteBacks = false; });
  EXPECT_EQ(kernel->QueryStopThenCancel(*slot), STATUS_SUCCESS);
}

TEST_F(ControlTest, WriteDelayIsCappedAndReadBackWithoutTheCard) {
  GetRegister(0x7901);  // the re-arming write happens here
  card::CardIn(*slot).ClearAccessLog();
  SetRegister(0x7930, 5000000);
  auto writes = card::CardIn(*slot).AccessLogFor(card::Card::kRegisterBar, 0x7930);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, 5000000u);  // the card sees the caller's value too
  card::CardIn(*slot).ClearAccessLog();
  EXPECT_EQ(GetRegister(0x7930), 1000000u);
  EXPECT_TRUE(card::CardIn(*slot).AccessLog().empty());
  SetRegister(0x7930, 0);
  EXPECT_EQ(GetRegister(0x7930), 0u);
}

TEST_F(ControlTest, FirstRegisterCommandAfterStartOrPowerReArmsOnce) {
  size_t before = CardWrites(0x1030);
  image->ClearDbgOutput();
  GetRegister(0x7901);
  EXPECT_EQ(CardWrites(0x1030), before + 1);
  EXPECT_EQ(CountLines("IOCTL_GET_REGISTER bFirstReadRegister Addr : 0x7901"), 1u);
  GetRegister(0x7901);
  EXPECT_EQ(CardWrites(0x1030), before + 1);

  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  kernel->SendPowerRequest(*slot, IRP_MN_SET_POWER, DevicePowerState, d0);
  SetRegister(0x2000, 1);
  EXPECT_EQ(CardWrites(0x1030), before + 2);
  EXPECT_EQ(CountLines("IOCTL_SET_REGISTER bFirstReadRegister Addr : 0x2000"), 1u);
}

TEST_F(ControlTest, PseudoRegistersAreDriverStateAndNeverTouchTheCard) {
  GetRegister(0x7901);  // the re-arming write happens here
  card::CardIn(*slot).ClearAccessLog();
  DEVICE_EXTENSION* e = ext();
  EXPECT_EQ(GetRegister(0x7901), 0u);
  EXPECT_EQ(GetRegister(0x7902), 0u);
  EXPECT_EQ(GetRegister(0x7944), 0u);
  EXPECT_EQ(GetRegister(0x7950), e->pCommonBuffer_LA_DmaRead.LowPart);
  EXPECT_EQ(GetRegister(0x7951), static_cast<uint32_t>(e->pCommonBuffer_LA_DmaRead.HighPart));
  EXPECT_EQ(GetRegister(0x7952), e->pCommonBuffer_LA_DmaWrite.LowPart);
  EXPECT_EQ(GetRegister(0x7953), static_cast<uint32_t>(e->pCommonBuffer_LA_DmaWrite.HighPart));
  EXPECT_EQ(GetRegister(0x7940), e->pCommonBuffer_LA_DmaRead.LowPart + 64 + 1);
  EXPECT_EQ(GetRegister(0x7955), e->ulReadWriteBackAddr);
  EXPECT_EQ(GetRegister(0x7910), 0u);
  image->ClearDbgOutput();
  EXPECT_EQ(GetRegister(0x7999), 0u);
  EXPECT_EQ(CountLines("vantrel  438  pCommonBuffer_LA_DmaWrite "), 1u);
  EXPECT_EQ(CountLines("vantrel  457  DmaWrite_SGL_Item "), 1u);
  EXPECT_TRUE(card::CardIn(*slot).AccessLog().empty());
}

TEST_F(ControlTest, ReadWritebackCopiesAtMostEightBytesAndStaysInsideTheBuffer) {
  ext()->pulGetRegister[0] = 0x44332211;
  ext()->pulGetRegister[1] = 0x88776655;
  Reply twenty = Command(IOCTL_READ_WRITEBACK, 0, 20);
  const uint8_t* out = reinterpret_cast<const uint8_t*>(&twenty.block) + 16;
  EXPECT_EQ(std::vector<uint8_t>(out, out + 9), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0}));
  Reply three = Command(IOCTL_READ_WRITEBACK, 1, 3);
  out = reinterpret_cast<const uint8_t*>(&three.block) + 16;
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x22, 0x33, 0x44, 0}));
  const auto* all = reinterpret_cast<const uint8_t*>(&three.block);
  for (uint32_t i = 19; i < S; ++i) ASSERT_EQ(all[i], 0) << i;
  // An offset past the DmaRead common buffer only clears.
  Reply outside = Command(IOCTL_READ_WRITEBACK, DMA_COMMON_BUFFER_SIZE, 8);
  EXPECT_TRUE(outside.ok);
  all = reinterpret_cast<const uint8_t*>(&outside.block);
  for (uint32_t i = 16; i < S; ++i) ASSERT_EQ(all[i], 0) << i;
}

TEST_F(ControlTest, RegisterPairReadsInOrderAndCountZeroKeepsTheData) {
  EXPECT_EQ(Command(IOCTL_TEST_READ_REGISTER, 0x2000, 0xABCD, 0).block.ulData, 0xABCDu);
  SetRegister(0x2004, 0x1234);
  card::CardIn(*slot).ClearAccessLog();
  EXPECT_EQ(Command(IOCTL_TEST_READ_REGISTER, 0x2000, 0, 2).block.ulData, 0x1234u);
  std::vector<uint64_t> requests;
  for (const auto& a : card::CardIn(*slot).AccessLog()) {
    if (a.kind == card::MmioAccess::Kind::kWrite && a.offset >= 0x10000) requests.push_back(a.offset);
  }
  EXPECT_EQ(requests, (std::vector<uint64_t>{0x12000, 0x12004, 0x12000, 0x12004}));
}

TEST_F(ControlTest, MessageInterruptsConnectEnableDisableAndDisconnect) {
  SetRegister(0x7941, 0);
  EXPECT_NE(ext()->pMsiConnectionContext, nullptr);
  EXPECT_EQ(card::CardIn(*slot).PeekRegister(0x6074), 0xFFFFFFFFu);
  PVOID first = ext()->pMsiConnectionContext;
  SetRegister(0x7941, 0);  // a second connect over a live one is refused
  EXPECT_EQ(ext()->pMsiConnectionContext, first);
  SetRegister(0x7942, 0);
  EXPECT_EQ(ext()->pMsiConnectionContext, nullptr);
  EXPECT_EQ(card::CardIn(*slot).PeekRegister(0x6074), 0u);
  SetRegister(0x7940, 0);  // reconnect: disconnect (nothing), connect
  EXPECT_NE(ext()->pMsiConnectionContext, nullptr);
  // Stop undoes the connection the control interface made.
  ASSERT_EQ(kernel->Rebalance(*slot), STATUS_SUCCESS);
  EXPECT_EQ(ext()->pMsiConnectionContext, nullptr);
}

TEST_F(ControlTest, OffsetsBeyondTheWindowAreIgnored) {
  card::CardIn(*slot).ClearAccessLog();
  SetRegister(0x20000, 1);
  SetRegister(0xFFFFFFFC, 1);
  EXPECT_EQ(GetRegister(0x20000), 0xFFFFFFFFu);
  for (const auto& a : card::CardIn(*slot).AccessLog()) EXPECT_LT(a.offset, 0x20000u) << std::hex << a.offset;
  EXPECT_TRUE(card::CardIn(*slot).GuestErrors().empty());
}

}  // namespace
