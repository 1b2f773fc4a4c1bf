// Device objects, the \Device and \?? namespaces, symbolic links and device
// stacks.
//
// Notes:
//  1. Names are case-insensitive, as the object manager's are. "\DosDevices"
//     is the old name of "\??".
//  2. A device object, its DEVOBJ_EXTENSION and the driver's extension are
//     one zeroed allocation. It lives until IoDeleteDevice has run and the
//     last reference (a file object, IoGetAttachedDeviceReference) is gone.
//  3. A named device object gets the default descriptor Windows gives one;
//     the PnP manager may replace it after AddDevice (pnp/device_properties.cpp).
//  4. A path is resolved as the object manager parses it: the longest prefix
//     that names a link or a device wins, a link's target takes the place of
//     that prefix, and what follows the device's name is the remaining name
//     that the open hands to the driver.
#include <cstring>
#include <new>

#include "internal.h"
#include "se/security.h"

namespace wdmsim {

namespace {

constexpr std::align_val_t kDeviceAlignment{16};
constexpr size_t kObjectAlign = 16;

size_t RoundUp(size_t n) { return (n + kObjectAlign - 1) & ~(kObjectAlign - 1); }

// "\DosDevices\X" and "\GLOBAL??\X" are "\??\X".
std::u16string CanonicalLinkName(std::u16string_view name) {
  std::u16string key = NameKey(name);
  for (std::u16string_view prefix : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    if (key.starts_with(prefix)) return u"\\??\\" + key.substr(prefix.size());
  }
  return key;
}

bool ValidLeafName(std::u16string_view key, std::u16string_view directory) {
  if (!key.starts_with(directory)) return false;
  auto leaf = key.substr(directory.size());
  return !leaf.empty() && leaf.find(u'\\') == std::u16string_view::npos;
}

DriverImage* CallerImage(const void* returnAddress) { return K().ImageForAddress(returnAddress); }

// The "\??" forms of a path, keeping the case of what follows.
std::u16string CanonicalPath(std::u16string_view path) {
  std::u16string key = NameKey(path);
  for (std::u16string_view prefix : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    if (key.starts_with(prefix)) return u"\\??\\" + std::u16string(path.substr(prefix.size()));
  }
  return std::u16string(path);
}

}  // namespace

bool KernelState::ShouldFail(const char* routine) {
  std::lock_guard lock(faultLock);
  ++callCounts[routine];  // every call, failed or not (Kernel::CallCount)
  auto it = failCountdown.find(routine);
  if (it == failCountdown.end()) return false;
  if (--it->second > 0) return false;
  failCountdown.erase(it);
  return true;
}

void Kernel::FailNthCall(const std::string& routine, int n) {
  std::lock_guard lock(state_->faultLock);
  state_->failCountdown[routine] = n;
}

uint64_t Kernel::CallCount(const std::string& routine) const {
  std::lock_guard lock(state_->faultLock);
  auto it = state_->callCounts.find(routine);
  return it == state_->callCounts.end() ? 0 : it->second;
}

void Kernel::ResetCallCounts() {
  std::lock_guard lock(state_->faultLock);
  state_->callCounts.clear();
}

PDEVICE_OBJECT Kernel::FindDevice(std::u16string_view name) const {
  std::lock_guard lock(state_->objects);
  auto it = state_->deviceNames.find(NameKey(name));
  return it == state_->deviceNames.end() ? nullptr : it->second;
}

std::u16string Kernel::SymbolicLinkTarget(std::u16string_view link) const {
  std::lock_guard lock(state_->objects);
  auto it = state_->links.find(CanonicalLinkName(link));
  return it == state_->links.end() ? std::u16string() : it->second.target;
}

std::vector<std::u16string> Kernel::NamesIn(std::u16string_view directory) const {
  std::lock_guard lock(state_->objects);
  std::u16string prefix = NameKey(directory);
  if (!prefix.ends_with(u'\\')) prefix += u'\\';
  std::vector<std::u16string> names;
  for (const auto& [key, device] : state_->deviceNames) {
    if (key.starts_with(prefix)) {
      names.push_back(ob::Find(device) != nullptr ? ob::Find(device)->name.substr(prefix.size()) : key);
    }
  }
  for (const auto& [key, link] : state_->links) {
    if (CanonicalLinkName(prefix + u"X").starts_with(u"\\??\\") && key.starts_with(u"\\??\\")) {
      names.push_back(link.name.substr(link.name.rfind(u'\\') + 1));
    }
  }
  return names;
}

namespace io {

PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) {
  std::lock_guard lock(K().objects);
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT ResolveDeviceLocked(std::u16string_view path, std::u16string* remaining) {
  KernelState& k = K();
  std::u16string current = CanonicalPath(path);
  for (int links = 0; links < 32; ++links) {  // note 4; a bound against link loops
    const std::u16string key = NameKey(current);
    bool followed = false;
    for (size_t end = key.size(); end > 0 && end != std::u16string::npos; end = key.rfind(u'\\', end - 1)) {
      const std::u16string prefix = key.substr(0, end);
      if (auto device = k.deviceNames.find(prefix); device != k.deviceNames.end()) {
        *remaining = current.substr(end);
        return device->second;
      }
      if (auto link = k.links.find(prefix); link != k.links.end()) {
        current = CanonicalPath(link->second.target + current.substr(end));
        followed = true;
        break;
      }
    }
    if (!followed) break;
  }
  remaining->clear();
  return nullptr;
}

void DeviceDeletionChecks(PDEVICE_OBJECT device, size_t bytes) {
  KernelState& k = K();
  const char* begin = reinterpret_cast<const char*>(device);
  std::string name;
  {
    std::lock_guard lock(k.objects);
    ObjectInfo* info = ob::Find(device);
    name = info != nullptr && !info->name.empty() ? Narrow(info->name) : Hex(reinterpret_cast<uintptr_t>(device));
  }
  for (const auto& leak : ke::ForgetTimersAndDpcsIn(begin, begin + bytes)) {
    k.Finding("device " + name + " deleted with its " + leak);
  }
}

}  // namespace io
}  // namespace wdmsim

