// The 22 product builds on wdmsim: each image behaves as its row of the
// build matrix (driverxilinx/products.tsv) says, and two builds loaded at
// once keep apart. Only the user-mode interface is used (no product's
// driver.h), so every image can be driven from one test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "card/plug.h"
#include "support/machine.h"
#include "support/products.h"
#include "support/reply.h"

namespace {

using support::Matrix;
using support::Product;

constexpr uint32_t kCaptureStartRegister = 0x8004;  // command 7, card to host

using support::ImagePath;
using support::Reply;

// One simulated kernel with any number of product images and cards.
class ProductKernel : public support::MachineTest {
 protected:
  std::string Product() override { return ""; }  // each test loads its own
  void TearDown() override {
    for (HANDLE h : handles) process().CloseHandle(h);
    for (auto* slot : kernel->Slots()) kernel->RemoveCard(*slot);
    for (auto* image : images) kernel->UnloadDriver(*image);
    MachineTest::TearDown();
  }
  wdmsim::Process& process() { return kernel->DefaultProcess(); }

  // Loads a product's image, starts one card on it and opens the card.
  HANDLE OpenStartedCard(const std::string& product) {
    images.push_back(&kernel->LoadDriver(ImagePath(product)));
    wdmsim::Slot* slot = nullptr;
    EXPECT_EQ(card::AddAndStartCard(*kernel, *images.back(), &slot), STATUS_SUCCESS);
    HANDLE h = process().CreateFileW(wdmsim::Widen("\\\\.\\" + product + "_v100-0"));
    EXPECT_NE(h, wdmsim::INVALID_HANDLE_VALUE) << product;
    handles.push_back(h);
    return h;
  }

  Reply Send(HANDLE h, const IOCTL_BUFFER_A& block, uint32_t inLength, uint32_t outLength) {
    return support::Call(process(), h, block, inLength, outLength);
  }
  Reply Command(HANDLE h, uint32_t blockSize, uint32_t command, uint32_t addr = 0, uint32_t data = 0,
                uint32_t param0 = 0) {
    IOCTL_BUFFER_A block{};
    block.ulCommand = command;
    block.ulAddr = addr;
    block.ulData = data;
    block.ulParam0 = param0;
    return Send(h, block, blockSize, blockSize);
  }

