// The HAL against the simulated card: a card in a slot with no function
// driver, driven by test code that does what a driver does (map the
// registers, get an adapter and a common buffer, connect interrupts).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "hal/hal.h"
#include "wdmsim/kernel.h"
#include "card/plug.h"
#include "support/line_device.h"

namespace {

using namespace std::chrono_literals;


bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

constexpr ULONG kWriteBackHigh = 0x102C;
constexpr ULONG kWriteBackLow = 0x1030;
constexpr ULONG kCapability = 0x6008;
constexpr ULONG kMsiEnable = 0x6074;
constexpr ULONG kReadRequest = 0x10000;

class HalTest : public ::testing::Test {
 public:  // the misuse cases reach into the fixture
  void Boot(const card::CardOptions& options = {}) {
    kernel.reset();
    kernel = std::make_unique<wdmsim::Kernel>(wdmsim::Options{});
    slot = &card::PlugCardWithoutDriver(*kernel, options);
    card = &card::CardIn(*slot);
    kernel->SetMsiSupported(*slot, true);  // as if its registry said so
  }
  void SetUp() override { Boot(); }
  // The card's line bookkeeping runs on the calling thread, and a routine
  // that clears the cause hands its change back to that thread while it is
  // still inside. Outside a call the thread holds no time back, so a
  // descheduled test thread would let redeliveries run past the clearing
  // one; inside one call the instant stays until the assertion is done.
  void RaiseLine() {
    kernel->InOneCall([&] { card->AssertLine(); });
  }
  void TearDown() override {
    if (!expectBugCheck) {
      EXPECT_EQ(wdmsim::hal::LeaksForSlot(*slot), std::vector<std::string>{});
      EXPECT_EQ(kernel->BugCheckReport(), "");
      EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
    }
    kernel.reset();
  }

  // What a driver does at start: the register window from the translated
  // resources, a 32-bit bus-master adapter, one page of common buffer.
  void MapRegisters() {
    auto lists = kernel->DefaultResources(*slot);
    const auto& bar2 = lists.translated[1].u.Memory;
    regs = static_cast<volatile ULONG*>(MmMapIoSpace(bar2.Start, bar2.Length, MmNonCached));
    ASSERT_NE(regs, nullptr);
    regsLength = bar2.Length;
  }
  PDMA_ADAPTER GetAdapter(bool dma64 = false) {
    DEVICE_DESCRIPTION d{};
    d.Version = DEVICE_DESCRIPTION_VERSION2;
    d.Master = TRUE;
    d.ScatterGather = TRUE;
    d.Dma32BitAddresses = !dma64;
    d.Dma64BitAddresses = dma64;
    d.InterfaceType = PCIBus;
    d.MaximumLength = 0x10000;
    ULONG mapRegisters = 0;
    return IoGetDmaAdapter(slot->pdo, &d, &mapRegisters);
  }
  void GetBuffer() {
    adapter = GetAdapter();
    ASSERT_NE(adapter, nullptr);
    area = static_cast<volatile ULONG*>(adapter->DmaOperations->AllocateCommonBuffer(adapter, 0x1000, &logical, FALSE));
    ASSERT_NE(area, nullptr);
  }
  void ReleaseAll() {
    if (area != nullptr) {
      adapter->DmaOperations->FreeCommonBuffer(adapter, 0x1000, logical, const_cast<ULONG*>(area), FALSE);
    }
    if (adapter != nullptr) adapter->DmaOperations->PutDmaAdapter(adapter);
    if (regs != nullptr) MmUnmapIoSpace(const_cast<ULONG*>(regs), regsLength);
    area = nullptr;
    adapter = nullptr;
    regs = nullptr;
  }
  // Registers are big-endian on the bus: the CPU stores the swapped value.
  void WriteRegister(ULONG reg, ULONG value) { WRITE_REGISTER_ULONG(regs + reg / 4, __builtin_bswap32(value)); }
  void ArmWriteBack(uint64_t bus) {
    WriteRegister(kWriteBackHigh, static_cast<ULONG>(bus >> 32));
    WriteRegister(kWriteBackLow, static_cast<ULONG>(bus) | 1);
  }

