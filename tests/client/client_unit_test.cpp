// The client library without a kernel: the product table, device names,
// error texts, and what Card sends and accepts, against a scripted back end.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "capture/card.h"
#include "numbers.h"
#include "start_registers.h"

namespace {

using capture::ErrorKind;

// Answers every control request as scripted and records what it was sent.
class ScriptedBackend final : public capture::Backend {
 public:
  std::string_view Name() const override { return "scripted"; }
  capture::Result<Handle> Open(std::u16string_view path) override {
    opened.emplace_back(path);
    if (openError != 0) return capture::Error::System(openError, "CreateFileW");
    return Handle{0x40};
  }
  capture::Status Close(Handle) override {
    ++closed;
    return {};
  }
  capture::Result<uint32_t> Control(Handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                                    uint32_t outLength) override {
    codes.push_back(code);
    sent.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inLength);
    outLengths.push_back(outLength);
    if (controlError != 0) return capture::Error::System(controlError, "DeviceIoControl");
    Block answer{};
    std::memcpy(&answer, in, inLength);
    answer.ulResult = result;
    answer.ulData = data;
    uint32_t n = std::min(outLength, answerLength.value_or(outLength));
    std::memcpy(out, &answer, n);
    return n;
  }
  capture::Result<Handle> NewEvent(bool, bool) override { return Handle{0x80}; }
  capture::Status SignalEvent(Handle) override { return {}; }
  capture::Status ClearEvent(Handle) override { return {}; }
  capture::Result<capture::WaitOutcome> Wait(Handle, std::chrono::milliseconds) override {
    return capture::WaitOutcome::kTimedOut;
  }

  using Block = capture::Block;
  std::vector<std::u16string> opened;
  int closed = 0;
  std::vector<uint32_t> codes;
  std::vector<uint8_t> sent;
  std::vector<uint32_t> outLengths;
  uint32_t openError = 0, controlError = 0, result = 0, data = 0;
  std::optional<uint32_t> answerLength;
};

TEST(ProductTable, FollowsTheBuildMatrix) {
  // Every row of products.tsv, in order, with its family and sizes.
  std::ifstream matrix(PRODUCT_MATRIX_PATH);
  ASSERT_TRUE(matrix.good());
  std::vector<std::string> rows;
  for (std::string line; std::getline(matrix, line);) {
    if (!line.empty() && line[0] != '#') rows.push_back(line);
  }
  auto products = capture::Products();
  ASSERT_EQ(products.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    std::istringstream row(rows[i]);
    std::string name, family, maxTransfer, common, hardwareId, service;
    std::string starts[3];
    row >> name >> family >> maxTransfer >> common >> hardwareId >> service >> starts[0] >> starts[1] >> starts[2];
    EXPECT_EQ(products[i].name, name);
    EXPECT_EQ(products[i].FamilyLetter(), family[0]);
    EXPECT_EQ(products[i].maxTransfer, std::stoul(maxTransfer, nullptr, 16));
    EXPECT_EQ(products[i].commonBuffer, std::stoul(common, nullptr, 16));
    EXPECT_EQ(products[i].BlockSize(), family == "A" ? IOCTL_BUFFER_SIZE_A : IOCTL_BUFFER_SIZE_B);
    const std::optional<uint32_t> table[] = {products[i].captureStart, products[i].playoutStart,
                                             products[i].loopbackStart};
    for (int s = 0; s < 3; ++s) {
      ASSERT_FALSE(starts[s].empty()) << name << ": start register column " << s;
      EXPECT_EQ(table[s], starts[s] == "-" ? std::nullopt : std::optional<uint32_t>(std::stoul(starts[s], nullptr, 16)))
          << name << ": start register column " << s;
    }
  }
  EXPECT_EQ(capture::FindProduct("qm4200"), capture::FindProduct("QM4200"));
  EXPECT_EQ(capture::FindProduct("QM420"), nullptr);
}