  std::vector<wdmsim::DriverImage*> images;
  std::vector<HANDLE> handles;
};

class ProductBuild : public ProductKernel, public ::testing::WithParamInterface<Product> {};

// Every build: its transfer limit, its block and (family A) its pool sizes.
TEST_P(ProductBuild, FollowsItsRowOfTheMatrix) {
  const auto& p = GetParam();
  HANDLE h = OpenStartedCard(p.name);
  const uint32_t size = p.familyA ? IOCTL_BUFFER_SIZE_A : IOCTL_BUFFER_SIZE_B;

  Reply version = Command(h, size, IOCTL_GET_VERSION);
  ASSERT_TRUE(version.ok) << version.error;
  EXPECT_EQ(version.returned, size);
  EXPECT_EQ(version.block.ulData, DRIVER_INTERFACE_VERSION);

  // The transfer limit: the maximum is taken, one byte more refused.
  // The capture runs to its end before the card goes: the card model has no
  // abort, and a transfer in flight at removal would write into freed
  // common buffers.
  void* user = process().VirtualAlloc(p.maxTransfer + 1);
  ASSERT_NE(user, nullptr);
  const auto addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user));
  HANDLE done = process().CreateEventW(false, false);
  IOCTL_BUFFER_A registration{};
  registration.ulCommand = IOCTL_SET_EVENT_DMAWRITE;
  registration.hEvent = reinterpret_cast<uint64_t>(done);
  ASSERT_TRUE(Send(h, registration, size, size).ok);
  Reply tooLong = Command(h, size, IOCTL_START_DMAWRITE, addr, p.maxTransfer + 1, kCaptureStartRegister);
  EXPECT_FALSE(tooLong.ok);
  EXPECT_EQ(tooLong.error, wdmsim::ERROR_INSUFFICIENT_BUFFER);  // STATUS_BUFFER_TOO_SMALL
  Reply max = Command(h, size, IOCTL_START_DMAWRITE, addr, p.maxTransfer, kCaptureStartRegister);
  EXPECT_TRUE(max.ok) << max.error;
  EXPECT_EQ(max.block.ulResult, RESULT_SUCCESS);
  EXPECT_EQ(process().WaitForSingleObject(done, 10000), wdmsim::WAIT_OBJECT_0);
  Reply finish = Command(h, size, IOCTL_FINISH_DMAWRITE);
  EXPECT_TRUE(finish.ok);
  EXPECT_EQ(finish.block.ulResult, RESULT_SUCCESS);
  process().CloseHandle(done);

  if (p.familyA) {
    // Both lengths short of the 136-byte block: refused before it is read.
    Reply shortBlock = Command(h, IOCTL_BUFFER_SIZE_A - 1, IOCTL_GET_VERSION);
    EXPECT_FALSE(shortBlock.ok);
    EXPECT_EQ(shortBlock.error, wdmsim::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(Command(h, IOCTL_BUFFER_SIZE_B, IOCTL_GET_VERSION).ok);
    // Command 12: every pool buffer is the common buffer's size.
    Reply pool = Command(h, size, IOCTL_GET_BUFFER_POOL);
    ASSERT_TRUE(pool.ok);
    const auto* table = reinterpret_cast<const uint8_t*>(&pool.block) + IOCTL_POOL_TABLE_OFFSET;
    for (int i = 0; i < 8; ++i) {  // eight entries, all allocated at start
      uint32_t entrySize;
      std::memcpy(&entrySize, table + 16 * i + 8, sizeof entrySize);
      EXPECT_EQ(entrySize, p.commonBuffer) << "pool entry " << i;
    }
  } else {
    // Family B has no buffer pool: its commands are unknown.
    for (uint32_t command : {IOCTL_GET_BUFFER_POOL, IOCTL_READ_BUFFER_POOL, IOCTL_WRITE_BUFFER_POOL}) {
      Reply r = Command(h, size, command);
      EXPECT_TRUE(r.ok) << command;
      EXPECT_EQ(r.block.ulResult, RESULT_UNKNOWN_COMMAND) << command;
      EXPECT_EQ(r.returned, IOCTL_BUFFER_SIZE_B) << command;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Products, ProductBuild, ::testing::ValuesIn(Matrix()),
                         [](const ::testing::TestParamInfo<Product>& info) { return info.param.name; });

// The sizes the products are delivered with: an edit of the matrix that
// changes them is caught here.
TEST(ProductMatrix, DeliveredSizesAndFamilies) {
  const auto rows = Matrix();
  ASSERT_EQ(rows.size(), 22u);
  int familyA = 0;
  for (const auto& p : rows) {
    familyA += p.familyA;
    const uint32_t expected = p.name == "Marwell" ? 0x800000u : 0x600000u;
    EXPECT_EQ(p.maxTransfer, expected) << p.name;
    EXPECT_EQ(p.commonBuffer, expected + 0x20000u) << p.name;
  }
  EXPECT_EQ(familyA, 13);
  EXPECT_FALSE(std::find_if(rows.begin(), rows.end(), [](const auto& p) { return p.name == "QM4200"; })->familyA);
}

// Two builds in one kernel: their names differ in the base word only, and
// each keeps its own globals (the write delay).
TEST_F(ProductKernel, TwoBuildsLoadedAtOnceKeepApart) {
  HANDLE a = OpenStartedCard("Talvrex");
  HANDLE b = OpenStartedCard("QM4200");
  for (const char* base : {"Talvrex", "QM4200"}) {
    const std::string device = std::string("\\Device\\") + base + "_v100-0";
    EXPECT_NE(kernel->FindDevice(wdmsim::Widen(device)), nullptr) << device;
    EXPECT_EQ(kernel->SymbolicLinkTarget(wdmsim::Widen(std::string("\\DosDevices\\") + base + "_v100-0")),
              wdmsim::Widen(device));
  }
  std::vector<std::string> devices;
  for (const auto& name : kernel->NamesIn(u"\\Device")) {
    std::string n = wdmsim::Narrow(name);
    if (n.find("_v") != std::string::npos) devices.push_back(n);
  }
  std::sort(devices.begin(), devices.end());
  EXPECT_EQ(devices, (std::vector<std::string>{"QM4200_v100-0", "Talvrex_v100-0"}));

  ASSERT_TRUE(Command(a, IOCTL_BUFFER_SIZE_A, IOCTL_SET_REGISTER, PSEUDO_REG_WRITE_DELAY, 1234).ok);
  EXPECT_EQ(Command(a, IOCTL_BUFFER_SIZE_A, IOCTL_GET_REGISTER, PSEUDO_REG_WRITE_DELAY).block.ulData, 1234u);
  EXPECT_EQ(Command(b, IOCTL_BUFFER_SIZE_B, IOCTL_GET_REGISTER, PSEUDO_REG_WRITE_DELAY).block.ulData, 0u);
  ASSERT_TRUE(Command(b, IOCTL_BUFFER_SIZE_B, IOCTL_SET_REGISTER, PSEUDO_REG_WRITE_DELAY, 77).ok);
  EXPECT_EQ(Command(a, IOCTL_BUFFER_SIZE_A, IOCTL_GET_REGISTER, PSEUDO_REG_WRITE_DELAY).block.ulData, 1234u);
  ASSERT_TRUE(Command(a, IOCTL_BUFFER_SIZE_A, IOCTL_SET_REGISTER, PSEUDO_REG_WRITE_DELAY, 0).ok);
  ASSERT_TRUE(Command(b, IOCTL_BUFFER_SIZE_B, IOCTL_SET_REGISTER, PSEUDO_REG_WRITE_DELAY, 0).ok);
}

}  // namespace