  std::unique_ptr<wdmsim::Kernel> kernel;
  wdmsim::Slot* slot = nullptr;
  card::Card* card = nullptr;
  volatile ULONG* regs = nullptr;
  ULONG regsLength = 0;
  PDMA_ADAPTER adapter = nullptr;
  volatile ULONG* area = nullptr;
  PHYSICAL_ADDRESS logical{};
  bool expectBugCheck = false;
};

TEST_F(HalTest, BusAssignsAlignedWindowsAndRoutesTheLine) {
  wdmsim::Slot& second = card::PlugCardWithoutDriver(*kernel, {.interruptLine = 0x0A});
  auto lists = kernel->DefaultResources(second);
  ASSERT_EQ(lists.raw.size(), 3u);
  ASSERT_EQ(lists.translated.size(), 3u);
  EXPECT_EQ(second.number, 1u);
  EXPECT_EQ(card::CardIn(second).BarBase(0), 0xE0100000u);
  EXPECT_EQ(card::CardIn(second).BarBase(2), 0xE0140000u);
  for (int i : {0, 1}) {
    const auto& d = lists.translated[i];
    EXPECT_EQ(d.Type, CmResourceTypeMemory);
    EXPECT_EQ(d.ShareDisposition, CmResourceShareDeviceExclusive);
    EXPECT_EQ(static_cast<uint64_t>(d.u.Memory.Start.QuadPart), card::CardIn(second).BarBase(i == 0 ? 0 : 2));
    EXPECT_EQ(d.u.Memory.Start.QuadPart % d.u.Memory.Length, 0);
  }
  EXPECT_EQ(lists.translated[1].u.Memory.Length, 0x20000u);
  const auto& raw = lists.raw[2];
  const auto& translated = lists.translated[2];
  EXPECT_EQ(raw.Type, CmResourceTypeInterrupt);
  EXPECT_EQ(raw.ShareDisposition, CmResourceShareShared);
  EXPECT_EQ(raw.Flags, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
  EXPECT_EQ(raw.u.Interrupt.Vector, 0x0Au);
  EXPECT_EQ(translated.u.Interrupt.Vector, second.interruptVector);
  EXPECT_EQ(translated.u.Interrupt.Level, second.interruptIrql);
  EXPECT_NE(second.interruptVector, slot->interruptVector);
  EXPECT_GT(second.interruptIrql, DISPATCH_LEVEL);
  const KAFFINITY affinity = translated.u.Interrupt.Affinity;  // packed: copy before comparing
  EXPECT_EQ(affinity, 0x3u);  // two processors
  // The device's configuration requests reach the card.
  ULONG ids = 0;
  auto result = kernel->SendRequest(second.pdo, IRP_MJ_PNP, IRP_MN_READ_CONFIG, [&](PIRP, PIO_STACK_LOCATION s) {
    s->Parameters.ReadWriteConfig = {PCI_WHICHSPACE_CONFIG, &ids, 0, sizeof(ids)};
  });
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(ids, 0x0001FEEDu);
}

// The write-back read protocol by hand, end to end through MMIO, the bus
// address map and the card's timed answer.
TEST_F(HalTest, CapabilityIsReadThroughTheWriteBackArea) {
  MapRegisters();
  GetBuffer();
  EXPECT_EQ(area[0], 0xCDCDCDCDu);  // common buffers are not zeroed
  ArmWriteBack(static_cast<uint64_t>(logical.QuadPart));
  area[0] = 0;
  area[1] = 0;
  WRITE_REGISTER_ULONG(regs + (kReadRequest | kCapability) / 4, 0);
  ASSERT_TRUE(kernel->RunUntil([&] { return (__builtin_bswap32(area[1]) & 0xFF) == 0x01; }));
  EXPECT_EQ(__builtin_bswap32(area[0]), 0x00000001u);
  EXPECT_EQ(__builtin_bswap32(area[1]) >> 16, kCapability);
  EXPECT_EQ(card->GuestErrors(), std::vector<std::string>{});
  ReleaseAll();
}

TEST_F(HalTest, RangeOutsideEveryBarReadsAllOnes) {
  PHYSICAL_ADDRESS nowhere;
  nowhere.QuadPart = 0xD0000010;
  auto* p = static_cast<volatile ULONG*>(MmMapIoSpace(nowhere, 0x100, MmNonCached));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) & 0xFFF, 0x10u);  // the page offset survives
  WRITE_REGISTER_ULONG(p, 0x12345678);
  EXPECT_EQ(READ_REGISTER_ULONG(p), 0xFFFFFFFFu);
  MmUnmapIoSpace(const_cast<ULONG*>(p), 0x100);
  EXPECT_TRUE(card->AccessLog().empty());
}