TEST(DeviceNames, ParseAndFormat) {
  for (const char* text : {"Talvrex_v100-7", "\\\\.\\Talvrex_v100-7", "\\DosDevices\\talvrex_V100-7"}) {
    auto name = capture::ParseDeviceName(text);
    ASSERT_TRUE(name.ok()) << text;
    EXPECT_EQ(name->product->name, "Talvrex");
    EXPECT_EQ(name->instance, 7u);
    EXPECT_EQ(name->Win32Path(), "\\\\.\\Talvrex_v100-7");
    EXPECT_EQ(name->Win32PathW(), u"\\\\.\\Talvrex_v100-7");
  }
  EXPECT_EQ(capture::ParseDeviceName("QM4200_v100-63")->instance, 63u);
  for (const char* text : {"", "Talvrex_v100-", "Talvrex_v100-x", "Talvrex_v100-+1", "Talvrex_v101-0",
                           "Talvrex_v100-64", "Talvrex_v100-007", "Nosuch_v100-0"}) {
    EXPECT_FALSE(capture::ParseDeviceName(text).ok()) << text;
  }
}

TEST(Errors, ReadableMessages) {
  EXPECT_EQ(capture::Error::System(2, "open \\\\.\\X_v100-0").message(),
            "open \\\\.\\X_v100-0: the system cannot find the file specified (Win32 error 2)");
  EXPECT_EQ(capture::Error::Command(8, "command 0x7").message(),
            "command 0x7: the driver answered unknown command (result 8)");
  EXPECT_EQ(capture::Error::System(4242, "x").message(), "x: unknown error (Win32 error 4242)");
  auto e = capture::Error::Command(RESULT_DMAWRITE_TOO_LONG, "y");
  EXPECT_EQ(e.win32(), 0u);
  EXPECT_EQ(e.result(), RESULT_DMAWRITE_TOO_LONG);
  capture::Result<int> value = 5;
  EXPECT_THROW((void)value.error(), capture::BadResultAccess);
  EXPECT_EQ(capture::Result<int>(e).value_or(9), 9);
}

class ScriptedCard : public ::testing::Test {
 protected:
  capture::Card Open(const char* name) {
    auto card = capture::Card::Open(backend, name);
    EXPECT_TRUE(card.ok());
    return std::move(card).value();
  }
  std::shared_ptr<ScriptedBackend> backend = std::make_shared<ScriptedBackend>();
};

TEST_F(ScriptedCard, SendsTheFamilysBlockWithTheCommand) {
  {
    auto a = Open("Talvrex_v100-2");
    backend->data = 0x99;
    EXPECT_EQ(a.ReadRegister(0x1234).value(), 0x99u);
    EXPECT_EQ(backend->opened.back(), u"\\\\.\\Talvrex_v100-2");
    EXPECT_EQ(backend->codes.back(), IOCTL_COMMAND);
    ASSERT_EQ(backend->sent.size(), IOCTL_BUFFER_SIZE_A);
    EXPECT_EQ(backend->outLengths.back(), IOCTL_BUFFER_SIZE_A);
    capture::Block block;
    std::memcpy(&block, backend->sent.data(), sizeof(block));
    EXPECT_EQ(block.ulCommand, IOCTL_GET_REGISTER);
    EXPECT_EQ(block.ulAddr, 0x1234u);

    auto b = Open("QM4200_v100-0");
    ASSERT_TRUE(b.TestReadRegister(0x40, 3, 7).ok());
    ASSERT_EQ(backend->sent.size(), IOCTL_BUFFER_SIZE_B);
    std::memcpy(&block, backend->sent.data(), IOCTL_BUFFER_SIZE_B);
    EXPECT_EQ(block.ulCommand, IOCTL_TEST_READ_REGISTER);
    EXPECT_EQ(block.ulAddr, 0x40u);
    EXPECT_EQ(block.ulData, 7u);
    EXPECT_EQ(block.ulParam0, 3u);
    EXPECT_EQ(backend->closed, 0);
  }
  EXPECT_EQ(backend->closed, 2);  // each card closes its handle once
}

