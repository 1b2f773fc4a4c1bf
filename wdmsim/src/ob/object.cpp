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
  }
  if (release) release();
}

}  // namespace wdmsim::ob

using namespace wdmsim;

extern "C" {

VOID ObfReferenceObject(PVOID Object) {
  RequireIrqlAtMost("ObReferenceObject", DISPATCH_LEVEL);
  ob::Reference(Object);
}

VOID ObfDereferenceObject(PVOID Object) {
  RequireIrqlAtMost("ObDereferenceObject", DISPATCH_LEVEL);
  ob::Dereference(Object);
}

}  // extern "C"