using namespace wdmsim;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  RequirePassive("IoCreateDevice");
  KernelState& k = K();
  *DeviceObject = nullptr;
  if (k.ShouldFail("IoCreateDevice")) return STATUS_INSUFFICIENT_RESOURCES;

  std::u16string name = FromUnicodeString(DeviceName);
  std::u16string key = NameKey(name);
  if (!name.empty() && !ValidLeafName(key, u"\\DEVICE\\")) {
    return key.starts_with(u"\\DEVICE\\") ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_PATH_NOT_FOUND;
  }

  std::lock_guard lock(k.objects);
  if (!name.empty() && k.deviceNames.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;

  size_t bytes = RoundUp(sizeof(DEVICE_OBJECT)) + RoundUp(sizeof(DEVOBJ_EXTENSION)) + DeviceExtensionSize;
  auto* block = static_cast<char*>(::operator new(bytes, kDeviceAlignment));
  std::memset(block, 0, bytes);
  auto* device = reinterpret_cast<PDEVICE_OBJECT>(block);
  auto* devobjExtension = reinterpret_cast<PDEVOBJ_EXTENSION>(block + RoundUp(sizeof(DEVICE_OBJECT)));
  device->Type = 3;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->DeviceExtension = DeviceExtensionSize != 0 ? block + bytes - DeviceExtensionSize : nullptr;
  devobjExtension->Type = 13;
  devobjExtension->Size = sizeof(DEVOBJ_EXTENSION);
  devobjExtension->DeviceObject = device;
  device->DeviceObjectExtension = devobjExtension;

  // The driver's list of devices, newest first.
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;

  ObjectInfo info;
  info.type = ObjectType::Device;
  info.owner = CallerImage(WDMSIM_CALLER());
  info.name = name;
  info.inAddDevice = pnp::tInAddDevice;
  if (!name.empty()) info.security = se::DefaultDeviceDescriptor();  // note 3
  info.free = [block, bytes] {
    (void)bytes;
    ::operator delete(block, kDeviceAlignment);
  };
  ob::Insert(device, std::move(info));
  if (!name.empty()) k.deviceNames[key] = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  RequirePassive("IoDeleteDevice");
  KernelState& k = K();
  {
    std::lock_guard lock(k.objects);
    ObjectInfo* info = ob::Find(DeviceObject);
    if (info == nullptr || info->type != ObjectType::Device || info->deleted) {
      k.RaiseBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x0B, reinterpret_cast<ULONG_PTR>(DeviceObject), 0, 0,
                      "IoDeleteDevice on a device object that does not exist or was already deleted");
    }
    std::string name = info->name.empty() ? Hex(reinterpret_cast<uintptr_t>(DeviceObject)) : Narrow(info->name);
    if (DeviceObject->DeviceObjectExtension->AttachedTo != nullptr) {
      k.Finding("device " + name + " deleted while still attached to a lower device (IoDetachDevice missing)");
    }
    if (DeviceObject->AttachedDevice != nullptr) {
      k.Finding("device " + name + " deleted while another device is attached above it");
    }
    for (const auto& [linkName, link] : k.links) {
      if (!info->name.empty() && NameKey(link.target) == NameKey(info->name)) {
        k.Finding("device " + name + " deleted while symbolic link " + Narrow(linkName) + " still points to it");
      }
    }
    // Requests in flight belong to the threads passing them down, which move
    // their stack location without any lock: glance at the location number
    // once and find the stack location from it, so that a request between two
    // drivers is seen at one of them and never read past its last location.
    for (const auto& [irp, irpInfo] : k.irps) {
      if (irpInfo.completed) continue;
      const int location = Glance(irp->CurrentLocation);
      if (location < 1 || location > irp->StackCount) continue;
      const auto* stack = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1) + (location - 1);
      if (Glance(stack->DeviceObject) == DeviceObject) {
        k.Finding("device " + name + " deleted with " + irpInfo.what + " still outstanding");
      }
    }
    info->deleted = true;
    if (!info->name.empty()) k.deviceNames.erase(NameKey(info->name));
    // Out of the driver's list.
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link == DeviceObject) *link = DeviceObject->NextDevice;
  }
  size_t bytes = RoundUp(sizeof(DEVICE_OBJECT)) + RoundUp(sizeof(DEVOBJ_EXTENSION)) +
                 (DeviceObject->Size - sizeof(DEVICE_OBJECT));
  io::DeviceDeletionChecks(DeviceObject, bytes);
  ob::Dereference(DeviceObject);  // the creation reference
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  RequirePassive("IoCreateSymbolicLink");
  KernelState& k = K();
  if (k.ShouldFail("IoCreateSymbolicLink")) return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string key = CanonicalLinkName(FromUnicodeString(SymbolicLinkName));
  if (!ValidLeafName(key, u"\\??\\")) {
    return key.starts_with(u"\\??\\") ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_PATH_NOT_FOUND;
  }
  std::lock_guard lock(k.objects);
  if (k.links.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  std::u16string linkName = FromUnicodeString(SymbolicLinkName);
  k.links[key] = LinkInfo{FromUnicodeString(DeviceName), linkName, CallerImage(WDMSIM_CALLER())};
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  RequirePassive("IoDeleteSymbolicLink");
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  return k.links.erase(CanonicalLinkName(FromUnicodeString(SymbolicLinkName))) != 0
             ? STATUS_SUCCESS
             : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  RequireIrqlAtMost("IoAttachDeviceToDeviceStack", DISPATCH_LEVEL);
  KernelState& k = K();
  if (k.ShouldFail("IoAttachDeviceToDeviceStack")) return nullptr;
  std::lock_guard lock(k.objects);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  ObjectInfo* info = ob::Find(top);
  if (info == nullptr || info->deleted) return nullptr;  // the stack is being torn down
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  RequirePassive("IoDetachDevice");
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper == nullptr) {
    k.Finding("IoDetachDevice on a device with nothing attached above it");
    return;
  }
  upper->DeviceObjectExtension->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost("IoGetAttachedDeviceReference", DISPATCH_LEVEL);
  std::lock_guard lock(K().objects);
  PDEVICE_OBJECT top = io::AttachedTop(DeviceObject);
  ob::Reference(top);
  ob::CountDriverReference(top, WDMSIM_CALLER(), +1);
  return top;
}

}  // extern "C"
