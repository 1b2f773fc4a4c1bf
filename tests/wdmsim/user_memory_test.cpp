// User address spaces, probing and locking, the guard, and references by
// handle.
#include <gtest/gtest.h>

#include <cstring>

#include "wdmsim/kernel.h"

extern "C" BOOLEAN RunGuarded(void (*Routine)(PVOID), PVOID Context);

namespace {

class UserMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { kernel = std::make_unique<wdmsim::Kernel>(); }
  void TearDown() override {
    if (!expectBugCheck) {
      EXPECT_EQ(kernel->BugCheckReport(), "");
      EXPECT_EQ(kernel->Findings(), std::vector<std::string>{});
    }
    process.reset();
    kernel.reset();
  }
  wdmsim::Process& P() {
    if (!process) process = kernel->CreateProcess();
    return *process;
  }
  // Runs `routine` under the guard in the process's context.
  bool Raised(void (*routine)(PVOID), PVOID context) {
    bool raised = false;
    P().RunInContext([&] { raised = RunGuarded(routine, context) != FALSE; });
    return raised;
  }
  std::unique_ptr<wdmsim::Kernel> kernel;
  std::unique_ptr<wdmsim::Process> process;
  bool expectBugCheck = false;
};

struct Range {
  void* address;
  ULONG length;
  LOCK_OPERATION operation;
  PMDL mdl;
};

void LockRange(PVOID context) {
  auto* r = static_cast<Range*>(context);
  MmProbeAndLockPages(r->mdl, UserMode, r->operation);
}

TEST_F(UserMemoryTest, AllocationsAreBelowFourGigabytesWithGuardPages) {
  auto* a = static_cast<uint8_t*>(P().VirtualAlloc(10000));
  ASSERT_NE(a, nullptr);
  EXPECT_LT(reinterpret_cast<uintptr_t>(a), uintptr_t{1} << 32);
  std::memset(a, 1, 10000);  // real, writable memory
  auto touchPastTheEnd = [](PVOID p) { static_cast<volatile uint8_t*>(p)[12288] = 1; };
  EXPECT_TRUE(Raised(touchPastTheEnd, a));  // the guard page after the allocation
}

TEST_F(UserMemoryTest, LockingChecksProtectionsAndRaises) {
  auto* rw = P().VirtualAlloc(8192);
  auto* ro = P().VirtualAlloc(8192, wdmsim::PAGE_READONLY);
  auto* none = P().VirtualAlloc(8192, wdmsim::PAGE_NOACCESS);
  auto* freed = P().VirtualAlloc(8192);
  P().VirtualFree(freed);
  struct Case {
    void* address;
    LOCK_OPERATION operation;
    bool raises;
  } cases[] = {{rw, IoModifyAccess, false}, {ro, IoReadAccess, false}, {ro, IoModifyAccess, true},
               {none, IoReadAccess, true},  {freed, IoReadAccess, true}, {reinterpret_cast<void*>(0x1000), IoReadAccess, true}};
  for (const Case& c : cases) {
    Range r{c.address, 8192, c.operation, IoAllocateMdl(c.address, 8192, FALSE, FALSE, nullptr)};
    ASSERT_NE(r.mdl, nullptr);
    EXPECT_EQ(Raised(LockRange, &r), c.raises) << c.address << " op " << c.operation;
    if (!c.raises) {
      EXPECT_TRUE(r.mdl->MdlFlags & MDL_PAGES_LOCKED);
      MmUnlockPages(r.mdl);
    }
    IoFreeMdl(r.mdl);
  }
}

TEST_F(UserMemoryTest, ProbesCheckAlignmentOverflowAndTheUserRange) {
  auto probe = [&](const void* address, SIZE_T length, ULONG alignment, bool write) {
    struct Args {
      const void* a;
      SIZE_T l;
      ULONG al;
      bool w;
    } args{address, length, alignment, write};
    return Raised(
        [](PVOID p) {
          auto* a = static_cast<Args*>(p);
          if (a->w) {
            ProbeForWrite(const_cast<void*>(a->a), a->l, a->al);
          } else {
            ProbeForRead(a->a, a->l, a->al);
          }
        },
        &args);
  };
  auto* rw = static_cast<uint8_t*>(P().VirtualAlloc(4096));
  auto* ro = P().VirtualAlloc(4096, wdmsim::PAGE_READONLY);
  EXPECT_FALSE(probe(rw, 4096, 1, true));
  EXPECT_FALSE(probe(rw, 0, 1, false));
  EXPECT_TRUE(probe(rw + 1, 4, 4, false));  // misaligned
  EXPECT_TRUE(probe(reinterpret_cast<void*>(~uintptr_t{0} - 4), 16, 1, false));  // wraps
  EXPECT_TRUE(probe(reinterpret_cast<void*>(0xFFFF800000000000), 16, 1, false));  // kernel range
  EXPECT_TRUE(probe(ro, 16, 1, true));
  EXPECT_FALSE(probe(ro, 16, 1, false));
}

