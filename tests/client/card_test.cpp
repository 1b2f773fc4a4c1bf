// The client library against the driver on wdmsim: a started card of family
// A (Talvrex) and of family B (QM4200).
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "capture/card.h"
#include "capture/wdmsim_backend.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"
#include "support/machine.h"

namespace {

using capture::Card;
using capture::ErrorKind;
using namespace std::chrono_literals;

class CardTest : public ::testing::TestWithParam<std::string>, public support::Machine {
 protected:
  void SetUp() override {
    Boot({}, GetParam());
    backend = std::make_shared<capture::WdmsimBackend>(*kernel);
  }

  void TearDown() override {
    card.reset();
    backend.reset();
    EXPECT_EQ(ShutDown(), "");
  }

  // Starts a card and opens it as instance 0 of the product.
  Card& OpenStartedCard(const card::CardOptions& options = {}) {
    slot = &StartedCard(options);
    auto opened = Card::Open(backend, GetParam(), 0);
    EXPECT_TRUE(opened.ok()) << opened.error().message();
    card.emplace(std::move(opened).value());
    return *card;
  }

  size_t CountLines(const std::string& text) {
    size_t n = 0;
    for (const auto& line : image->DbgLines()) n += line.find(text) != std::string::npos;
    return n;
  }

  std::shared_ptr<capture::Backend> backend;
  wdmsim::Slot* slot = nullptr;
  std::optional<Card> card;
};

TEST_P(CardTest, VersionAndRegistersReachTheCard) {
  Card& c = OpenStartedCard();
  EXPECT_EQ(c.product().name, GetParam());
  EXPECT_EQ(c.Version().value(), DRIVER_INTERFACE_VERSION);

  ASSERT_TRUE(c.WriteRegister(0x2000, 0x1234).ok());
  EXPECT_EQ(card::CardIn(*slot).PeekRegister(0x2000), 0x1234u);  // the value, not its byte swap
  EXPECT_EQ(c.ReadRegister(0x2000).value(), 0x1234u);
  card::CardIn(*slot).UpdateFaults([](card::Faults& f) { f.readsAllOnes = true; });
  EXPECT_EQ(c.ReadRegister(0x2000).value(), 0xFFFFFFFFu);
}

TEST_P(CardTest, DirectReadCardsReadTheSame) {
  Card& c = OpenStartedCard({.directRead = true});
  ASSERT_TRUE(c.WriteRegister(0x3000, 0xCAFEF00D).ok());
  EXPECT_EQ(c.ReadRegister(0x3000).value(), 0xCAFEF00Du);
  EXPECT_EQ(c.ReadRegister(0x6008).value() & (1u << 11), 1u << 11);
}

TEST_P(CardTest, PseudoRegistersAndTheDiagnosticDump) {
  Card& c = OpenStartedCard();
  ASSERT_TRUE(c.SetWriteDelay(250us).ok());
  EXPECT_EQ(c.ReadRegister(PSEUDO_REG_WRITE_DELAY).value(), 250u);
  ASSERT_TRUE(c.SetWriteDelay(5s).ok());
  EXPECT_EQ(c.ReadRegister(PSEUDO_REG_WRITE_DELAY).value(), WRITE_DELAY_MAX_US);
  ASSERT_TRUE(c.SetWriteDelay(0us).ok());

  auto values = c.ReadPseudoRegisters();
  ASSERT_TRUE(values.ok()) << values.error().message();
  ASSERT_EQ(values->size(), capture::PseudoRegisters().size());
  for (const auto& [reg, value] : *values) {
    EXPECT_GE(reg.offset, 0x7900u);
    EXPECT_LT(reg.offset, 0x7999u);
    if (reg.offset == PSEUDO_REG_WRITE_DELAY) {
      EXPECT_EQ(value, 0u);
    }
    if (reg.offset == 0x7950) {
      EXPECT_NE(value, 0u) << "the DmaRead common buffer has a bus address";
    }
  }

  EXPECT_EQ(CountLines("pCommonBuffer_LA_DmaWrite"), 0u);
  ASSERT_TRUE(c.DiagnosticDump().ok());
  EXPECT_EQ(CountLines("pCommonBuffer_LA_DmaWrite"), 1u);
}

TEST_P(CardTest, MessageInterruptsConnectAndDisconnect) {
  Card& c = OpenStartedCard();
  EXPECT_TRUE(c.DisconnectMessageInterrupts().ok());
  EXPECT_TRUE(c.ConnectMessageInterrupts().ok());
  EXPECT_TRUE(c.ReconnectMessageInterrupts().ok());
  EXPECT_TRUE(c.DisconnectMessageInterrupts().ok());
}

TEST_P(CardTest, RegisterTestsAndTheWriteBackArea) {
  Card& c = OpenStartedCard();
  ASSERT_TRUE(c.WriteRegister(0x2004, 0xABCD).ok());
  EXPECT_EQ(c.TestReadRegister(0x2000, 0, 0x5555).value(), 0x5555u);  // count 0 keeps the data
  EXPECT_EQ(c.TestReadRegister(0x2000, 3).value(), 0xABCDu);          // the last read is offset + 4

  auto bytes = c.ReadWriteBack(0, 12);
  ASSERT_TRUE(bytes.ok()) << bytes.error().message();
  EXPECT_EQ(bytes->size(), 8u);  // never more than 8, also from a 24-byte block
  EXPECT_EQ(c.ReadWriteBack(0, 3).value().size(), 3u);

  EXPECT_TRUE(c.TestWriteRegisters(0).ok());
}

TEST_P(CardTest, FailuresAreValues) {
  Card& c = OpenStartedCard();

  capture::Block unknown{};
  unknown.ulCommand = 0x7777;
  auto answer = c.Execute(unknown, "command 0x7777");
  ASSERT_FALSE(answer.ok());
  EXPECT_EQ(answer.error().kind(), ErrorKind::kCommand);
  EXPECT_EQ(answer.error().result(), RESULT_UNKNOWN_COMMAND);
  EXPECT_NE(answer.error().message().find("unknown command"), std::string::npos);

  // A stopped card refuses everything; the I/O manager returns no block.
  ASSERT_EQ(kernel->SendRequest(slot->Fdo(), IRP_MJ_PNP, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  auto version = c.Version();
  ASSERT_FALSE(version.ok());
  EXPECT_EQ(version.error().kind(), ErrorKind::kSystem);
  EXPECT_EQ(version.error().win32(), wdmsim::ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(version.error().ntStatus(), std::optional<uint32_t>(0xC000009A));
  EXPECT_EQ(version.error().message(),
            "get version (command 0x9) on " + GetParam() +
                "_v100-0: insufficient system resources exist to complete the requested service (Win32 error 1450, "
                "NTSTATUS 0xC000009A)");
  EXPECT_FALSE(c.WriteRegister(0x2000, 1).ok());
  EXPECT_THROW(version.value(), capture::BadResultAccess);

  ASSERT_TRUE(c.Close().ok());
  EXPECT_EQ(c.Version().error().kind(), ErrorKind::kClient);  // closed
}

TEST_P(CardTest, OpeningCardsThatAreNotThere) {
  auto absent = Card::Open(backend, GetParam() + "_v100-0");
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error().win32(), wdmsim::ERROR_FILE_NOT_FOUND);
  EXPECT_NE(absent.error().message().find("open \\\\.\\" + GetParam() + "_v100-0"), std::string::npos);

  card::PlugCard(*kernel, *image);  // not started: the driver refuses the open
  EXPECT_EQ(Card::Open(backend, GetParam(), 0).error().win32(), wdmsim::ERROR_NO_SYSTEM_RESOURCES);

  for (const char* name : {"Nosuch_v100-0", "Talvrex", "Talvrex_v100-", "Talvrex_v100-01", "Talvrex_v100-64"}) {
    auto bad = Card::Open(backend, name);
    ASSERT_FALSE(bad.ok()) << name;
    EXPECT_EQ(bad.error().kind(), ErrorKind::kClient) << name;
  }
  EXPECT_EQ(Card::Open(backend, "nosuch", 0).error().message(), "card nosuch 0: unknown product 'nosuch'");
}

TEST_P(CardTest, AStandardUserIsToldThatOpeningACardNeedsAdministratorRights) {
  StartedCard();
  auto user = kernel->CreateProcess(wdmsim::Token::StandardUser);
  auto userBackend = std::make_shared<capture::WdmsimBackend>(*kernel, *user);
  auto opened = Card::Open(userBackend, GetParam(), 0);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().win32(), wdmsim::ERROR_ACCESS_DENIED);
  EXPECT_EQ(opened.error().message(), "open \\\\.\\" + GetParam() +
                                          "_v100-0: access is denied (Win32 error 5, NTSTATUS 0xC0000022): opening a "
                                          "card needs administrator rights (run as administrator)");
  auto cards = capture::ListCards(userBackend);
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0].state.error().win32(), wdmsim::ERROR_ACCESS_DENIED);
}

