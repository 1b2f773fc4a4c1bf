// What no caller may do to the machine: open a card without administrator
// rights, send commands through a handle without data access, hold stop and
// removal up, crash it with concurrent interrupt commands, or read memory the
// driver never wrote.
#include <atomic>
#include <cstdio>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "control_fixture.h"

namespace {

using wdmsim::Token;

constexpr uint32_t kWin32OperationAborted = 995;

// Waits (bounded) until `done` holds; the condition is set by other threads.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// --- who may open a card ------------------------------------------------------

class AccessTest : public ControlTest {};

TEST_F(AccessTest, OnlySystemAndAdministratorsOpenACardAsTheShippedInfSays) {
  ASSERT_EQ(image->securitySddl(), std::optional<std::string>("D:P(A;;GA;;;SY)(A;;GA;;;BA)"));
  EXPECT_EQ(image->deviceCharacteristics() & FILE_DEVICE_SECURE_OPEN, FILE_DEVICE_SECURE_OPEN);

  struct Case {
    Token token;
    const char16_t* path;
    bool opens;
  };
  const Case cases[] = {
      {Token::System, u"\\\\.\\Talvrex_v100-0", true},
      {Token::Administrator, u"\\\\.\\Talvrex_v100-0", true},
      {Token::StandardUser, u"\\\\.\\Talvrex_v100-0", false},
      // A name below the device is checked the same way (FILE_DEVICE_SECURE_OPEN).
      {Token::Administrator, u"\\\\.\\Talvrex_v100-0\\anything", true},
      {Token::StandardUser, u"\\\\.\\Talvrex_v100-0\\anything", false},
      {Token::StandardUser, u"\\\\.\\Talvrex_v100-0\\a\\b", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(wdmsim::Narrow(c.path) + " as token " + std::to_string(static_cast<int>(c.token)));
    auto user = kernel->CreateProcess(c.token);
    HANDLE h = user->CreateFileW(c.path);
    if (c.opens) {
      ASSERT_NE(h, wdmsim::INVALID_HANDLE_VALUE);
      EXPECT_TRUE(user->CloseHandle(h));
    } else {
      EXPECT_EQ(h, wdmsim::INVALID_HANDLE_VALUE);
      EXPECT_EQ(user->GetLastError(), wdmsim::ERROR_ACCESS_DENIED);
    }
  }
}

TEST_F(AccessTest, AHandleWithoutReadAndWriteAccessIsRefusedEveryCommand) {
  const size_t writesBefore = CardWrites(0x2000);
  struct Case {
    uint32_t access;
    bool accepted;
  };
  const Case cases[] = {
      {0, false},
      {wdmsim::GENERIC_READ, false},
      {wdmsim::GENERIC_WRITE, false},
      {wdmsim::FILE_READ_ATTRIBUTES, false},
      {wdmsim::GENERIC_READ | wdmsim::GENERIC_WRITE, true},
      {wdmsim::GENERIC_ALL, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("access 0x" + std::to_string(c.access));
    HANDLE h = process().CreateFileW(u"\\\\.\\Talvrex_v100-0", c.access);
    ASSERT_NE(h, wdmsim::INVALID_HANDLE_VALUE);
    IOCTL_BUFFER_A block{};
    block.ulCommand = IOCTL_SET_REGISTER;
    block.ulAddr = 0x2000;
    block.ulData = 1;
    IOCTL_BUFFER_A out;
    std::memset(&out, 0x55, sizeof(out));
    uint32_t returned = 0xFFFF;
    bool ok = process().DeviceIoControl(h, IOCTL_COMMAND, &block, S, &out, S, &returned);
    EXPECT_EQ(ok, c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(process().GetLastError(), wdmsim::ERROR_ACCESS_DENIED);
      EXPECT_EQ(returned, 0u);
      EXPECT_EQ(out.ulResult, 0x55555555u);  // nothing came back
    }
    process().CloseHandle(h);
  }
  EXPECT_EQ(CardWrites(0x2000), writesBefore + 2);  // the two accepted handles only
}

// --- stop and removal always finish ---------------------------------------------

// A register test command with the largest count runs on one thread while the
// PnP or power manager acts on another. Every post-write delay lasts the
// longest time the driver allows (1 s), so without the stop event a write-back
// read alone lasts half a minute and the command about 2^32 seconds.
enum class Interruption { kRemove, kSurpriseRemove, kSleep };

struct StopCase {
  uint32_t command;
  Interruption by;
};

class StopBoundTest : public ControlTest, public ::testing::WithParamInterface<StopCase> {};

// The longest a stop may take with no transfer in flight: the 200 ms pause,
// which ends on the first 1 ms tick at or after its due time, plus what the
// request inside the driver needs to notice the stop (its next clock read or
// the end of its wait, at once). Removal takes 200 or 201 ms by where the
// command stood; surprise removal and sleep do not pause. (The stated bound
// with a transfer in flight is 1.2 s more.)
constexpr int64_t kStopBound100ns = 202 * 10000LL;

TEST_P(StopBoundTest, TheRunningCommandGivesUpAndTheBoundHolds) {
  const StopCase c = GetParam();
  SetRegister(PSEUDO_REG_WRITE_DELAY, WRITE_DELAY_MAX_US);

  Reply reply{};
  std::atomic<bool> returned{false};
  std::thread::id commandThread;
  std::thread worker = kernel->StartThread([&] {
    reply = Command(c.command, 0x2000, 0, 0xFFFFFFFF);
    returned = true;
  });
  commandThread = worker.get_id();
  ASSERT_TRUE(Eventually([&] { return InterlockedCompareExchange(&ext()->io_control_count, 0, 0) == 1; }));

  // One call from the start time to the end of the stop: the running
  // command's delays cannot pass in between.
  int64_t elapsed = 0;
  kernel->InOneCall([&] {
    const int64_t start = kernel->SystemTime100ns();
    switch (c.by) {
      case Interruption::kRemove:
        EXPECT_EQ(kernel->RemoveCard(*slot), STATUS_SUCCESS);
        break;
      case Interruption::kSurpriseRemove:
        kernel->SurpriseRemove(*slot);  // the removal itself waits for the last handle
        break;
      case Interruption::kSleep:
        kernel->SleepAndResume();
        break;
    }
    elapsed = kernel->SystemTime100ns() - start;
  });
  EXPECT_LE(elapsed, kStopBound100ns);
  std::printf("[stop] finished after %.1f ms of simulated time\n", static_cast<double>(elapsed) / 1e4);

  if (c.by == Interruption::kSleep) {
    // Sleep does not stop the card: the command runs on until its thread
    // goes away, which cancels it.
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(process().CancelSynchronousIo(commandThread));
  }
  worker.join();
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.error, kWin32OperationAborted);
  EXPECT_EQ(reply.returned, 0u);
  if (c.by == Interruption::kSurpriseRemove) {
    process().CloseHandle(handle);  // now the remove request comes
    handle = wdmsim::INVALID_HANDLE_VALUE;
  }
}

INSTANTIATE_TEST_SUITE_P(, StopBoundTest,
                         ::testing::Values(StopCase{IOCTL_TEST_WRITE_REGISTERS, Interruption::kRemove},
                                           StopCase{IOCTL_TEST_READ_REGISTER, Interruption::kRemove},
                                           StopCase{IOCTL_TEST_WRITE_REGISTERS, Interruption::kSurpriseRemove},
                                           StopCase{IOCTL_TEST_READ_REGISTER, Interruption::kSurpriseRemove},
                                           StopCase{IOCTL_TEST_WRITE_REGISTERS, Interruption::kSleep},
                                           StopCase{IOCTL_TEST_READ_REGISTER, Interruption::kSleep}));

// --- concurrent message-interrupt commands ------------------------------------

TEST_F(ControlTest, ConcurrentMessageInterruptCommandsNeverDisconnectTwice) {
  constexpr int kThreads = 4, kRounds = 1000;
  const uint32_t offsets[] = {PSEUDO_REG_MSI_RECONNECT, PSEUDO_REG_MSI_CONNECT, PSEUDO_REG_MSI_DISCONNECT};
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        // Every mix: thread t walks the three commands with its own stride.
        uint32_t offset = offsets[(i * (t + 1) + t) % 3];
        if (!Command(IOCTL_SET_REGISTER, offset, 0).ok) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(kernel->BugCheckReport(), "");
}

// --- no stale kernel memory ------------------------------------------------------

TEST_F(ControlTest, EveryCommonBufferStartsCleared) {
  auto allZero = [](const void* p, size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
      if (bytes[i] != 0) return false;
    }
    return true;
  };
  const size_t size = DMA_COMMON_BUFFER_SIZE;
  EXPECT_TRUE(allZero(ext()->pCommonBuffer_VA_DmaRead, size));
  EXPECT_TRUE(allZero(ext()->pCommonBuffer_VA_DmaWrite, size));
  for (const auto& entry : ext()->CommonBufferPool) {
    ASSERT_NE(entry.pCommonBuffer_VA, nullptr);
    EXPECT_TRUE(allZero(entry.pCommonBuffer_VA, size));
  }

  // And through the interface: a pool buffer never written reads as zeros.
  const uint32_t length = 4096;
  auto* user = static_cast<unsigned char*>(process().VirtualAlloc(length));
  std::memset(user, 0x55, length);
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_READ_BUFFER_POOL;
  block.ullKey = static_cast<uint64_t>(ext()->CommonBufferPool[3].pCommonBuffer_LA.QuadPart);
  block.ulAddr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user));
  block.ulData = length;
  Reply r = Send(block);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.block.ulResult, RESULT_SUCCESS);
  EXPECT_TRUE(allZero(user, length));
  process().VirtualFree(user);
}