TEST_F(ScriptedCard, RefusesAnswersThatAreShortOrFailed) {
  auto card = Open("Talvrex_v100-0");
  backend->answerLength = IOCTL_BUFFER_SIZE_B;  // a family B driver behind a family A name
  auto short_ = card.Version();
  ASSERT_FALSE(short_.ok());
  EXPECT_EQ(short_.error().kind(), ErrorKind::kClient);
  EXPECT_NE(short_.error().message().find("24 bytes instead of 136"), std::string::npos);

  backend->answerLength.reset();
  backend->result = RESULT_NOT_IMPLEMENTED;
  EXPECT_EQ(card.WriteRegister(0, 0).error().result(), RESULT_NOT_IMPLEMENTED);

  backend->controlError = 31;
  auto failed = card.Version();
  EXPECT_EQ(failed.error().win32(), 31u);
  EXPECT_EQ(failed.error().operation(), "get version (command 0x9) on Talvrex_v100-0");

  backend->openError = 5;
  EXPECT_EQ(capture::Card::Open(backend, "Talvrex", 1).error().message(),
            "open \\\\.\\Talvrex_v100-1: access is denied (Win32 error 5): opening a card needs administrator rights "
            "(run as administrator)");
}

TEST(Numbers, HexOrDecimalOnly) {
  using capture_tool::ParseNumber;
  EXPECT_EQ(ParseNumber("0x2000"), 0x2000u);
  EXPECT_EQ(ParseNumber("0XfFfFfFfF"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("8192"), 8192u);
  EXPECT_EQ(ParseNumber("0"), 0u);
  EXPECT_EQ(ParseNumber("63", 63), 63u);
  for (const char* bad : {"", "0x", "x10", "-1", "+1", "010", "12a", "0x1g", " 1", "4294967296", "0x100000000"}) {
    EXPECT_FALSE(ParseNumber(bad).has_value()) << bad;
  }
  EXPECT_FALSE(ParseNumber("64", 63).has_value());
  EXPECT_EQ(capture_tool::CheckNumber("12"), "");
  EXPECT_NE(capture_tool::CheckNumber("1.5"), "");
}

// Where the transfer commands' start registers come from: the command line,
// else the simulated card's (--sim only), else the product table; never a
// simulated card's on a real one.
TEST(StartRegisters, CommandLineThenSimulationThenProduct) {
  using capture_tool::Engine;
  const capture::Product unknown{"Plain", capture::Family::kB, 0x1000, 0x21000, std::nullopt, std::nullopt, std::nullopt};
  const capture::Product known{"Fitted", capture::Family::kA, 0x1000, 0x21000, 0xA000, 0xA004, std::nullopt};
  const capture_tool::StartRegisters none, simulated{0x8004, 0x8000, 0x8008};
  struct Case {
    const char* what;
    Engine engine;
    std::optional<uint32_t> given;
    const capture_tool::StartRegisters& sim;
    const capture::Product& product;
    std::optional<uint32_t> expected;  // none: refused, naming the option
  };
  const Case cases[] = {
      {"real card, product knows none", Engine::kCapture, std::nullopt, none, unknown, std::nullopt},
      {"real card, command line", Engine::kCapture, 0x9000, none, unknown, 0x9000},
      {"real card, product's capture", Engine::kCapture, std::nullopt, none, known, 0xA000},
      {"real card, product's playout", Engine::kPlayout, std::nullopt, none, known, 0xA004},
      {"real card, product lacks loopback", Engine::kLoopback, std::nullopt, none, known, std::nullopt},
      {"simulated card's capture", Engine::kCapture, std::nullopt, simulated, unknown, 0x8004},
      {"simulated card before the product's", Engine::kPlayout, std::nullopt, simulated, known, 0x8000},
      {"simulated card's loopback", Engine::kLoopback, std::nullopt, simulated, unknown, 0x8008},
      {"command line before the simulation", Engine::kLoopback, 0x8108, simulated, known, 0x8108},
  };
  for (const Case& c : cases) {
    auto reg = capture_tool::StartRegister(c.engine, c.given, c.sim, c.product, "--the-option");
    if (c.expected) {
      ASSERT_TRUE(reg) << c.what << ": " << reg.error().message();
      EXPECT_EQ(*reg, *c.expected) << c.what;
    } else {
      ASSERT_FALSE(reg) << c.what;
      EXPECT_NE(reg.error().message().find(std::string(c.product.name) + " has no known " +
                                           capture_tool::EngineName(c.engine) + " start register: give --the-option"),
                std::string::npos)
          << c.what << ": " << reg.error().message();
    }
  }
}

}  // namespace