TEST_P(CardTest, ListingShowsStartedAndRefusingCards) {
  StartedCard();
  StartedCard();
  card::PlugCard(*kernel, *image);
  auto cards = capture::ListCards(backend);
  ASSERT_EQ(cards.size(), 3u);
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_EQ(cards[i].name.product->name, GetParam());
    EXPECT_EQ(cards[i].name.instance, i);
  }
  EXPECT_EQ(cards[0].state.value(), DRIVER_INTERFACE_VERSION);
  EXPECT_EQ(cards[1].state.value(), DRIVER_INTERFACE_VERSION);
  EXPECT_EQ(cards[2].state.error().win32(), wdmsim::ERROR_NO_SYSTEM_RESOURCES);
}

TEST_P(CardTest, EventsWaitSignalAndClose) {
  Card& c = OpenStartedCard();
  auto automatic = c.NewEvent();
  ASSERT_TRUE(automatic.ok());
  EXPECT_NE(automatic->BlockValue(), 0u);
  EXPECT_EQ(automatic->Wait(0ms).value(), capture::WaitOutcome::kTimedOut);
  ASSERT_TRUE(automatic->Signal().ok());
  EXPECT_EQ(automatic->Wait(capture::Backend::kInfinite).value(), capture::WaitOutcome::kSignalled);
  EXPECT_EQ(automatic->Wait(0ms).value(), capture::WaitOutcome::kTimedOut);  // auto-reset

  auto manual = c.NewEvent(true);
  ASSERT_TRUE(manual->Signal().ok());
  EXPECT_EQ(manual->Wait(0ms).value(), capture::WaitOutcome::kSignalled);
  EXPECT_EQ(manual->Wait(0ms).value(), capture::WaitOutcome::kSignalled);
  ASSERT_TRUE(manual->Clear().ok());
  EXPECT_EQ(manual->Wait(0ms).value(), capture::WaitOutcome::kTimedOut);

  // Moving hands the handle over; destruction closes it once.
  const capture::Backend::Handle handle = manual->handle();
  {
    capture::Event moved = std::move(manual).value();
    EXPECT_EQ(moved.handle(), handle);
  }
  EXPECT_EQ(backend->Wait(handle, 0ms).error().win32(), wdmsim::ERROR_INVALID_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(Families, CardTest, ::testing::Values("Talvrex", "QM4200"));

}  // namespace
