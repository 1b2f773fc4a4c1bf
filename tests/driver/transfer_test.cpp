// Transfers, the completion poll, events and the buffer pool, from user
// mode. The card's own DMA engine is not needed here: the tests play the
// card by writing its status words and registers directly.
#include <cstring>

#include "card/plug.h"
#include "control_fixture.h"

namespace {

constexpr uint32_t kStartRegister = 0x2000;
constexpr ULONG kCardStatusOne = 0x01000000;  // the card's big-endian 1 as the processor reads it
constexpr ULONG kCardStatusTwo = 0x02000000;

class TransferTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    readEvent = process().CreateEventW(false, false);
    writeEvent = process().CreateEventW(false, false);
  }
  void TearDown() override {
    if (readEvent != nullptr) process().CloseHandle(readEvent);
    if (writeEvent != nullptr) process().CloseHandle(writeEvent);
    ControlTest::TearDown();
  }
  Reply Register(uint32_t command, HANDLE event) { return session().RegisterEvent(command, event); }
  Reply Transfer(uint32_t command, void* buffer, uint32_t length, uint32_t param = 0,
                 uint32_t startRegister = kStartRegister) {
    return session().Transfer(command, buffer, length, startRegister, param);
  }
  uint8_t* UserBuffer(size_t size, uint32_t protect = wdmsim::PAGE_READWRITE) {
    return static_cast<uint8_t*>(process().VirtualAlloc(size, protect));
  }
  // Plays the card finishing a transfer: its status, big-endian, at offset 0.
  void CardCompletes(PVOID commonBuffer, ULONG processorValue) {
    *static_cast<volatile ULONG*>(commonBuffer) = processorValue;
  }
  bool Signalled(HANDLE event, uint32_t ms = 2000) { return process().WaitForSingleObject(event, ms) == wdmsim::WAIT_OBJECT_0; }

  HANDLE readEvent = nullptr;
  HANDLE writeEvent = nullptr;
};

TEST_F(TransferTest, HostToCardCopiesTheBufferAndHandsOverTheItem) {
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAREAD, readEvent).ok);
  uint8_t* user = UserBuffer(4099);
  for (int i = 0; i < 4099; ++i) user[i] = static_cast<uint8_t>(i * 7);
  card::CardIn(*slot).ClearAccessLog();
  Reply r = Transfer(IOCTL_START_DMAREAD, user, 4099, 0xABCD);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.block.ulResult, 0u);

  auto* buffer = static_cast<uint8_t*>(ext()->pCommonBuffer_VA_DmaRead);
  EXPECT_EQ(std::memcmp(buffer + 0x1000, user, 4099), 0);
  EXPECT_EQ(buffer[0x1000 + 4099], 0);  // the rest of the buffer was cleared
  const ULONG base = ext()->pCommonBuffer_LA_DmaRead.LowPart;
  const ULONG* item = reinterpret_cast<const ULONG*>(buffer + 0x200);
  EXPECT_EQ(__builtin_bswap32(item[0]), 4099u / 4);  // words, rounded down
  EXPECT_EQ(__builtin_bswap32(item[1]), 0xABCDu);
  EXPECT_EQ(item[2], 0u);
  EXPECT_EQ(__builtin_bswap32(item[3]), base + 0x1000);
  // The first transfer writes the start register and all four descriptors.
  std::vector<std::pair<uint64_t, uint32_t>> writes;
  for (const auto& a : card::CardIn(*slot).AccessLog()) {
    if (a.kind == card::MmioAccess::Kind::kWrite) writes.emplace_back(a.offset, a.value);
  }
  EXPECT_EQ(writes, (std::vector<std::pair<uint64_t, uint32_t>>{
                        {kStartRegister, base}, {0x1050, 0xABCD}, {0x1054, base + 0x1000}, {0x1058, 4099}, {0x105C, base}}));
  EXPECT_EQ(ext()->bRunning_DmaRead, 1u);

  // The card finishes: within a couple of milliseconds the poll consumes it.
  CardCompletes(ext()->pCommonBuffer_VA_DmaRead, kCardStatusOne);
  EXPECT_TRUE(Signalled(readEvent));
  EXPECT_EQ(*static_cast<volatile ULONG*>(ext()->pCommonBuffer_VA_DmaRead), 0u);
  EXPECT_EQ(ext()->ulLastStatus_DmaRead, kCardStatusOne);
  EXPECT_EQ(ext()->bRunning_DmaRead, 0u);
  EXPECT_EQ(Command(IOCTL_GET_STATUS2_DMAREAD).block.ulData, 0u);

  // An equal second transfer writes the start register only.
  card::CardIn(*slot).ClearAccessLog();
  ASSERT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 4099, 0xABCD).ok);
  size_t registerWrites = 0;
  for (const auto& a : card::CardIn(*slot).AccessLog()) registerWrites += a.kind == card::MmioAccess::Kind::kWrite;
  EXPECT_EQ(registerWrites, 1u);
  ASSERT_TRUE(Command(IOCTL_RELEASE_DMAREAD).ok);
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaRead, nullptr);
  EXPECT_EQ(ext()->ulLength_DmaRead, 0u);
}

