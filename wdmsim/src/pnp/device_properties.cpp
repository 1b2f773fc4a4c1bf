// The device object properties the PnP manager sets on a stack once its
// function driver's AddDevice has succeeded ("Setting Device Object
// Properties in the Registry", "Specifying Device Characteristics").
//
// Notes:
//  1. The registry's Security value replaces the descriptor of every device
//     object of the stack, the bus driver's included; without one, each
//     keeps what it was created with.
//  2. The registry's DeviceCharacteristics go on every device object. So do
//     the characteristics that apply to a whole stack when the function
//     device or a filter has them; the bus driver's own do not spread
//     (a stack without a function device is not built here).
#include "internal.h"
#include "se/security.h"

namespace wdmsim::pnp {

namespace {
constexpr ULONG kStackWideCharacteristics = 0x00000001    // FILE_REMOVABLE_MEDIA
                                            | 0x00000002  // FILE_READ_ONLY_DEVICE
                                            | 0x00000004  // FILE_FLOPPY_DISKETTE
                                            | 0x00000008  // FILE_WRITE_ONCE_MEDIA
                                            | FILE_DEVICE_SECURE_OPEN;
}  // namespace

void ApplyDeviceProperties(const Slot& slot) {
  if (slot.driver == nullptr || slot.pdo == nullptr) return;
  const auto& image = slot.driver->impl();
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  ULONG characteristics = image.deviceCharacteristics;  // note 2
  for (PDEVICE_OBJECT d = slot.pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
    characteristics |= d->Characteristics & kStackWideCharacteristics;
  }
  for (PDEVICE_OBJECT d = slot.pdo; d != nullptr; d = d->AttachedDevice) {
    d->Characteristics |= characteristics;
    if (image.security == nullptr) continue;  // note 1
    if (ObjectInfo* info = ob::Find(d)) info->security = image.security;
  }
}

}  // namespace wdmsim::pnp