TEST_F(HalTest, PlainDereferenceOfARegisterDies) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MapRegisters();
  EXPECT_DEATH({ [[maybe_unused]] ULONG value = regs[kCapability / 4]; },
               "dereferenced register address 0x[0-9A-F]+ directly; use READ_REGISTER_ULONG");
  ReleaseAll();
}

TEST_F(HalTest, CardDmaOutsideTheMapIsAFault) {
  MapRegisters();
  ArmWriteBack(0x0DEAD000);
  WriteRegister(kReadRequest | kCapability, 0);
  ASSERT_TRUE(kernel->RunUntil([&] { return !kernel->Findings().empty(); }));
  EXPECT_TRUE(Contains(kernel->Findings()[0], "card DMA to unmapped bus address 000000000DEAD000"));
  EXPECT_TRUE(kernel->RunUntil([&] { return !card->GuestErrors().empty(); }));
  kernel->ClearFindings();
  ReleaseAll();
}

TEST_F(HalTest, CommonBuffersHaveTheirOwnBusAddresses) {
  PDMA_ADAPTER narrow = GetAdapter(false);
  PDMA_ADAPTER wide = GetAdapter(true);
  ASSERT_NE(narrow, nullptr);
  ASSERT_NE(wide, nullptr);
  PHYSICAL_ADDRESS a{}, b{}, c{};
  void* va = narrow->DmaOperations->AllocateCommonBuffer(narrow, 0x1800, &a, FALSE);
  void* vb = narrow->DmaOperations->AllocateCommonBuffer(narrow, 0x1000, &b, FALSE);
  void* vc = wide->DmaOperations->AllocateCommonBuffer(wide, 0x1000, &c, TRUE);
  for (auto [v, l] : {std::pair{va, a}, std::pair{vb, b}, std::pair{vc, c}}) {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(l.QuadPart % 0x1000, 0);
    EXPECT_NE(static_cast<uint64_t>(l.QuadPart), reinterpret_cast<uintptr_t>(v));
  }
  EXPECT_LT(static_cast<uint64_t>(a.QuadPart), 1ull << 32);
  EXPECT_LT(static_cast<uint64_t>(b.QuadPart), 1ull << 32);
  EXPECT_GT(b.QuadPart, a.QuadPart + 0x2000);  // a guard gap after a's two pages
  EXPECT_GE(static_cast<uint64_t>(c.QuadPart), 1ull << 32);
  // The buffer length decides what the card may reach, not the page.
  uint32_t word = 0;
  EXPECT_TRUE(wdmsim::hal::BusRead(slot->number, a.QuadPart + 0x17FC, &word, 4));
  EXPECT_FALSE(wdmsim::hal::BusRead(slot->number, a.QuadPart + 0x17FE, &word, 4));
  kernel->ClearFindings();
  narrow->DmaOperations->FreeCommonBuffer(narrow, 0x1800, a, va, FALSE);
  narrow->DmaOperations->FreeCommonBuffer(narrow, 0x1000, b, vb, FALSE);
  wide->DmaOperations->FreeCommonBuffer(wide, 0x1000, c, vc, TRUE);
  EXPECT_FALSE(wdmsim::hal::BusRead(slot->number, b.QuadPart, &word, 4));  // freed ranges stay dead
  kernel->ClearFindings();
  narrow->DmaOperations->PutDmaAdapter(narrow);
  wide->DmaOperations->PutDmaAdapter(wide);
}