// A register answer in the write-back slot survives a host-to-card set-up:
// clearing it could zero a value a concurrent read is about to take.
TEST_F(TransferTest, HostToCardClearSparesTheRegisterAnswerSlot) {
  ext()->pulGetRegister[0] = 0x11223344;
  ext()->pulGetRegister[1] = 0x01000000;
  uint8_t* user = UserBuffer(4096);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 4096).ok);
  EXPECT_EQ(ext()->pulGetRegister[0], 0x11223344u);
  EXPECT_EQ(ext()->pulGetRegister[1], 0x01000000u);
  ext()->pulGetRegister[0] = ext()->pulGetRegister[1] = 0;
  Command(IOCTL_RELEASE_DMAREAD);
}

TEST_F(TransferTest, CardToHostDeliversWhatTheCardWrote) {
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAWRITE, writeEvent).ok);
  uint8_t* user = UserBuffer(8192);
  std::memset(user, 0x11, 8192);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 8192, 7).ok);
  auto* buffer = static_cast<uint8_t*>(ext()->pCommonBuffer_VA_DmaWrite);
  for (int i = 0; i < 8192; ++i) buffer[0x1000 + i] = static_cast<uint8_t>(i ^ 0x5A);
  CardCompletes(ext()->pCommonBuffer_VA_DmaWrite, kCardStatusTwo);
  EXPECT_TRUE(Signalled(writeEvent));
  Reply finish = Command(IOCTL_FINISH_DMAWRITE);
  ASSERT_TRUE(finish.ok);
  EXPECT_EQ(finish.block.ulResult, 0u);
  for (int i = 0; i < 8192; ++i) ASSERT_EQ(user[i], static_cast<uint8_t>(i ^ 0x5A)) << i;
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaWrite, nullptr);
  // Status 2 is remembered until command 0x101 reads it.
  EXPECT_EQ(Command(IOCTL_GET_STATUS2_DMAWRITE).block.ulData, 1u);
  EXPECT_EQ(Command(IOCTL_GET_STATUS2_DMAWRITE).block.ulData, 0u);
}

TEST_F(TransferTest, LengthLimitsAndZeroLength) {
  uint8_t* user = UserBuffer(DMA_MAX_TRANSFER_SIZE + 1);
  Reply max = Transfer(IOCTL_START_DMAREAD, user, DMA_MAX_TRANSFER_SIZE);
  EXPECT_TRUE(max.ok);
  EXPECT_EQ(ext()->ulLength_DmaRead, DMA_MAX_TRANSFER_SIZE);
  PMDL locked = ext()->pMdl_UserBuffer_DmaRead;

  Reply tooLong = Transfer(IOCTL_START_DMAREAD, user, DMA_MAX_TRANSFER_SIZE + 1);
  EXPECT_FALSE(tooLong.ok);
  EXPECT_EQ(tooLong.error, wdmsim::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(ext()->ulLength_DmaRead, DMA_MAX_TRANSFER_SIZE);  // nothing changed
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaRead, locked);
  // The block (result 4) never reaches the caller on an error status; the
  // driver set it all the same.
  Reply tooLongWrite = Transfer(IOCTL_START_DMAWRITE, user, DMA_MAX_TRANSFER_SIZE + 1);
  EXPECT_FALSE(tooLongWrite.ok);

  EXPECT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 0).ok);
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaRead, locked);  // a zero length keeps the earlier lock
  EXPECT_EQ(ext()->ulLength_DmaRead, 0u);
  Command(IOCTL_RELEASE_DMAREAD);
}

