// Object references. Every object wdmsim hands a driver (device objects,
// file objects, events, adapters) is in one table with its reference count;
// its memory goes when the count reaches zero.
#include "internal.h"

namespace wdmsim::ob {

void Insert(const void* object, ObjectInfo info) {
  std::lock_guard lock(K().objects);
  K().objectTable[object] = std::move(info);
}

ObjectInfo* Find(const void* object) {
  auto& table = K().objectTable;
  auto it = table.find(object);
  return it == table.end() ? nullptr : &it->second;
}

void Reference(const void* object) {
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  ObjectInfo* info = Find(object);
  if (info == nullptr || info->references <= 0) {
    k.RaiseBugCheck(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(object), 0, 0, 0,
                    "reference taken on an object that does not exist");
  }
  ++info->references;
}

void Dereference(const void* object) {
  KernelState& k = K();
  std::function<void()> release;
  {
    std::lock_guard lock(k.objects);
    ObjectInfo* info = Find(object);
    if (info == nullptr || info->references <= 0) {
      k.RaiseBugCheck(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(object), 0, 0, 0,
                      "ObDereferenceObject on an object with no reference left (released twice?)");
    }
    if (--info->references > 0) return;
    if (info->type == ObjectType::Device && !info->deleted) {
      k.RaiseBugCheck(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(object), 0, 0, 0,
                      "the last reference to a device object was released before IoDeleteDevice");
    }
    release = std::move(info->free);
    k.objectTable.erase(object);
    k.driverReferences.erase(object);
  }
  if (release) release();
}

void CountDriverReference(const void* object, const void* caller, LONG delta) {
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  DriverImage* image = k.ImageForAddress(caller);
  auto& perImage = k.driverReferences[object];
  auto& held = perImage[image];
  if (delta > 0 && image != nullptr) held.at = caller;
  if ((held.count += delta) <= 0) perImage.erase(image);  // a release of a reference handed over
  if (perImage.empty()) k.driverReferences.erase(object);
}

std::vector<std::string> ReferencesHeldBy(DriverImage& image) {
  KernelState& k = K();
  std::lock_guard lock(k.objects);
  // A built-in driver has no code range: its references count as unattributed.
  const bool builtIn = image.impl().codeBegin == nullptr;
  std::vector<std::string> out;
  for (auto& [object, perImage] : k.driverReferences) {
    LONG held = 0;
    const void* at = nullptr;
    for (auto& [owner, references] : perImage) {
      if (owner == &image || (builtIn && owner == nullptr)) held += references.count, at = references.at;
    }
    if (held <= 0) continue;
    const ObjectInfo* info = Find(object);
    const char* type = info == nullptr                         ? "freed"
                       : info->type == ObjectType::Event      ? "event"
                       : info->type == ObjectType::File       ? "file"
                       : info->type == ObjectType::Device     ? "device"
                                                               : "adapter";
    out.push_back(std::to_string(held) + " reference(s) to " + type + " object " +
                  Hex(reinterpret_cast<uintptr_t>(object)) + " still held (ObDereferenceObject missing)" +
                  (at != nullptr ? ", last taken at " + k.CodeName(at) : ""));
  }
  return out;
}

}  // namespace wdmsim::ob

using namespace wdmsim;

extern "C" {

VOID ObfReferenceObject(PVOID Object) {
  RequireIrqlAtMost("ObReferenceObject", DISPATCH_LEVEL);
  ob::Reference(Object);
  ob::CountDriverReference(Object, WDMSIM_CALLER(), +1);
}

VOID ObfDereferenceObject(PVOID Object) {
  RequireIrqlAtMost("ObDereferenceObject", DISPATCH_LEVEL);
  ob::CountDriverReference(Object, WDMSIM_CALLER(), -1);
  ob::Dereference(Object);
}

}  // extern "C"
