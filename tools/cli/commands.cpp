#include "commands.h"

#include <cstdio>

#include <fmt/format.h>

namespace capture_tool {

namespace {

constexpr uint32_t kWin32FileNotFound = 2;
constexpr uint32_t kWin32PathNotFound = 3;

bool Absent(const capture::Error& error) {
  return error.win32() == kWin32FileNotFound || error.win32() == kWin32PathNotFound;
}

bool IsPseudoRegister(uint32_t offset) { return offset >= PSEUDO_REG_FIRST && offset <= PSEUDO_REG_LAST; }

// The first card of the candidates that opens; else the first reason a
// present card would not, else "no card".
capture::Result<capture::Card> OpenFirst(const Context& context) {
  std::optional<capture::Error> refused;
  for (const std::u16string& path : context.backend->CandidatePaths()) {
    auto name = capture::ParseDeviceName(path);
    if (!name) continue;
    if (context.target.instance && name->instance != *context.target.instance) continue;
    auto card = capture::Card::Open(context.backend, *name);
    if (card) return card;
    if (!Absent(card.error()) && !refused) refused = card.error();
  }
  if (refused) return *refused;
  std::string which = context.target.instance ? fmt::format(" with instance {}", *context.target.instance) : "";
  return capture::Error::Client("open", "no card found" + which);
}

}  // namespace

int Fail(const capture::Error& error) {
  std::fflush(stdout);
  fmt::print(stderr, "capture-tool: {}\n", error.message());
  return kExitFailed;
}

capture::Result<capture::Card> OpenTarget(const Context& context) {
  const Target& t = context.target;
  if (!t.device.empty()) return capture::Card::Open(context.backend, t.device);
  if (!t.product.empty()) return capture::Card::Open(context.backend, t.product, t.instance.value_or(0));
  return OpenFirst(context);
}

int List(const Context& context) {
  auto cards = capture::ListCards(context.backend);
  if (cards.empty()) {
    std::fflush(stdout);
    fmt::print(stderr, "capture-tool: no cards found\n");
  }
  for (const auto& card : cards) {
    const capture::Product& p = *card.name.product;
    std::string state = card.state ? fmt::format("driver interface 0x{:08X}", *card.state)
                                   : "unusable: " + card.state.error().message();
    fmt::print("{:<24} {:<10} family {}  max transfer 0x{:X}  {}\n", card.name.Win32Path(), p.name,
               p.FamilyLetter(), p.maxTransfer, state);
  }
  return kExitSuccess;
}

int Version(const Context& context) {
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  auto version = card->Version();
  if (!version) return Fail(version.error());
  fmt::print("0x{:08X}\n", *version);
  return kExitSuccess;
}

int ReadRegister(const Context& context, uint32_t offset) {
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  auto value = card->ReadRegister(offset);
  if (!value) return Fail(value.error());
  fmt::print("0x{:08X}\n", *value);
  if (*value == 0xFFFFFFFF && !IsPseudoRegister(offset)) {
    std::fflush(stdout);
    fmt::print(stderr, "capture-tool: note: all ones is also what a failed card read answers\n");
  }
  return kExitSuccess;
}

int WriteRegister(const Context& context, uint32_t offset, uint32_t value, bool readBack) {
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  if (auto written = card->WriteRegister(offset, value); !written) return Fail(written.error());
  if (!readBack) return kExitSuccess;
  auto read = card->ReadRegister(offset);
  if (!read) return Fail(read.error());
  fmt::print("0x{:08X}\n", *read);
  return kExitSuccess;
}

int Dump(const Context& context) {
  auto card = OpenTarget(context);
  if (!card) return Fail(card.error());
  auto values = card->ReadPseudoRegisters();
  if (!values) return Fail(values.error());
  fmt::print("Pseudo registers of {}:\n", card->name().Link());
  for (const auto& [reg, value] : *values) {
    fmt::print("  0x{:04X}  {:<22} 0x{:08X}  {}\n", reg.offset, reg.name, value, reg.meaning);
  }
  if (context.driverOutput) (void)context.driverOutput();  // what the reads printed is not the dump
  if (auto dumped = card->DiagnosticDump(); !dumped) return Fail(dumped.error());
  fmt::print("Diagnostic dump:\n");
  if (!context.driverOutput) {
    fmt::print("  printed by the driver to the kernel debugger\n");
    return kExitSuccess;
  }
  for (const std::string& line : context.driverOutput()) fmt::print("  {}\n", line);
  return kExitSuccess;
}

}  // namespace capture_tool