TEST_F(TransferTest, UnusableBuffersFailTheLockOrTheCopy) {
  uint8_t* readOnly = UserBuffer(4096, wdmsim::PAGE_READONLY);
  Reply r = Transfer(IOCTL_START_DMAREAD, readOnly, 4096);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, wdmsim::ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaRead, nullptr);

  uint8_t* noAccess = UserBuffer(4096, wdmsim::PAGE_NOACCESS);
  EXPECT_FALSE(Transfer(IOCTL_START_DMAWRITE, noAccess, 4096).ok);
  uint8_t* freed = UserBuffer(4096);
  process().VirtualFree(freed);
  EXPECT_FALSE(Transfer(IOCTL_START_DMAWRITE, freed, 4096).ok);
  // Past the end of a buffer into its guard page.
  uint8_t* small = UserBuffer(4096);
  EXPECT_FALSE(Transfer(IOCTL_START_DMAREAD, small, 8192).ok);
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaWrite, nullptr);
}

// The finish copies through the locked pages' system address, never the
// user address of the request that locked them: the data arrives when the
// caller has made its view read-only since, and when the finish comes from
// another process; only a mapping the system cannot make fails the copy.
TEST_F(TransferTest, TheFinishCopyGoesThroughTheLockedPages) {
  uint8_t* user = UserBuffer(4096);
  auto* data = static_cast<uint8_t*>(ext()->pCommonBuffer_VA_DmaWrite) + 0x1000;
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  std::memset(data, 0xA5, 4096);  // what the card moved
  ASSERT_TRUE(process().VirtualProtect(user, 4096, wdmsim::PAGE_READONLY));
  Reply finish = Command(IOCTL_FINISH_DMAWRITE);
  EXPECT_TRUE(finish.ok);
  EXPECT_EQ(finish.block.ulResult, RESULT_SUCCESS);
  EXPECT_EQ(user[0], 0xA5);
  EXPECT_EQ(user[4095], 0xA5);
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaWrite, nullptr);
  EXPECT_EQ(ext()->ulLength_DmaWrite, 0u);

  ASSERT_TRUE(process().VirtualProtect(user, 4096, wdmsim::PAGE_READWRITE));
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  std::memset(data, 0x3C, 4096);
  auto other = kernel->CreateProcess();
  HANDLE theirs = other->CreateFileW(support::Win32Name(*slot));
  ASSERT_NE(theirs, wdmsim::INVALID_HANDLE_VALUE);
  finish = support::Session(*other, theirs).Command(IOCTL_FINISH_DMAWRITE);
  EXPECT_EQ(finish.block.ulResult, RESULT_SUCCESS);
  EXPECT_EQ(user[0], 0x3C);
  other->CloseHandle(theirs);

  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  kernel->FailNthCall("MmMapLockedPagesSpecifyCache");
  finish = Command(IOCTL_FINISH_DMAWRITE);
  EXPECT_EQ(finish.block.ulResult, RESULT_DMAWRITE_COPY_FAILED);
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaWrite, nullptr);
}

TEST_F(TransferTest, FinishWithoutStartAndStartRegisterOutsideTheWindow) {
  Reply finish = Command(IOCTL_FINISH_DMAWRITE);
  EXPECT_TRUE(finish.ok);
  EXPECT_EQ(finish.block.ulResult, 0u);
  uint8_t* user = UserBuffer(4096);
  card::CardIn(*slot).ClearAccessLog();
  Reply outside = Transfer(IOCTL_START_DMAREAD, user, 4096, 0, 0x20000);
  EXPECT_FALSE(outside.ok);
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaRead, nullptr);
  EXPECT_TRUE(card::CardIn(*slot).AccessLog().empty());
}

