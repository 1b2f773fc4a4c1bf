// System threads and work items: IoAllocateWorkItem, IoQueueWorkItem,
// IoFreeWorkItem.
//
// Notes:
//  1. Each queued work item runs on a system thread of its own at
//     PASSIVE_LEVEL, as the system's worker threads run them, so that a work
//     item that waits (for a request its own driver completes from another
//     work item, say) never holds up another. System threads are simulated
//     threads, counted from before they start; finished ones are joined as
//     new ones start, the rest at shutdown.
//  2. While an item is queued the I/O manager holds a reference on its
//     device object, so that the device (and the driver) cannot go before
//     the routine has run ("IoQueueWorkItem function": the reason to prefer
//     it to ExQueueWorkItem).
//  3. Queuing an item that is already queued, or freeing one that is, is a
//     verifier finding: the item's one record would be overwritten or freed
//     under the worker.
#include "internal.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device = nullptr;
  std::atomic<bool> queued{false};
  const void* owner = nullptr;  // where the driver allocated it
};

namespace wdmsim {

void KernelState::SpawnSystemThread(std::function<void()> body) {
  std::lock_guard lock(systemThreadsLock);
  std::erase_if(systemThreads, [](SystemThread& t) {
    if (!t.done->load()) return false;
    t.thread.join();
    return true;
  });
  auto done = std::make_shared<std::atomic<bool>>(false);
  clock.CountStartingThread();
  std::thread thread([this, body = std::move(body), done] {
    clock.AdoptCount(Clock::Role::Other);
    SetCurrentIrql(PASSIVE_LEVEL);
    if (!crashed) {
      try {
        body();
      } catch (const BugCheck&) {
        // Recorded by RaiseBugCheck; the kernel is dead, waiters are released.
      }
    }
    SetCurrentIrql(PASSIVE_LEVEL);
    clock.Leave();
    done->store(true);
  });
  systemThreads.push_back({std::move(thread), done});
}

void KernelState::JoinSystemThreads() {
  std::vector<SystemThread> threads;
  {
    std::lock_guard lock(systemThreadsLock);
    threads.swap(systemThreads);
  }
  for (auto& t : threads) t.thread.join();
}

}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost("IoAllocateWorkItem", DISPATCH_LEVEL);
  if (DeviceObject == nullptr) return nullptr;
  auto* item = new _IO_WORKITEM;
  item->device = DeviceObject;
  item->owner = WDMSIM_CALLER();
  return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  (void)QueueType;
  RequireIrqlAtMost("IoQueueWorkItem", DISPATCH_LEVEL);
  KernelState& k = K();
  if (IoWorkItem == nullptr || WorkerRoutine == nullptr) {
    k.RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1000, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
                    "IoQueueWorkItem with a null work item or routine");
  }
  if (IoWorkItem->queued.exchange(true)) {  // note 3
    k.Finding("IoQueueWorkItem: work item allocated at " + k.CodeName(IoWorkItem->owner) +
              " queued again before its routine ran");
    return;
  }
  PDEVICE_OBJECT device = IoWorkItem->device;
  ObfReferenceObject(device);  // note 2
  k.SpawnSystemThread([IoWorkItem, WorkerRoutine, device, Context] {
    IoWorkItem->queued.store(false);  // the routine may queue it again, or free it
    ldr::CallDriver(WorkerRoutine, device, Context);
    if (CurrentIrql() != PASSIVE_LEVEL) {
      K().Finding("work item routine " + K().CodeName(reinterpret_cast<const void*>(WorkerRoutine)) +
                  " returned at IRQL " + std::to_string(CurrentIrql()));
    }
    ObfDereferenceObject(device);
  });
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  RequireIrqlAtMost("IoFreeWorkItem", DISPATCH_LEVEL);
  if (IoWorkItem == nullptr) return;
  if (IoWorkItem->queued.load()) {  // note 3
    K().Finding("IoFreeWorkItem: work item allocated at " + K().CodeName(IoWorkItem->owner) +
                " freed while queued");
    return;  // kept: the worker still reads it
  }
  delete IoWorkItem;
}

}  // extern "C"