TEST_F(HalTest, DescriptionsTheHalRefusesGetNoAdapter) {
  DEVICE_DESCRIPTION d{};
  d.Version = DEVICE_DESCRIPTION_VERSION2;
  d.Master = TRUE;
  d.ScatterGather = TRUE;
  d.Dma32BitAddresses = TRUE;
  d.InterfaceType = PCIBus;
  d.MaximumLength = 0x3000;
  ULONG mapRegisters = 0;
  for (auto edit : std::vector<std::function<void(DEVICE_DESCRIPTION&)>>{
           [](auto& x) { x.Version = 3; }, [](auto& x) { x.Master = FALSE; },
           [](auto& x) { x.InterfaceType = Isa; }, [](auto& x) { x.MaximumLength = 0; }}) {
    DEVICE_DESCRIPTION bad = d;
    edit(bad);
    EXPECT_EQ(IoGetDmaAdapter(slot->pdo, &bad, &mapRegisters), nullptr);
  }
  PDMA_ADAPTER good = IoGetDmaAdapter(slot->pdo, &d, &mapRegisters);
  ASSERT_NE(good, nullptr);
  EXPECT_EQ(mapRegisters, 4u);
  good->DmaOperations->PutDmaAdapter(good);
}

// Every routine that can fail under memory pressure fails when told to, once.
BOOLEAN NTAPI ClaimsNothing(PKINTERRUPT, PVOID) { return FALSE; }