TEST_F(TransferTest, OnePollRunSignalsBothDirectionsAndTheQueriesSeeTheWords) {
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAREAD, readEvent).ok);
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAWRITE, writeEvent).ok);
  EXPECT_EQ(Command(IOCTL_QUERY_DMAWRITE_CLEAR).block.ulAddr, 1u);
  uint8_t* user = UserBuffer(4096);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 4096).ok);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  // Hold the poll off while the card "finishes" both, then let it run.
  // Inside one call time stands still, so the timer cannot fire again: let
  // whatever is due now finish (a poll on its way from the timer), flush
  // the DPCs, and cancel, until a cancel finds the timer unarmed (a poll
  // run re-arms it).
  kernel->InOneCall([&] {
    do {
      kernel->RunFor(std::chrono::nanoseconds(0));
      KeFlushQueuedDpcs();
    } while (KeCancelTimer(&ext()->CheckDpcTimer));
    CardCompletes(ext()->pCommonBuffer_VA_DmaRead, kCardStatusTwo);
    CardCompletes(ext()->pCommonBuffer_VA_DmaWrite, kCardStatusOne);
  });
  EXPECT_EQ(Command(IOCTL_QUERY_DMAREAD_CLEAR).block.ulAddr, 0u);
  EXPECT_EQ(Command(IOCTL_QUERY_DMAWRITE_CLEAR).block.ulAddr, 0u);
  EXPECT_EQ(GetRegister(0x7910), kCardStatusTwo);
  ext()->bCheckDpcTimerSet = 0;
  ASSERT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 0).ok);  // no hand-over: the poll stays off
  LARGE_INTEGER now{};
  KeSetTimer(&ext()->CheckDpcTimer, now, &ext()->CheckDpc);
  EXPECT_TRUE(Signalled(readEvent));
  EXPECT_TRUE(Signalled(writeEvent));
  EXPECT_EQ(Command(IOCTL_GET_STATUS2_DMAREAD).block.ulData, 1u);
  EXPECT_EQ(Command(IOCTL_GET_STATUS2_DMAREAD).block.ulData, 0u);
  EXPECT_EQ(GetRegister(0x7911), kCardStatusTwo);
  EXPECT_EQ(GetRegister(0x7921), kCardStatusOne);
  Command(IOCTL_RELEASE_DMAREAD);
  Command(IOCTL_FINISH_DMAWRITE);
}

TEST_F(TransferTest, EventRegistration) {
  // Not an event: the file handle of the device itself.
  Reply wrongType = Register(IOCTL_SET_EVENT_DMAREAD, handle);
  EXPECT_FALSE(wrongType.ok);
  EXPECT_EQ(wrongType.error, wdmsim::ERROR_INVALID_HANDLE);  // STATUS_OBJECT_TYPE_MISMATCH
  Reply bogus = Register(IOCTL_SET_EVENT_MSI, reinterpret_cast<HANDLE>(0x7777));
  EXPECT_FALSE(bogus.ok);
  EXPECT_EQ(ext()->pMsiEvent, nullptr);
  // A handle that may only wait on the event may not have it signalled.
  HANDLE waitOnly = process().DuplicateEvent(readEvent, 0x00100000);  // SYNCHRONIZE
  EXPECT_FALSE(Register(IOCTL_SET_EVENT_DMAREAD, waitOnly).ok);
  EXPECT_EQ(ext()->pEvent_DmaRead, nullptr);
  process().CloseHandle(waitOnly);

  // Registered twice: the second event is signalled from then on, and the
  // first one's reference is released (the verifier would report it).
  HANDLE first = process().CreateEventW(false, false);
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAWRITE, first).ok);
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAWRITE, writeEvent).ok);
  process().CloseHandle(first);
  uint8_t* user = UserBuffer(4096);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  CardCompletes(ext()->pCommonBuffer_VA_DmaWrite, kCardStatusOne);
  EXPECT_TRUE(Signalled(writeEvent));
  Command(IOCTL_FINISH_DMAWRITE);
}

TEST_F(TransferTest, PollRestartsTwoMillisecondsAfterTheFirstHandOverOfAnOpen) {
  uint8_t* user = UserBuffer(4096);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  EXPECT_EQ(ext()->bCheckDpcTimerSet, 1u);
  HANDLE second = process().CreateFileW(u"\\\\.\\Talvrex_v100-0");
  EXPECT_EQ(ext()->bCheckDpcTimerSet, 0u);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  EXPECT_EQ(ext()->bCheckDpcTimerSet, 1u);
  EXPECT_TRUE(ext()->CheckDpcTimer.Header.Inserted || ext()->CheckDpc.DpcData != nullptr ||
              ext()->ulCheckDpcCnt > 0);
  process().CloseHandle(second);
  // Closing any handle releases the buffers the card holds for all of them.
  EXPECT_EQ(ext()->pMdl_UserBuffer_DmaWrite, nullptr);
}

TEST_F(TransferTest, FirstPollRunPrintsTheCountTrace) {
  uint8_t* user = UserBuffer(4096);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, 4096).ok);
  for (int i = 0; i < 2000 && CountLines("vantrel  checkDpc_func ") == 0; ++i) {
    process().WaitForSingleObject(writeEvent, 1);
  }
  EXPECT_EQ(CountLines("cnt = 1 "), 1u);
  Command(IOCTL_FINISH_DMAWRITE);
}

