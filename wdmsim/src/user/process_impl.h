// A simulated process's handle table.
#pragma once

#include <map>
#include <mutex>
#include <set>

#include "internal.h"

namespace wdmsim {

struct HandleEntry {
  ObjectType type = ObjectType::File;
  void* object = nullptr;
  uint32_t access = 0;  // granted when the handle was opened
};

// A range of the process's address space (VirtualAlloc).
struct UserRegion {
  size_t size = 0;
  uint32_t protect = PAGE_NOACCESS;
  bool freed = false;
  uintptr_t systemView = 0;  // Options::lastingSystemViews: its lasting system mapping
};

struct Process::Impl {
  ~Impl();
  Token token = Token::Administrator;
  std::mutex lock;
  std::map<HANDLE, HandleEntry> handles;
  uintptr_t nextHandle = 4;
  std::map<uintptr_t, UserRegion> regions;  // by base address
  std::set<PMDL> lockedMdls;                 // pages locked by MmProbeAndLockPages
  // Requests under way on each file object, and whether its handle has
  // been closed meanwhile: the close request waits for the last of them.
  struct FileUse {
    int requests = 0;
    bool closeDue = false;
  };
  std::map<void*, FileUse> fileUses;

  HANDLE Insert(ObjectType type, void* object, uint32_t access);
  bool Lookup(HANDLE handle, HandleEntry* entry);
};

// The process whose system call the calling thread is running, or null.
Process* CurrentProcess();
// True for addresses of the simulated user address spaces (below 4 GiB).
bool IsSimulatedUserAddress(const void* address);
void ReportLockedPagesAtExit(Process& process);

}  // namespace wdmsim