TEST_F(ControlTest, AZeroBytePoolCopyBuildsNoMdlAndLocksNothing) {
  for (uint32_t command : {IOCTL_READ_BUFFER_POOL, IOCTL_WRITE_BUFFER_POOL}) {
    kernel->ResetCallCounts();
    IOCTL_BUFFER_A block{};
    block.ulCommand = command;
    block.ullKey = static_cast<uint64_t>(ext()->CommonBufferPool[0].pCommonBuffer_LA.QuadPart);
    block.ulAddr = 0;  // no buffer at all: nothing may touch it
    block.ulData = 0;
    Reply r = Send(block);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.block.ulResult, RESULT_SUCCESS);
    EXPECT_EQ(kernel->CallCount("IoAllocateMdl"), 0u);
    EXPECT_EQ(kernel->CallCount("MmProbeAndLockPages"), 0u);
  }
}

// A refused request completes with an error status, and then the I/O
// manager copies nothing back: the result word the driver set never arrives.
TEST_F(ControlTest, AnErrorStatusBringsNoResultWordBack) {
  struct Case {
    uint32_t code;
    uint32_t command;
    uint32_t length;
    uint32_t win32;
  };
  const Case cases[] = {
      {IOCTL_COMMAND, IOCTL_START_DMAREAD, DMA_MAX_TRANSFER_SIZE + 1, wdmsim::ERROR_INSUFFICIENT_BUFFER},
      {IOCTL_COMMAND, IOCTL_START_DMAWRITE, DMA_MAX_TRANSFER_SIZE + 1, wdmsim::ERROR_INSUFFICIENT_BUFFER},
      {IOCTL_COMMAND + 4, IOCTL_GET_VERSION, 0, wdmsim::ERROR_INVALID_FUNCTION},
  };
  for (const Case& c : cases) {
    IOCTL_BUFFER_A block{};
    block.ulCommand = c.command;
    block.ulData = c.length;
    Reply r = Send(block, S, S, c.code);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.win32);
    EXPECT_EQ(r.returned, 0u);
    EXPECT_EQ(r.block.ulResult, 0x55555555u);
  }
}

}  // namespace
