// Hardware start and stop, configuration space, Plug and Play and power.
#include <cstring>

#include "card/plug.h"
#include "fixture.h"
#include "support/session.h"

using wdmsim::ResourceLists;
using wdmsim::Slot;

namespace {

uint32_t LastWrite(const card::Card& c, uint64_t offset) {
  auto log = const_cast<card::Card&>(c).AccessLogFor(card::Card::kRegisterBar, offset);
  for (auto it = log.rbegin(); it != log.rend(); ++it) {
    if (it->kind == card::MmioAccess::Kind::kWrite) return it->value;
  }
  return 0xDEADBEEF;
}

class HardwareTest : public DriverTest {};

// The default resources without the line interrupt.
ResourceLists WithoutInterrupt(ResourceLists lists) {
  for (size_t i = 0; i < lists.raw.size(); ++i) {
    if (lists.raw[i].Type == CmResourceTypeInterrupt) {
      lists.raw.erase(lists.raw.begin() + static_cast<long>(i));
      lists.translated.erase(lists.translated.begin() + static_cast<long>(i));
      break;
    }
  }
  return lists;
}

TEST_F(HardwareTest, StartMapsBothWindowsArmsTheWriteBackAndReadsTheCapability) {
  Slot& slot = StartedCard();
  DEVICE_EXTENSION* ext = Extension(slot);
  EXPECT_EQ(ext->bDeviceStarted, 1u);
  EXPECT_NE(ext->pBar0_VA, nullptr);
  EXPECT_NE(ext->pBar2_VA, nullptr);
  EXPECT_EQ(ext->ulBar0_Length, 0x10000u);
  EXPECT_EQ(ext->ulBar2_Length, 0x20000u);
  EXPECT_NE(ext->pInterruptObject, nullptr);
  EXPECT_EQ(ext->ulBarValue[0] & 0xFFFF0000, static_cast<uint32_t>(card::CardIn(slot).BarBase(0)));
  EXPECT_EQ(ext->ulBarValue[2] & 0xFFFF0000, static_cast<uint32_t>(card::CardIn(slot).BarBase(2)));

  // The write-back area sits 64 bytes into the DmaRead common buffer.
  EXPECT_EQ(reinterpret_cast<PUCHAR>(ext->pulGetRegister), static_cast<PUCHAR>(ext->pCommonBuffer_VA_DmaRead) + 64);
  EXPECT_EQ(ext->pGetRegister_LA, ext->pCommonBuffer_LA_DmaRead.LowPart + 64ull);
  EXPECT_EQ(LastWrite(card::CardIn(slot), 0x102C), static_cast<uint32_t>(ext->pCommonBuffer_LA_DmaRead.HighPart));
  EXPECT_EQ(LastWrite(card::CardIn(slot), 0x1030), ext->pCommonBuffer_LA_DmaRead.LowPart + 64 + 1);
  // The capability register is read through the write-back protocol.
  EXPECT_EQ(LastWrite(card::CardIn(slot), 0x16008), 0u);
  EXPECT_EQ(ext->read_reg_direct, 0u);
  EXPECT_EQ(CountLines("qm4200.sys: PnPStartDevice completed"), 1u);
  EXPECT_EQ(CountLines("vantrel  StartDevice  "), 2u);
  // Both status words are clear and the pool is allocated.
  EXPECT_EQ(*static_cast<ULONG*>(ext->pCommonBuffer_VA_DmaRead), 0u);
  EXPECT_EQ(*static_cast<ULONG*>(ext->pCommonBuffer_VA_DmaWrite), 0u);
  for (const auto& entry : ext->CommonBufferPool) {
    EXPECT_NE(entry.pCommonBuffer_VA, nullptr);
    EXPECT_EQ(entry.ulBufferSize, DMA_COMMON_BUFFER_SIZE);
    EXPECT_LT(entry.pCommonBuffer_LA.QuadPart, 0x100000000LL);
  }
  // Opens now succeed.
  HANDLE h = kernel->DefaultProcess().CreateFileW(u"\\\\.\\Talvrex_v100-0");
  EXPECT_NE(h, wdmsim::INVALID_HANDLE_VALUE);
  kernel->DefaultProcess().CloseHandle(h);
}

struct CapabilityCase {
  bool directRead;
  uint32_t value;
  bool readsAllOnes;
  uint32_t expectDirect;
};

class CapabilityTest : public DriverTest, public ::testing::WithParamInterface<CapabilityCase> {};

TEST_P(CapabilityTest, BitElevenSelectsDirectReads) {
  card::CardOptions options;
  options.directRead = GetParam().directRead;
  options.capabilityValue = GetParam().value;
  Slot* slot = nullptr;
  card::PlugCard(*kernel, *image, options);
  slot = kernel->Slots().back();
  card::CardIn(*slot).UpdateFaults([&](card::Faults& f) { f.readsAllOnes = GetParam().readsAllOnes; });
  ASSERT_EQ(kernel->StartCard(*slot), STATUS_SUCCESS);
  EXPECT_EQ(Extension(*slot)->read_reg_direct, GetParam().expectDirect);
  EXPECT_EQ(Extension(*slot)->bDmaDoneByRegister, GetParam().expectDirect);
}

INSTANTIATE_TEST_SUITE_P(Values, CapabilityTest,
                         ::testing::Values(CapabilityCase{true, 0x800, false, 1}, CapabilityCase{false, 0x7FF, false, 0},
                                           CapabilityCase{true, 0xFFFFFFFF, true, 0}));

// ---------------------------------------------------------------------------
// Resource lists
// ---------------------------------------------------------------------------
class ResourceTest : public DriverTest {
 protected:
  Slot& Plugged() {
    card::PlugCard(*kernel, *image);
    return *kernel->Slots().back();
  }
};

TEST_F(ResourceTest, NoInterruptFailsAfterMappingAndTheCardIsRemoved) {
  Slot& slot = Plugged();
  ResourceLists lists = WithoutInterrupt(kernel->DefaultResources(slot));
  image->ClearDbgOutput();
  EXPECT_EQ(kernel->StartCard(slot, lists), STATUS_BIOS_FAILED_TO_CONNECT_INTERRUPT);
  EXPECT_EQ(CountLines("Translated resource(Bar2) is memory at"), 1u);
  EXPECT_EQ(CountLines("vantrel  driverxilinx/driver "), 1u);
  EXPECT_EQ(slot.Fdo(), nullptr);  // the PnP manager removed the stack
  EXPECT_TRUE(card::CardIn(slot).AccessLog().empty());
}

TEST_F(ResourceTest, PortDescriptorWithTranslatedMemoryIsOnlyReported) {
  Slot& slot = Plugged();
  ResourceLists lists = kernel->DefaultResources(slot);
  CM_PARTIAL_RESOURCE_DESCRIPTOR raw{}, translated{};
  raw.Type = CmResourceTypePort;
  raw.u.Port.Start.QuadPart = 0x3F8;
  raw.u.Port.Length = 8;
  translated.Type = CmResourceTypeMemory;
  translated.u.Memory.Start.QuadPart = 0xFED00000;
  translated.u.Memory.Length = 0x1000;
  lists.raw.insert(lists.raw.begin(), raw);
  lists.translated.insert(lists.translated.begin(), translated);
  CM_PARTIAL_RESOURCE_DESCRIPTOR dma{}, specific{};
  dma.Type = CmResourceTypeDma;
  dma.u.Dma.Channel = 3;
  dma.u.Dma.Port = 7;
  specific.Type = CmResourceTypeDeviceSpecific;
  lists.raw.push_back(dma);
  lists.translated.push_back(dma);
  lists.raw.push_back(specific);
  lists.translated.push_back(specific);
  image->ClearDbgOutput();
  ASSERT_EQ(kernel->StartCard(slot, lists), STATUS_SUCCESS);
  auto lines = image->DbgLines();
  auto has = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
  EXPECT_TRUE(has("qm4200.sys: Resource Raw Port: (0x3f8) Length: (0x8)"));
  EXPECT_TRUE(has("qm4200.sys: Resource Translated Memory: (0xfed00000) Length: (0x1000)"));
  EXPECT_TRUE(has("qm4200.sys: Translated resource is dma. Channel:0x3  Port:0x7"));
  EXPECT_TRUE(has("qm4200.sys: Translated resource is specific."));
}

TEST_F(ResourceTest, WindowMatchingNoBarIsNotMappedAndStartFailsWithoutTouchingTheCard) {
  Slot& slot = Plugged();
  ResourceLists lists = kernel->DefaultResources(slot);
  for (auto* list : {&lists.raw, &lists.translated}) {
    for (auto& d : *list) {
      if (d.Type == CmResourceTypeMemory) d.u.Memory.Start.QuadPart += 0x10000000;  // matches nothing
    }
  }
  image->ClearDbgOutput();
  EXPECT_FALSE(NT_SUCCESS(kernel->StartCard(slot, lists)));
  EXPECT_EQ(CountLines("qm4200.sys: Unexcepted resource of memory"), 2u);
  EXPECT_TRUE(card::CardIn(slot).AccessLog().empty());
}

TEST_F(ResourceTest, StartWithoutResourceListsFailsWithoutTouchingTheCard) {
  Slot& slot = Plugged();
  ResourceLists none;
  none.absent = true;
  EXPECT_EQ(kernel->StartCard(slot, none), STATUS_BIOS_FAILED_TO_CONNECT_INTERRUPT);
  EXPECT_TRUE(card::CardIn(slot).AccessLog().empty());
}

TEST_F(ResourceTest, FailedInterruptConnectionStillStarts) {
  Slot& slot = Plugged();
  kernel->FailNthCall("IoConnectInterrupt");
  image->ClearDbgOutput();
  ASSERT_EQ(kernel->StartCard(slot), STATUS_SUCCESS);
  EXPECT_EQ(Extension(slot)->pInterruptObject, nullptr);
  EXPECT_EQ(Extension(slot)->bDeviceStarted, 1u);
  EXPECT_EQ(CountLines("qm4200.sys: PnPStartDevice - IoConnectInterrupt failed"), 1u);
}

// Every allocation of the DMA resources can fail; start then fails with
// STATUS_INSUFFICIENT_RESOURCES and the removal that follows releases the
// partial set (the fixture's verifier check proves nothing is left).
TEST_F(ResourceTest, EveryDmaAllocationFailureIsReleasedCleanly) {
  struct Site {
    const char* routine;
    int nth;
  };
  const Site sites[] = {{"IoGetDmaAdapter", 1}, {"IoGetDmaAdapter", 2}, {"AllocateCommonBuffer", 1},
                        {"IoAllocateMdl", 1},   {"AllocateCommonBuffer", 2}, {"IoAllocateMdl", 2}};
  for (const Site& site : sites) {
    Slot& slot = Plugged();
    kernel->FailNthCall(site.routine, site.nth);
    EXPECT_EQ(kernel->StartCard(slot), STATUS_INSUFFICIENT_RESOURCES) << site.routine << " #" << site.nth;
    EXPECT_EQ(slot.Fdo(), nullptr);
    EXPECT_EQ(kernel->Findings(), std::vector<std::string>{}) << site.routine << " #" << site.nth;
  }
}

TEST_F(ResourceTest, PoolEntriesThatCannotBeHadStayEmpty) {
  Slot& slot = Plugged();
  kernel->FailNthCall("AllocateCommonBuffer", 4);  // pool entry 1
  ASSERT_EQ(kernel->StartCard(slot), STATUS_SUCCESS);
  DEVICE_EXTENSION* ext = Extension(slot);
  EXPECT_EQ(ext->CommonBufferPool[1].pCommonBuffer_VA, nullptr);
  EXPECT_EQ(ext->CommonBufferPool[1].ulBufferSize, 0u);
  EXPECT_EQ(ext->CommonBufferPool[1].pCommonBuffer_LA.QuadPart, 0);
  EXPECT_NE(ext->CommonBufferPool[2].pCommonBuffer_VA, nullptr);
}

TEST_F(ResourceTest, PoolEntryWhoseMdlFailsGivesItsBufferBack) {
  Slot& slot = Plugged();
  kernel->FailNthCall("IoAllocateMdl", 3);  // after the two direction MDLs: pool entry 0
  ASSERT_EQ(kernel->StartCard(slot), STATUS_SUCCESS);
  DEVICE_EXTENSION* ext = Extension(slot);
  EXPECT_EQ(ext->CommonBufferPool[0].pCommonBuffer_VA, nullptr);
  EXPECT_EQ(ext->CommonBufferPool[0].pMdl, nullptr);
  EXPECT_EQ(ext->CommonBufferPool[0].ulBufferSize, 0u);
  EXPECT_NE(ext->CommonBufferPool[1].pMdl, nullptr);
}

// ---------------------------------------------------------------------------
// Plug and Play
// ---------------------------------------------------------------------------
// The bus driver's capabilities (the device state of each system state,
// the address) are kept; the driver's zero latencies are applied after it
// ("Handling IRP_MN_QUERY_CAPABILITIES": a function driver passes the
// request down first and changes the answer on the way up).
TEST_F(HardwareTest, CapabilitiesComeFromTheBusDriverWithTheDriversZeroLatencies) {
  Slot& slot = StartedCard();
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.D1Latency = caps.D2Latency = caps.D3Latency = 77;
  auto result = kernel->SendRequest(Fdo(slot), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                                    [&](PIRP, PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  EXPECT_EQ(caps.Address, slot.number << 16);
  EXPECT_EQ(caps.D1Latency, 0u);
  EXPECT_EQ(caps.D2Latency, 0u);
  EXPECT_EQ(caps.D3Latency, 0u);
  EXPECT_EQ(CountLines("----------------------IRP_MN_QUERY_CAPABILITIES---------------------------"), 1u);
}

TEST_F(HardwareTest, UnknownMinorCodesArePrintedAndPassedDown) {
  Slot& slot = StartedCard();
  for (UCHAR minor : {UCHAR(0x0E), UCHAR(0x18), UCHAR(0x42)}) {
    image->ClearDbgOutput();
    auto result = kernel->SendRequest(Fdo(slot), IRP_MJ_PNP, minor);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);  // the bus driver leaves it as it came
    char expected[64];
    std::snprintf(expected, sizeof(expected), "Unsupported IRP_MN_Xxx (%08x)", minor);
    EXPECT_EQ(CountLines(expected), 1u);
    EXPECT_EQ(CountLines("Forwarded IRP to next lower driver"), 1u);
  }
}

// A rebalance stops the card and starts it on its new resources: it serves
// control requests again, and a stop straight before a remove is harmless.
TEST_F(HardwareTest, ARebalancedCardServesAgainAndRemoveAfterStopIsHarmless) {
  Slot& slot = StartedCard();
  DEVICE_EXTENSION* ext = Extension(slot);
  ASSERT_EQ(kernel->Rebalance(slot), STATUS_SUCCESS);  // query-stop, stop, start
  EXPECT_EQ(ext->bDeviceStarted, 1u);
  EXPECT_EQ(ext->bDeviceStopped, 0u);  // the start lifted the stop's fence
  EXPECT_NE(ext->pBar2_VA, nullptr);
  // Stop's marker; the restart's capability read is answered at once.
  EXPECT_EQ(ext->ulReadWriteBackAddr, 0x56780000u);

  HANDLE h = kernel->DefaultProcess().CreateFileW(u"\\\\.\\Talvrex_v100-0");
  ASSERT_NE(h, wdmsim::INVALID_HANDLE_VALUE);
  IOCTL_BUFFER_A block{};
  block.ulCommand = IOCTL_GET_VERSION;
  uint32_t returned = 0;
  EXPECT_TRUE(kernel->DefaultProcess().DeviceIoControl(h, IOCTL_COMMAND, &block, sizeof(block), &block,
                                                       sizeof(block), &returned));
  EXPECT_EQ(returned, sizeof(block));
  kernel->DefaultProcess().CloseHandle(h);
  EXPECT_EQ(ext->io_control_count, 0);

  // A stop the PnP manager sends on its own, then removal.
  EXPECT_EQ(kernel->SendRequest(Fdo(slot), IRP_MJ_PNP, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(ext->pBar2_VA, nullptr);
  EXPECT_EQ(ext->bDeviceStopped, 1u);
  EXPECT_EQ(kernel->RemoveCard(slot), STATUS_SUCCESS);
}

// Stop and surprise removal fence off the card before the bus driver, which
// may power it down or forget it, sees the request; stop releases everything
// first and answers with the bus driver's status.
TEST_F(HardwareTest, StopAndSurpriseRemovalLetGoOfTheCardBeforeTheBusDriverSeesThem) {
  Slot& slot = StartedCard();
  DEVICE_EXTENSION* ext = Extension(slot);
  struct Seen {
    bool stopped = false;
    bool mapped = false;
    bool connected = false;
  } atStop, atSurprise;
  kernel->SetBusBehaviour(slot, {.fail = {IRP_MN_STOP_DEVICE}, .onRequest = [&](UCHAR minor) {
                                   if (minor != IRP_MN_STOP_DEVICE) return;
                                   atStop = {ext->bDeviceStopped != 0, ext->pBar2_VA != nullptr,
                                             ext->pInterruptObject != nullptr};
                                 }});
  EXPECT_EQ(kernel->SendRequest(Fdo(slot), IRP_MJ_PNP, IRP_MN_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(atStop.stopped);
  EXPECT_FALSE(atStop.mapped);
  EXPECT_FALSE(atStop.connected);

  Slot& other = StartedCard();
  DEVICE_EXTENSION* otherExt = Extension(other);
  kernel->SetBusBehaviour(other, {.onRequest = [&](UCHAR minor) {
                                    if (minor != IRP_MN_SURPRISE_REMOVAL) return;
                                    atSurprise = {otherExt->bDeviceStopped != 0, otherExt->pBar2_VA != nullptr,
                                                  otherExt->pInterruptObject != nullptr};
                                  }});
  EXPECT_EQ(kernel->SurpriseRemove(other), STATUS_SUCCESS);
  EXPECT_TRUE(atSurprise.stopped);    // fenced off at once
  EXPECT_TRUE(atSurprise.mapped);     // released only at remove
  EXPECT_TRUE(atSurprise.connected);
  kernel->SetBusBehaviour(slot, {});  // the look-out refers to this test's locals
}

// A start begins from a clean slate: a restart whose resources carry no
// interrupt fails as a first start does, and a configuration copy taken
// before a restart (the old BARs) is never written back.
TEST_F(HardwareTest, ARestartForgetsTheLastStartsInterruptAndConfigurationCopy) {
  Slot& slot = StartedCard();
  POWER_STATE d3, d0;
  d3.DeviceState = PowerDeviceD3;
  d0.DeviceState = PowerDeviceD0;
  kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, DevicePowerState, d3);  // the copy is taken
  ASSERT_EQ(kernel->Rebalance(slot), STATUS_SUCCESS);
  image->ClearDbgOutput();
  kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, DevicePowerState, d0);
  EXPECT_EQ(CountLines("IRP_MN_WRITE_CONFIG"), 0u);

  // A copy is written back once.
  kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, DevicePowerState, d3);
  kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, DevicePowerState, d0);
  kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, DevicePowerState, d0);
  EXPECT_EQ(CountLines("IRP_MN_WRITE_CONFIG"), 1u);

  EXPECT_EQ(kernel->Rebalance(slot, WithoutInterrupt(kernel->DefaultResources(slot))),
            STATUS_BIOS_FAILED_TO_CONNECT_INTERRUPT);
  EXPECT_EQ(slot.Fdo(), nullptr);  // the PnP manager removed the stack
}

// A bus driver that answers later from another thread, or refuses: the
// driver waits for the answer (start, capabilities, configuration space,
// power) and passes a refusal on.
TEST_F(HardwareTest, LowerDriversThatPendOrRefuseAreWaitedForAndHeard) {
  Slot& slot = StartedCard();
  kernel->SetBusBehaviour(slot, {.pend = true});
  ASSERT_EQ(kernel->Rebalance(slot), STATUS_SUCCESS);
  kernel->SleepAndResume();
  EXPECT_EQ(Extension(slot)->bDeviceStopped, 0u);
  EXPECT_NE(Extension(slot)->pInterruptObject, nullptr);

  struct Refusal {
    UCHAR minor;
    NTSTATUS (wdmsim::Kernel::*sequence)(Slot&);
  };
  for (Refusal r : {Refusal{IRP_MN_QUERY_STOP_DEVICE, &wdmsim::Kernel::QueryStopThenCancel},
                    Refusal{IRP_MN_QUERY_REMOVE_DEVICE, &wdmsim::Kernel::QueryRemoveAndRemove}}) {
    SCOPED_TRACE(r.minor);
    kernel->SetBusBehaviour(slot, {.pend = true, .fail = {r.minor}});
    EXPECT_EQ((kernel.get()->*r.sequence)(slot), STATUS_UNSUCCESSFUL);
    EXPECT_NE(slot.Fdo(), nullptr);
    EXPECT_EQ(Extension(slot)->bDeviceStopped, 0u);
  }
  kernel->SetBusBehaviour(slot, {.pend = true});
  EXPECT_EQ(kernel->QueryRemoveAndRemove(slot), STATUS_SUCCESS);

  // A start the bus driver refuses is reported and removed.
  kernel->SetBusBehaviour(slot, {.pend = true, .fail = {IRP_MN_START_DEVICE}});
  image->ClearDbgOutput();
  EXPECT_EQ(kernel->EnableCard(slot), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(CountLines("ERROR - Lower driver failed IRP, unable to start device (status=C0000001)"), 1u);
  EXPECT_EQ(slot.Fdo(), nullptr);
}

TEST_F(HardwareTest, RemovingOneCardOfTwoLeavesTheOther) {
  Slot& first = StartedCard();
  Slot& second = StartedCard();
  ASSERT_EQ(kernel->QueryRemoveAndRemove(first), STATUS_SUCCESS);
  EXPECT_EQ(kernel->FindDevice(u"\\Device\\Talvrex_v100-0"), nullptr);
  EXPECT_NE(kernel->FindDevice(u"\\Device\\Talvrex_v100-1"), nullptr);
  EXPECT_EQ(Extension(second)->bDeviceStopped, 0u);
  Slot& third = StartedCard();
  EXPECT_EQ(kernel->FindDevice(u"\\Device\\Talvrex_v100-0"), Fdo(third));
}

// The poll's 1 ms tick is asked for with the first card and given back with
// the last, so the system clock slows down again once no card is left and
// the image holds no request when it unloads (the verifier's finding).
TEST_F(HardwareTest, TheFineTickIsHeldWhileACardIsThereAndGivenBackWithTheLast) {
  constexpr ULONG kFine = 10000, kDefault = 156250;  // 1 ms, 15.625 ms
  Slot& first = StartedCard();
  Slot& second = StartedCard();
  EXPECT_EQ(kernel->TimerResolution100ns(), kFine);
  ASSERT_EQ(kernel->QueryRemoveAndRemove(first), STATUS_SUCCESS);
  EXPECT_EQ(kernel->TimerResolution100ns(), kFine);  // the second card still polls
  ASSERT_EQ(kernel->QueryRemoveAndRemove(second), STATUS_SUCCESS);
  EXPECT_EQ(kernel->TimerResolution100ns(), kDefault);
  StartedCard();
  EXPECT_EQ(kernel->TimerResolution100ns(), kFine);
}

TEST_F(HardwareTest, SurpriseRemovalReleasesOnlyAtRemove) {
  Slot& slot = StartedCard();
  image->ClearDbgOutput();
  EXPECT_EQ(kernel->SurpriseRemove(slot), STATUS_SUCCESS);
  EXPECT_EQ(CountLines("IRP_MN_SURPRISE_REMOVAL"), 1u);
  EXPECT_EQ(CountLines("qm4200.sys: IRP_MN_REMOVE_DEVICE"), 1u);
  EXPECT_EQ(slot.Fdo(), nullptr);
}

TEST_F(HardwareTest, DisableAndEnableRunAddDeviceAgain) {
  Slot& slot = StartedCard();
  ASSERT_EQ(kernel->DisableCard(slot), STATUS_SUCCESS);
  EXPECT_EQ(slot.Fdo(), nullptr);
  ASSERT_EQ(kernel->EnableCard(slot), STATUS_SUCCESS);
  ASSERT_NE(slot.Fdo(), nullptr);
  EXPECT_EQ(Extension(slot)->bDeviceStopped, 0u);
  EXPECT_EQ(Extension(slot)->bDeviceStarted, 1u);
}

TEST_F(HardwareTest, RefusedQueriesAreCancelled) {
  Slot& slot = StartedCard();
  Extension(slot)->io_control_count = 1;  // a control request is inside the driver
  image->ClearDbgOutput();
  EXPECT_EQ(kernel->QueryStopThenCancel(slot), STATUS_DEVICE_BUSY);
  EXPECT_EQ(kernel->QueryRemoveThenCancel(slot), STATUS_DEVICE_BUSY);
  EXPECT_EQ(CountLines("qm4200.sys: IRP_MN_CANCEL_STOP_DEVICE"), 1u);
  EXPECT_EQ(CountLines("qm4200.sys: PnPCancelRemoveDevice completed!"), 1u);
  Extension(slot)->io_control_count = 0;
  EXPECT_EQ(kernel->QueryStopThenCancel(slot), STATUS_SUCCESS);
  EXPECT_EQ(CountLines("qm4200.sys: PnPQueryRemoveDevice completed!"), 1u);
}

// ---------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------
TEST_F(HardwareTest, SleepSavesAndResumeWritesBackTheSameConfigSpace) {
  Slot& slot = StartedCard();
  DEVICE_EXTENSION* ext = Extension(slot);
  uint8_t before[256];
  card::CardIn(slot).ConfigRead(0, before, sizeof(before));
  uint32_t marker = ext->ulReadWriteBackAddr;
  ext->bFirstReadRegister = 0;

  kernel->Sleep();
  EXPECT_EQ(std::memcmp(ext->ucConfigSpace, before, 256), 0);
  EXPECT_EQ(ext->bFirstReadRegister, 1u);
  // The bus driver lost the BARs while the card was off.
  card::CardIn(slot).ConfigWrite32(0x10, 0);
  card::CardIn(slot).ConfigWrite32(0x18, 0);
  kernel->Resume();
  uint8_t after[256];
  card::CardIn(slot).ConfigRead(0, after, sizeof(after));
  EXPECT_EQ(card::CardIn(slot).BarBase(2) & 0xFFFF0000, static_cast<uint64_t>(ext->ulBarValue[2] & 0xFFFF0000));
  EXPECT_EQ(std::memcmp(after + 0x10, before + 0x10, 24), 0);
  // Four set-power requests (system and device, down and up).
  EXPECT_EQ(ext->ulReadWriteBackAddr, marker + 4 * 0x1000);
}

// The card loses its registers in D3. The driver asks for D3 and D0 itself
// (the power manager sends system requests only) and reports them; after
// the return to D0 it has set the card up again: register reads answer
// (the write-back is armed again), the first transfer of each direction
// writes every descriptor, and frames flow both ways.
TEST_F(HardwareTest, AfterSleepTheCardIsSetUpAgainAndFramesFlow) {
  Slot& slot = StartedCard();
  auto& process = kernel->DefaultProcess();
  HANDLE h = process.CreateFileW(support::Win32Name(slot));
  ASSERT_NE(h, wdmsim::INVALID_HANDLE_VALUE);
  support::Session s(process, h);
  HANDLE played = process.CreateEventW(false, false);
  HANDLE captured = process.CreateEventW(false, false);
  ASSERT_TRUE(s.RegisterEvent(IOCTL_SET_EVENT_DMAREAD, played).ok);
  ASSERT_TRUE(s.RegisterEvent(IOCTL_SET_EVENT_DMAWRITE, captured).ok);
  constexpr uint32_t kBytes = 0x4000;
  auto* buffer = static_cast<uint8_t*>(process.VirtualAlloc(kBytes));
  EXPECT_EQ(s.Playout(buffer, kBytes, 1, 1, played), "");
  EXPECT_EQ(s.Capture(buffer, kBytes, 1, 2, captured), "");
  ASSERT_TRUE(s.SetRegister(0x3000, 0x5A5A5A5A).ok);

  kernel->Sleep();
  EXPECT_EQ(kernel->ReportedDeviceState(Fdo(slot)), PowerDeviceD3);
  kernel->Resume();
  EXPECT_EQ(kernel->ReportedDeviceState(Fdo(slot)), PowerDeviceD0);
  EXPECT_EQ(s.GetRegister(0x3000).block.ulData, 0u);  // reset in D3, read through the re-armed write-back
  card::CardIn(slot).ClearAccessLog();
  EXPECT_EQ(s.Playout(buffer, kBytes, 2, 1, played), "");
  EXPECT_EQ(s.Capture(buffer, kBytes, 2, 2, captured), "");
  for (uint32_t reg = regs::kDmaWriteDesc0; reg <= regs::kDmaReadDesc3; reg += 4) {
    EXPECT_NE(LastWrite(card::CardIn(slot), reg), 0xDEADBEEFu) << std::hex << reg;
  }
  process.VirtualFree(buffer);
  process.CloseHandle(played);
  process.CloseHandle(captured);
  process.CloseHandle(h);
}

TEST_F(HardwareTest, EveryPowerRequestMovesTheMarker) {
  Slot& slot = StartedCard();
  DEVICE_EXTENSION* ext = Extension(slot);
  uint32_t marker = ext->ulReadWriteBackAddr;
  POWER_STATE s0;
  s0.SystemState = PowerSystemWorking;
  kernel->SendPowerRequest(slot, IRP_MN_QUERY_POWER, SystemPowerState, s0);
  kernel->SendPowerRequest(slot, IRP_MN_WAIT_WAKE, SystemPowerState, s0);
  EXPECT_EQ(ext->ulReadWriteBackAddr, marker + 2 * 0x1000);
  EXPECT_EQ(CountLines("Dispatch_Power +++"), 2u);
}

TEST_F(HardwareTest, RestoreWithoutASavedCopyWritesNothing) {
  Slot& slot = StartedCard();
  uint8_t before[256];
  card::CardIn(slot).ConfigRead(0, before, sizeof(before));
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  kernel->SendPowerRequest(slot, IRP_MN_SET_POWER, DevicePowerState, d0);
  uint8_t after[256];
  card::CardIn(slot).ConfigRead(0, after, sizeof(after));
  EXPECT_EQ(std::memcmp(before, after, 256), 0);
  EXPECT_EQ(CountLines("IRP_MN_WRITE_CONFIG"), 0u);
}

}  // namespace
