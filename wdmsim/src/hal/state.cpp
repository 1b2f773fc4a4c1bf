// The HAL's life: boot (the reserved I/O region, the card-event and
// interrupt threads), stop (threads joined before the cards go) and the
// final release of everything drivers left, without calling driver code.
#include <cstdlib>

#include "hal/hal.h"

namespace wdmsim::hal {

HalState& H() {
  KernelState& k = K();
  return *k.hal;
}

void Boot(KernelState& k) {
  k.hal = std::make_shared<HalState>();
  ReserveIoRegion(*k.hal);
  StartCardEvents(k, *k.hal);
  StartInterrupts(k, *k.hal);
}

void Stop(KernelState& k) {
  HalState* h = k.hal.get();
  if (h == nullptr) return;
  {
    std::lock_guard lock(h->eventLock);
    h->eventsStopping = true;
    k.clock.Kick(h->EventChannel());
  }
  h->eventCv.notify_all();
  if (h->eventThread.joinable()) h->eventThread.join();
  {
    std::lock_guard lock(h->lock);
    h->stopping = true;
    k.clock.Kick(h->Channel());
  }
  h->cv.notify_all();
  if (h->interruptThread.joinable()) h->interruptThread.join();
}

HalState::~HalState() {
  for (auto& [bus, buffer] : buffers) std::free(buffer.host);
  for (auto& [mdl, record] : mdls) ::operator delete(mdl);
  for (PMDL mdl : freedMdls) ::operator delete(mdl);
  for (PKINTERRUPT object : objects) delete object;
  for (PKINTERRUPT object : retired) delete object;
  for (PIO_INTERRUPT_MESSAGE_INFO table : tables) delete table;
  ReleaseIoRegion(*this);
}

}  // namespace wdmsim::hal