class RegisterModeTest : public TransferTest {
  card::CardOptions Options() override {
    card::CardOptions o;
    o.directRead = true;
    o.linePulseWidthNs = 20'000'000;  // long enough to be delivered
    return o;
  }
};

// A register-mode card writes the status word as well as the register and
// raises the shared line. The poll leaves the word for the caller to check;
// ending the transfer clears it, so that the line routine leaves a pulse
// another device raises alone. A register that reads all-ones (the card has
// left the bus) ends nothing.
TEST_F(RegisterModeTest, AnEndedTransferLeavesNoStatusWordAndAnEmptySlotEndsNothing) {
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAREAD, readEvent).ok);
  uint8_t* user = UserBuffer(4096);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 4096).ok);
  CardCompletes(ext()->pCommonBuffer_VA_DmaRead, kCardStatusOne);
  card::CardIn(*slot).SetCompletionStatus(0x1B80, 1);
  EXPECT_TRUE(Signalled(readEvent));
  EXPECT_EQ(Command(IOCTL_QUERY_DMAREAD_CLEAR).block.ulAddr, 0u);  // still there for the caller
  card::CardIn(*slot).SetCompletionStatus(0x1B80, 0);
  kernel->RunFor(std::chrono::milliseconds(3));  // a poll run that saw the register set is over
  process().ResetEvent(readEvent);               // its signals, stale from now on, forgotten
  Command(IOCTL_RELEASE_DMAREAD);
  EXPECT_EQ(*static_cast<volatile ULONG*>(ext()->pCommonBuffer_VA_DmaRead), 0u);
  const auto before = kernel->InterruptCountsFor(*slot);
  kernel->InOneCall([&] { card::CardIn(*slot).InjectSpuriousLinePulse(); });  // interrupt_test.cpp: Pulse
  ASSERT_TRUE(kernel->RunUntil(
      [&] { return kernel->InterruptCountsFor(*slot).lineDeliveries > before.lineDeliveries; }));
  EXPECT_EQ(kernel->InterruptCountsFor(*slot).lineClaimed, before.lineClaimed);

  ASSERT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 4096).ok);
  slot->function->Unplug();
  EXPECT_FALSE(Signalled(readEvent, 50));
  Command(IOCTL_RELEASE_DMAREAD);
}

TEST_F(RegisterModeTest, StatusRegisterSignalsOnEveryRunUntilCleared) {
  ASSERT_TRUE(Register(IOCTL_SET_EVENT_DMAREAD, readEvent).ok);
  uint8_t* user = UserBuffer(4096);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAREAD, user, 4096).ok);
  card::CardIn(*slot).SetCompletionStatus(0x1B80, 1);
  EXPECT_TRUE(Signalled(readEvent));
  EXPECT_TRUE(Signalled(readEvent));  // again on the next run: the register stays set
  EXPECT_EQ(ext()->bRunning_DmaRead, 1u);  // register mode leaves the running flag
  card::CardIn(*slot).SetCompletionStatus(0x1B80, 0);
  Command(IOCTL_RELEASE_DMAREAD);
}

// ---------------------------------------------------------------------------
// Buffer pool (family A)
// ---------------------------------------------------------------------------
TEST_F(TransferTest, PoolListsEveryEntryAndLeavesTheGapsAsSent) {
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_GET_BUFFER_POOL;
  std::memset(block.rest, 0xEE, sizeof(block.rest));
  Reply r = Send(block);
  ASSERT_TRUE(r.ok);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&r.block);
  for (int i = 0; i < 8; ++i) {
    uint64_t bus;
    uint32_t size, gap;
    std::memcpy(&bus, bytes + 8 + 16 * i, 8);
    std::memcpy(&size, bytes + 16 + 16 * i, 4);
    std::memcpy(&gap, bytes + 20 + 16 * i, 4);
    EXPECT_EQ(bus, static_cast<uint64_t>(ext()->CommonBufferPool[i].pCommonBuffer_LA.QuadPart));
    EXPECT_EQ(size, DMA_COMMON_BUFFER_SIZE);
    if (i > 0) EXPECT_EQ(gap, 0xEEEEEEEEu) << i;
  }
}