TEST_F(UserMemoryTest, RaiseOutsideAnyGuardStopsTheMachine) {
  expectBugCheck = true;
  EXPECT_THROW(ExRaiseStatus(STATUS_ACCESS_VIOLATION), wdmsim::BugCheck);
  EXPECT_NE(kernel->BugCheckReport().find("STOP: 0x0000001E"), std::string::npos);
}

TEST_F(UserMemoryTest, UnlockingTwiceIsABugCheck) {
  auto* rw = P().VirtualAlloc(4096);
  Range r{rw, 4096, IoModifyAccess, IoAllocateMdl(rw, 4096, FALSE, FALSE, nullptr)};
  ASSERT_FALSE(Raised(LockRange, &r));
  MmUnlockPages(r.mdl);
  expectBugCheck = true;
  EXPECT_THROW(MmUnlockPages(r.mdl), wdmsim::BugCheck);
}

// Pages locked for a process can never be given back once it has gone.
TEST_F(UserMemoryTest, AProcessThatEndsWithLockedPagesStopsTheMachine) {
  auto* rw = P().VirtualAlloc(4096);
  Range r{rw, 4096, IoModifyAccess, IoAllocateMdl(rw, 4096, FALSE, FALSE, nullptr)};
  ASSERT_FALSE(Raised(LockRange, &r));
  expectBugCheck = true;
  process.reset();
  EXPECT_NE(kernel->BugCheckReport().find("STOP: 0x00000076"), std::string::npos);
  EXPECT_NE(kernel->BugCheckReport().find("process ended with locked pages"), std::string::npos);
}

// The system address of locked pages is a second view of them: writable
// when the process has made its own view read-only, gone with the lock.
TEST_F(UserMemoryTest, LockedPagesHaveAWritableSystemAddressUntilUnlocked) {
  auto* rw = static_cast<uint8_t*>(P().VirtualAlloc(8192));
  Range r{rw + 100, 5000, IoModifyAccess, IoAllocateMdl(rw + 100, 5000, FALSE, FALSE, nullptr)};
  ASSERT_FALSE(Raised(LockRange, &r));
  ASSERT_TRUE(P().VirtualProtect(rw, 8192, wdmsim::PAGE_READONLY));
  auto* system = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(r.mdl, NormalPagePriority));
  ASSERT_NE(system, nullptr);
  EXPECT_NE(system, rw + 100);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(r.mdl, NormalPagePriority), system);  // mapped once
  system[0] = 0xA5;
  system[4999] = 0x5A;
  EXPECT_EQ(rw[100], 0xA5);
  EXPECT_EQ(rw[5099], 0x5A);
  MmUnlockPages(r.mdl);
  EXPECT_EQ(r.mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
  IoFreeMdl(r.mdl);
}

// With lasting system views (the benchmarks' setting) each allocation is
// mapped once: every lock of it gets the same system address, and writes
// through it still land in the caller's pages.
TEST_F(UserMemoryTest, LastingSystemViewsAreMappedOncePerAllocation) {
  kernel.reset();
  kernel = std::make_unique<wdmsim::Kernel>(wdmsim::Options{.lastingSystemViews = true});
  auto* rw = static_cast<uint8_t*>(P().VirtualAlloc(3 * 4096));
  uint8_t* seen[2] = {};
  for (int round = 0; round < 2; ++round) {
    Range r{rw + 4096 + 8, 100, IoModifyAccess, IoAllocateMdl(rw + 4096 + 8, 100, FALSE, FALSE, nullptr)};
    ASSERT_FALSE(Raised(LockRange, &r));
    seen[round] = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(r.mdl, NormalPagePriority));
    ASSERT_NE(seen[round], nullptr);
    seen[round][99] = static_cast<uint8_t>(0x40 + round);
    EXPECT_EQ(rw[4096 + 8 + 99], 0x40 + round);
    MmUnlockPages(r.mdl);
    IoFreeMdl(r.mdl);
  }
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_NE(seen[0], rw + 4096 + 8);
  EXPECT_TRUE(P().VirtualFree(rw));
}