TEST_F(HalTest, FaultInjectionFailsEachRoutineOnce) {
  kernel->FailNthCall("MmMapIoSpace");
  PHYSICAL_ADDRESS bar2;
  bar2.QuadPart = static_cast<LONGLONG>(card->BarBase(2));
  EXPECT_EQ(MmMapIoSpace(bar2, 0x1000, MmNonCached), nullptr);
  MapRegisters();

  kernel->FailNthCall("IoGetDmaAdapter");
  EXPECT_EQ(GetAdapter(), nullptr);
  kernel->FailNthCall("AllocateCommonBuffer", 2);
  GetBuffer();
  PHYSICAL_ADDRESS la{};
  EXPECT_EQ(adapter->DmaOperations->AllocateCommonBuffer(adapter, 0x1000, &la, FALSE), nullptr);

  kernel->FailNthCall("IoAllocateMdl");
  EXPECT_EQ(IoAllocateMdl(const_cast<ULONG*>(area), 0x100, FALSE, FALSE, nullptr), nullptr);
  PMDL mdl = IoAllocateMdl(const_cast<ULONG*>(area), 0x100, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  IoFreeMdl(mdl);

  PKSERVICE_ROUTINE isr = ClaimsNothing;
  PKINTERRUPT object = reinterpret_cast<PKINTERRUPT>(1);
  kernel->FailNthCall("IoConnectInterrupt");
  EXPECT_EQ(IoConnectInterrupt(&object, isr, nullptr, nullptr, slot->interruptVector, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(object, nullptr);
  IO_CONNECT_INTERRUPT_PARAMETERS p{};
  p.Version = CONNECT_LINE_BASED;
  p.LineBased.PhysicalDeviceObject = slot->pdo;
  p.LineBased.InterruptObject = &object;
  p.LineBased.ServiceRoutine = isr;
  kernel->FailNthCall("IoConnectInterruptEx");
  EXPECT_EQ(IoConnectInterruptEx(&p), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(IoConnectInterruptEx(&p), STATUS_SUCCESS);
  IO_DISCONNECT_INTERRUPT_PARAMETERS d{};
  d.Version = CONNECT_LINE_BASED;
  d.ConnectionContext.InterruptObject = object;
  IoDisconnectInterruptEx(&d);
  ReleaseAll();
}

// ---------------------------------------------------------------------------
// Interrupts
// ---------------------------------------------------------------------------
struct Isr {
  std::atomic<int> calls{0};
  std::atomic<int> clearAfter{1};  // claims and clears the cause on this call (0: never claims)
  std::atomic<KIRQL> irql{0};
  std::atomic<bool> lockHeld{false};
  std::atomic<ULONG> messageId{~0u};
  KSPIN_LOCK* lock = nullptr;
  card::Card* card = nullptr;
};

BOOLEAN NTAPI CountingIsr(PKINTERRUPT, PVOID context) {
  auto* s = static_cast<Isr*>(context);
  s->irql = KeGetCurrentIrql();
  if (s->lock != nullptr) s->lockHeld = *s->lock != 0;
  int n = ++s->calls;
  if (s->clearAfter == 0) return FALSE;
  if (n >= s->clearAfter) s->card->DeassertLine();
  return TRUE;
}

BOOLEAN NTAPI NeverClaims(PKINTERRUPT, PVOID context) {
  ++static_cast<Isr*>(context)->calls;
  return FALSE;
}

BOOLEAN NTAPI MessageIsr(PKINTERRUPT, PVOID context, ULONG id) {
  auto* s = static_cast<Isr*>(context);
  s->irql = KeGetCurrentIrql();
  s->messageId = id;
  ++s->calls;
  return TRUE;
}

TEST_F(HalTest, SharedLineWalksRoutinesUntilOneClaims) {
  Isr other, mine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  mine.lock = &lock;
  mine.card = card;
  PKINTERRUPT first = nullptr, second = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&first, NeverClaims, &other, nullptr, slot->interruptVector, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, TRUE, 3, FALSE),
            STATUS_SUCCESS);
  ASSERT_EQ(IoConnectInterrupt(&second, CountingIsr, &mine, &lock, slot->interruptVector, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, TRUE, 3, FALSE),
            STATUS_SUCCESS);
  PKINTERRUPT exclusive = nullptr;  // the line is shared already
  EXPECT_EQ(IoConnectInterrupt(&exclusive, CountingIsr, &mine, nullptr, slot->interruptVector, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, FALSE, 3, FALSE),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoConnectInterrupt(&exclusive, CountingIsr, &mine, nullptr, 0x33, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, TRUE, 3, FALSE),
            STATUS_INVALID_PARAMETER);  // not a routed vector

  RaiseLine();
  ASSERT_TRUE(kernel->RunUntil([&] { return kernel->InterruptCountsFor(*slot).lineClaimed == 1; }));
  EXPECT_EQ(other.calls, 1);
  EXPECT_EQ(mine.calls, 1);
  EXPECT_EQ(mine.irql, slot->interruptIrql);
  EXPECT_TRUE(mine.lockHeld);
  auto counts = kernel->InterruptCountsFor(*slot);
  EXPECT_EQ(counts.lineDeliveries, 1u);
  EXPECT_EQ(counts.lineUnclaimed, 0u);
  IoDisconnectInterrupt(first);
  IoDisconnectInterrupt(second);
}

TEST_F(HalTest, LevelLineIsDeliveredAgainUntilTheCauseIsCleared) {
  Isr s;
  s.card = card;
  s.clearAfter = 3;
  PKINTERRUPT object = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&object, CountingIsr, &s, nullptr, slot->interruptVector, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  RaiseLine();
  ASSERT_TRUE(kernel->RunUntil([&] { return kernel->InterruptCountsFor(*slot).lineClaimed == 3; }));
  EXPECT_EQ(s.calls, 3);
  EXPECT_EQ(kernel->InterruptCountsFor(*slot).lineDeliveries, 3u);

  // Nobody claims: the unclaimed deliveries are counted while it lasts. All
  // in one call, where time moves only with RunFor: the line drops after a
  // few deliveries, long before they would make a storm.
  s.clearAfter = 0;
  kernel->InOneCall([&] {
    card->AssertLine();
    for (int i = 0; i < 100 && kernel->InterruptCountsFor(*slot).lineUnclaimed < 3; ++i) kernel->RunFor(100us);
    card->DeassertLine();
  });
  EXPECT_GE(kernel->InterruptCountsFor(*slot).lineUnclaimed, 3u);
  IoDisconnectInterrupt(object);
  const auto counts = kernel->InterruptCountsFor(*slot);
  EXPECT_EQ(counts.lineDeliveries, counts.lineClaimed + counts.lineUnclaimed);
}

TEST_F(HalTest, MessageArrivesOnlyWhenTheCardEnablesIt) {
  MapRegisters();
  Isr s;
  PVOID table = nullptr;
  IO_CONNECT_INTERRUPT_PARAMETERS p{};
  p.Version = CONNECT_MESSAGE_BASED;
  p.MessageBased.PhysicalDeviceObject = slot->pdo;
  p.MessageBased.ConnectionContext.Generic = &table;
  p.MessageBased.MessageServiceRoutine = MessageIsr;
  p.MessageBased.ServiceContext = &s;
  p.MessageBased.FallBackServiceRoutine = CountingIsr;
  ASSERT_EQ(IoConnectInterruptEx(&p), STATUS_SUCCESS);
  EXPECT_EQ(p.Version, static_cast<ULONG>(CONNECT_MESSAGE_BASED));
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(card->ConfigRead32(0x54), 0xFEE00000u);  // the platform programmed the capability
  EXPECT_EQ(card->ConfigRead32(0x50) >> 16 & 1, 1u);

  EXPECT_FALSE(card->RaiseMessage(0));  // 0x6074 is 0 at power-up
  WriteRegister(kMsiEnable, 1);
  EXPECT_TRUE(card->RaiseMessage(0));
  ASSERT_TRUE(kernel->RunUntil([&] { return kernel->InterruptCountsFor(*slot).messagesClaimed == 1; }));
  EXPECT_EQ(s.calls, 1);
  EXPECT_EQ(s.messageId, 0u);
  EXPECT_EQ(s.irql, slot->interruptIrql);

  IO_DISCONNECT_INTERRUPT_PARAMETERS d{};
  d.Version = CONNECT_MESSAGE_BASED;
  d.ConnectionContext.InterruptMessageTable = static_cast<PIO_INTERRUPT_MESSAGE_INFO>(table);
  IoDisconnectInterruptEx(&d);
  EXPECT_TRUE(card->RaiseMessage(0));  // nobody is connected any more
  ASSERT_TRUE(kernel->RunUntil([&] { return kernel->InterruptCountsFor(*slot).messagesDropped == 1; }));
  ReleaseAll();
}

// A message-based connection falls back to the line when the device has no
// message capability, and when its registry does not say MSISupported.
TEST_F(HalTest, DevicesWithoutMessagesFallBackToTheirLine) {
  for (bool capable : {false, true}) {
    SCOPED_TRACE(capable ? "capability, no MSISupported" : "no capability");
    Boot({.msiMessages = static_cast<uint8_t>(capable ? 1 : 0)});
    kernel->SetMsiSupported(*slot, !capable);
    Isr s;
    s.card = card;
    PKINTERRUPT object = nullptr;
    IO_CONNECT_INTERRUPT_PARAMETERS p{};
    p.Version = CONNECT_MESSAGE_BASED;
    p.MessageBased.PhysicalDeviceObject = slot->pdo;
    p.MessageBased.ConnectionContext.InterruptObject = &object;
    p.MessageBased.MessageServiceRoutine = MessageIsr;
    p.MessageBased.ServiceContext = &s;
    p.MessageBased.FallBackServiceRoutine = CountingIsr;
    ASSERT_EQ(IoConnectInterruptEx(&p), STATUS_SUCCESS);
    EXPECT_EQ(p.Version, static_cast<ULONG>(CONNECT_LINE_BASED));
    ASSERT_NE(object, nullptr);
    RaiseLine();
    ASSERT_TRUE(kernel->RunUntil([&] { return s.calls == 1; }));
    EXPECT_EQ(s.messageId, ~0u);  // the message routine never ran
    IO_DISCONNECT_INTERRUPT_PARAMETERS d{};
    d.Version = CONNECT_LINE_BASED;  // what the connect reported
    d.ConnectionContext.InterruptObject = object;
    IoDisconnectInterruptEx(&d);
    p.Version = CONNECT_MESSAGE_BASED;
    p.MessageBased.FallBackServiceRoutine = nullptr;  // nothing to fall back to
    EXPECT_FALSE(NT_SUCCESS(IoConnectInterruptEx(&p)));
  }
}

BOOLEAN NTAPI AlwaysClaims(PKINTERRUPT, PVOID) { return TRUE; }

// A second device shares the card's line and holds it until its own routine
// acknowledges it. A routine ahead of it that claims only what its device
// raised lets it be served; one that claims everything starves it, and the
// line stays asserted until the system stops with an interrupt storm.
TEST_F(HalTest, ARoutineThatClaimsWhatItsDeviceDidNotRaiseCausesAStorm) {
  for (bool greedy : {false, true}) {
    SCOPED_TRACE(greedy ? "greedy" : "honest");
    Boot();
    Isr other;
    PKINTERRUPT first = nullptr, second = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&first, greedy ? AlwaysClaims : NeverClaims, &other, nullptr, slot->interruptVector,
                                 slot->interruptIrql, slot->interruptIrql, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    support::LineDevice* neighbour = support::PlugNeighbour(*kernel, *slot, &second);
    ASSERT_NE(second, nullptr);
    kernel->InOneCall([&] { neighbour->Raise(); });
    if (!greedy) {
      ASSERT_TRUE(kernel->RunUntil([&] { return neighbour->served() == 1; }));
      IoDisconnectInterrupt(first);
      IoDisconnectInterrupt(second);
      continue;
    }
    expectBugCheck = true;
    EXPECT_TRUE(kernel->RunUntil([&] { return !kernel->BugCheckReport().empty(); }));
    EXPECT_EQ(neighbour->served(), 0);
    const std::string report = kernel->BugCheckReport();
    EXPECT_TRUE(Contains(report, "STOP: 0x000000F2")) << report;
    EXPECT_TRUE(Contains(report, ", 0x0000000000000002)")) << report;  // the routine claims every delivery
    EXPECT_TRUE(Contains(report, "still asserted after 1000 deliveries in a row")) << report;
  }
}

// ---------------------------------------------------------------------------
// MDLs and the verifier
// ---------------------------------------------------------------------------
TEST_F(HalTest, MdlDescribesANonpagedBuffer) {
  GetBuffer();
  char* va = const_cast<char*>(reinterpret_cast<volatile char*>(area)) + 0x10;
  PMDL mdl = IoAllocateMdl(va, 0x1FF0, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mdl->StartVa), reinterpret_cast<uintptr_t>(area));
  EXPECT_EQ(mdl->ByteOffset, 0x10u);
  EXPECT_EQ(mdl->ByteCount, 0x1FF0u);
  EXPECT_EQ(static_cast<size_t>(mdl->Size), sizeof(MDL) + 2 * sizeof(ULONG_PTR));
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(mdl->MappedSystemVa, va);
  IoFreeMdl(mdl);
  ReleaseAll();
}

// Where Windows allows more than a stricter model would, wdmsim allows it
// too: PutDmaAdapter up to DISPATCH_LEVEL ("PutDmaAdapter callback
// function"), and MDLs for buffers of up to 4 GB - PAGE_SIZE from Windows 7
// on ("IoAllocateMdl function"); one byte more is refused.
TEST_F(HalTest, WindowsLimitsOfPutDmaAdapterAndIoAllocateMdl) {
  PDMA_ADAPTER held = GetAdapter();
  ASSERT_NE(held, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  held->DmaOperations->PutDmaAdapter(held);
  KeLowerIrql(old);
  EXPECT_EQ(kernel->BugCheckReport(), "");
  char* va = reinterpret_cast<char*>(0x10000000);  // describing a buffer does not touch it
  for (ULONG length : {ULONG{64} << 20, ULONG{0xFFFFF000}}) {
    PMDL mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr) << length;
    EXPECT_EQ(mdl->ByteCount, length);
    IoFreeMdl(mdl);
  }
  EXPECT_EQ(IoAllocateMdl(va, 0xFFFFF001, FALSE, FALSE, nullptr), nullptr);
}

TEST_F(HalTest, LeaksForSlotNamesEverythingStillHeldOnce) {
  MapRegisters();
  GetBuffer();
  PMDL mdl = IoAllocateMdl(const_cast<ULONG*>(area), 0x1000, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  PKINTERRUPT object = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&object, NeverClaims, nullptr, nullptr, slot->interruptVector, slot->interruptIrql,
                               slot->interruptIrql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  auto leaks = wdmsim::hal::LeaksForSlot(*slot);
  ASSERT_EQ(leaks.size(), 5u);
  EXPECT_TRUE(Contains(leaks[0], "slot 0: I/O space") && Contains(leaks[0], "BAR2) still mapped"));
  EXPECT_TRUE(Contains(leaks[1], "DMA adapter"));
  EXPECT_TRUE(Contains(leaks[2], "common buffer at logical address " + wdmsim::Hex(logical.QuadPart)));
  EXPECT_TRUE(Contains(leaks[3], "MDL"));
  EXPECT_TRUE(Contains(leaks[4], "interrupt on vector 60 still connected"));
  EXPECT_EQ(wdmsim::hal::LeaksForSlot(*slot), std::vector<std::string>{});  // once each
  IoDisconnectInterrupt(object);
  IoFreeMdl(mdl);
  ReleaseAll();
}

TEST_F(HalTest, PuttingAnAdapterWithBuffersOutstandingIsAFinding) {
  GetBuffer();
  adapter->DmaOperations->PutDmaAdapter(adapter);
  ASSERT_EQ(kernel->Findings().size(), 1u);
  EXPECT_TRUE(Contains(kernel->Findings()[0], "1 common buffer(s) still allocated"));
  kernel->ClearFindings();
  expectBugCheck = true;  // the buffer stays behind on purpose; the kernel frees it at shutdown
}

// Misuse Windows answers with a stop error: each case on a fresh kernel.
TEST_F(HalTest, MisuseStopsWithABugCheck) {
  struct Case {
    const char* name;
    std::function<void(HalTest&)> run;
    ULONG code;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"register outside any mapping", [](HalTest& t) { READ_REGISTER_ULONG(t.regs - 0x1000); }, 0x50,
       "which no MmMapIoSpace mapping covers"},
      {"unmap with another size",
       [](HalTest& t) { MmUnmapIoSpace(const_cast<ULONG*>(t.regs), 0x1000); }, 0xC4, "which was mapped with"},
      {"free with another length",
       [](HalTest& t) {
         t.adapter->DmaOperations->FreeCommonBuffer(t.adapter, 0x2000, t.logical, const_cast<ULONG*>(t.area), FALSE);
       },
       0xE6, "was allocated with length 4096"},
      {"adapter put twice",
       [](HalTest& t) {
         PDMA_ADAPTER a = t.GetAdapter();
         a->DmaOperations->PutDmaAdapter(a);
         a->DmaOperations->PutDmaAdapter(a);
       },
       0xE6, "already put"},
      {"forbidden operation",
       [](HalTest& t) { reinterpret_cast<void (*)()>(t.adapter->DmaOperations->MapTransfer)(); }, 0xE6,
       "the driver called DmaOperations->MapTransfer; this driver must not"},
      {"MDL freed twice",
       [](HalTest& t) {
         PMDL mdl = IoAllocateMdl(const_cast<ULONG*>(t.area), 8, FALSE, FALSE, nullptr);
         IoFreeMdl(mdl);
         IoFreeMdl(mdl);
       },
       0xC4, "already freed"},
      {"unknown interrupt object",
       [](HalTest& t) { IoDisconnectInterrupt(reinterpret_cast<PKINTERRUPT>(t.adapter)); }, 0xC4,
       "not a connected line interrupt object"},
      {"disconnect with another version",
       [](HalTest& t) {
         PKINTERRUPT object = nullptr;
         IoConnectInterrupt(&object, NeverClaims, nullptr, nullptr, t.slot->interruptVector, t.slot->interruptIrql,
                            t.slot->interruptIrql, LevelSensitive, TRUE, 1, FALSE);
         IO_DISCONNECT_INTERRUPT_PARAMETERS d{};
         d.Version = CONNECT_LINE_BASED;
         d.ConnectionContext.InterruptObject = object;
         IoDisconnectInterruptEx(&d);
       },
       0xC4, "which was connected with version 0"},
  };
  expectBugCheck = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Boot();
    MapRegisters();
    GetBuffer();
    try {
      c.run(*this);
      ADD_FAILURE() << "no bug check";
    } catch (const wdmsim::BugCheck& stop) {
      EXPECT_EQ(stop.code(), c.code);
    }
    EXPECT_TRUE(Contains(kernel->BugCheckReport(), c.says)) << kernel->BugCheckReport();
  }
}

}  // namespace