TEST_F(TransferTest, PoolWriteThenReadBackAndBounds) {
  const uint64_t key = static_cast<uint64_t>(ext()->CommonBufferPool[3].pCommonBuffer_LA.QuadPart);
  auto poolCopy = [&](uint32_t command, void* user, uint32_t length, uint32_t offset, uint64_t k) {
    IOCTL_BUFFER_A block{};
    block.ulCommand = command;
    block.ulAddr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user));
    block.ulData = length;
    block.ullKey = k;
    block.ulParam2 = offset;
    Reply r = Send(block);
    EXPECT_TRUE(r.ok);
    return r.block.ulResult;
  };
  uint8_t* out = UserBuffer(4096);
  uint8_t* in = UserBuffer(4096);
  for (int i = 0; i < 4096; ++i) out[i] = static_cast<uint8_t>(i * 13);
  EXPECT_EQ(poolCopy(IOCTL_WRITE_BUFFER_POOL, out, 4096, 0x1234, key), 0u);
  EXPECT_EQ(poolCopy(IOCTL_READ_BUFFER_POOL, in, 4096, 0x1234, key), 0u);
  EXPECT_EQ(std::memcmp(in, out, 4096), 0);

  const uint32_t size = DMA_COMMON_BUFFER_SIZE;
  EXPECT_EQ(poolCopy(IOCTL_READ_BUFFER_POOL, in, 16, size - 16, key), 0u);
  EXPECT_EQ(poolCopy(IOCTL_READ_BUFFER_POOL, in, 17, size - 16, key), RESULT_POOL_NO_COPY);
  EXPECT_EQ(poolCopy(IOCTL_READ_BUFFER_POOL, in, 0, size + 1, key), RESULT_POOL_NO_COPY);
  EXPECT_EQ(poolCopy(IOCTL_READ_BUFFER_POOL, in, 16, 0, key + 8), RESULT_POOL_NO_COPY);
  EXPECT_EQ(poolCopy(IOCTL_READ_BUFFER_POOL, in, 16, 0, 0), RESULT_POOL_NO_COPY);  // no entry has key 0
  uint8_t* readOnly = UserBuffer(4096, wdmsim::PAGE_READONLY);
  EXPECT_EQ(poolCopy(IOCTL_READ_BUFFER_POOL, readOnly, 16, 0, key), RESULT_POOL_NO_COPY);
}

class EmptyPoolEntryTest : public TransferTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    card::PlugCard(*kernel, *image);
    slot = kernel->Slots().back();
    kernel->FailNthCall("AllocateCommonBuffer", 3);  // pool entry 0
    ASSERT_EQ(kernel->StartCard(*slot), STATUS_SUCCESS);
    handle = process().CreateFileW(u"\\\\.\\Talvrex_v100-0");
    readEvent = process().CreateEventW(false, false);
    writeEvent = process().CreateEventW(false, false);
  }
};

TEST_F(EmptyPoolEntryTest, KeyZeroFindsTheEmptyEntryWhichAdmitsNoCopy) {
  uint8_t* user = UserBuffer(4096);
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_READ_BUFFER_POOL;
  block.ulAddr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user));
  block.ulData = 4;
  block.ullKey = 0;
  EXPECT_EQ(Send(block).block.ulResult, RESULT_POOL_NO_COPY);
  block.ulData = 0;
  EXPECT_EQ(Send(block).block.ulResult, RESULT_POOL_NO_COPY);  // no buffer: never copied
}

}  // namespace

namespace {

class SlowLinkTest : public TransferTest {
  card::CardOptions Options() override {
    card::CardOptions o;
    o.linkBytesPerSecond = 100'000'000;  // a 6 MiB transfer takes about 60 ms
    return o;
  }
};

// The card cannot be told to stop: removal waits for a transfer in flight
// before the common buffers go, or the card would write into freed memory
// (the verifier reports any card DMA outside mapped buffers).
TEST_F(SlowLinkTest, RemovalWaitsForTheCardToFinishAnInFlightTransfer) {
  uint8_t* user = UserBuffer(DMA_MAX_TRANSFER_SIZE);
  ASSERT_TRUE(Transfer(IOCTL_START_DMAWRITE, user, DMA_MAX_TRANSFER_SIZE, 0, 0x8004).ok);
  process().CloseHandle(handle);
  handle = wdmsim::INVALID_HANDLE_VALUE;
  process().CloseHandle(readEvent);
  process().CloseHandle(writeEvent);
  readEvent = writeEvent = nullptr;
  EXPECT_EQ(kernel->RemoveCard(*slot), STATUS_SUCCESS);
  // Give a card that was not waited for the time to write into freed memory.
  HANDLE never = process().CreateEventW(true, false);
  process().WaitForSingleObject(never, 300);
  process().CloseHandle(never);
  EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
}

}  // namespace