TEST_F(UserMemoryTest, LockingUserPagesAtDispatchLevelIsABugCheck) {
  auto* rw = P().VirtualAlloc(4096);
  Range r{rw, 4096, IoModifyAccess, IoAllocateMdl(rw, 4096, FALSE, FALSE, nullptr)};
  expectBugCheck = true;
  P().RunInContext([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_THROW(MmProbeAndLockPages(r.mdl, UserMode, IoModifyAccess), wdmsim::BugCheck);
    KeLowerIrql(old);
  });
  EXPECT_NE(kernel->BugCheckReport().find("MmProbeAndLockPages of pageable memory called at IRQL 2"),
            std::string::npos);
  IoFreeMdl(r.mdl);
}

TEST_F(UserMemoryTest, ReferencesByHandleCheckTheType) {
  HANDLE event = P().CreateEventW(false, false);
  PVOID object = reinterpret_cast<PVOID>(1);
  NTSTATUS status = STATUS_SUCCESS;
  P().RunInContext([&] {
    status = ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr);
  });
  ASSERT_EQ(status, STATUS_SUCCESS);
  KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
  P().CloseHandle(event);  // the reference keeps the event alive
  EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(object)), 1);
  ObDereferenceObject(object);

  P().RunInContext([&] {
    status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x4444), EVENT_MODIFY_STATE, *ExEventObjectType,
                                       UserMode, &object, nullptr);
  });
  EXPECT_EQ(status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(object, nullptr);
  P().RunInContext([&] {
    status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0xFFFFFFFF80000004ull), EVENT_MODIFY_STATE,
                                       *ExEventObjectType, UserMode, &object, nullptr);
  });
  EXPECT_EQ(status, STATUS_INVALID_HANDLE);  // a kernel handle from user mode

  // A type pointer read one level too deep (what a dllimport declaration
  // of ExEventObjectType gives for *ExEventObjectType) is not a type.
  HANDLE another = P().CreateEventW(false, false);
  const auto tooDeep = *reinterpret_cast<POBJECT_TYPE*>(*ExEventObjectType);
  object = reinterpret_cast<PVOID>(1);
  P().RunInContext([&] {
    status = ObReferenceObjectByHandle(another, EVENT_MODIFY_STATE, tooDeep, UserMode, &object, nullptr);
  });
  EXPECT_EQ(status, STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(object, nullptr);
  P().CloseHandle(another);
}

// The access asked for must have been granted to the handle when the
// request comes from user mode; KernelMode skips the check, which is why a
// driver must not use it for a handle a user-mode caller handed it.
TEST_F(UserMemoryTest, ReferencesByHandleCheckTheAccessAndKernelModeIsAFinding) {
  HANDLE event = P().CreateEventW(false, false);
  HANDLE waitOnly = P().DuplicateEvent(event, 0x00100000);  // SYNCHRONIZE
  ASSERT_NE(waitOnly, nullptr);
  PVOID object = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  P().RunInContext([&] {
    status = ObReferenceObjectByHandle(waitOnly, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr);
  });
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(object, nullptr);
  EXPECT_TRUE(kernel->Findings().empty());

  P().RunInContext([&] {
    status = ObReferenceObjectByHandle(waitOnly, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &object, nullptr);
  });
  ASSERT_EQ(status, STATUS_SUCCESS);
  ObDereferenceObject(object);
  auto findings = kernel->Findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("ObReferenceObjectByHandle of a user-mode handle with KernelMode"), std::string::npos);
  kernel->ClearFindings();
  P().CloseHandle(waitOnly);
  P().CloseHandle(event);
}

void ProbeWriteSixteen(PVOID address) { ProbeForWrite(address, 16, 1); }

// A buffer one process locked, touched through its user address from
// another process's request: the probe faults (the address is not that
// process's), and the verifier names the mistake.
TEST_F(UserMemoryTest, TouchingAnotherProcesssLockedBufferIsAFinding) {
  auto* rw = P().VirtualAlloc(4096);
  Range r{rw, 4096, IoModifyAccess, IoAllocateMdl(rw, 4096, FALSE, FALSE, nullptr)};
  ASSERT_FALSE(Raised(LockRange, &r));
  EXPECT_FALSE(Raised(ProbeWriteSixteen, rw));  // its own process: fine, and no finding
  EXPECT_TRUE(kernel->Findings().empty());
  auto other = kernel->CreateProcess();
  bool raised = false;
  other->RunInContext([&] { raised = RunGuarded(ProbeWriteSixteen, rw) != FALSE; });
  EXPECT_TRUE(raised);
  auto findings = kernel->Findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].find("ProbeForWrite of user address"), std::string::npos) << findings[0];
  EXPECT_NE(findings[0].find("in a buffer another process locked"), std::string::npos) << findings[0];
  kernel->ClearFindings();
  MmUnlockPages(r.mdl);
  IoFreeMdl(r.mdl);
}

}  // namespace
