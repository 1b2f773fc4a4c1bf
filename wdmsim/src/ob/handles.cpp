// Object references by handle: the handle table of the process whose
// request the calling thread runs.
#include "internal.h"
#include "user/process_impl.h"

namespace {

struct _OBJECT_TYPE_TOKEN {
  const char* name;
};
_OBJECT_TYPE_TOKEN gEventType{"Event"};
POBJECT_TYPE gEventTypePointer = reinterpret_cast<POBJECT_TYPE>(&gEventType);

constexpr uintptr_t kKernelHandleBit = uintptr_t{1} << 63;

}  // namespace

using namespace wdmsim;

extern "C" {

POBJECT_TYPE* ExEventObjectType = &gEventTypePointer;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation) {
  (void)DesiredAccess;  // not checked against what the handle was granted: events are opened with all access
  (void)HandleInformation;
  RequireIrqlAtMost("ObReferenceObjectByHandle", PASSIVE_LEVEL);
  *Object = nullptr;
  // A user-mode request may not name a kernel handle.
  if (AccessMode == UserMode && (reinterpret_cast<uintptr_t>(Handle) & kKernelHandleBit) != 0) {
    return STATUS_INVALID_HANDLE;
  }
  Process* process = CurrentProcess();
  HandleEntry entry;
  if (process == nullptr || !process->impl().Lookup(Handle, &entry)) return STATUS_INVALID_HANDLE;
  // A type is an object type the kernel knows (events are the only objects
  // a handle names here), or the reference fails: a pointer read one level
  // too deep or too shallow is not a type, and Windows compares it with the
  // object's type and refuses.
  if (ObjectType != nullptr && (ObjectType != gEventTypePointer || entry.type != ObjectType::Event)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  ob::Reference(entry.object);
  ob::CountDriverReference(entry.object, WDMSIM_CALLER(), +1);
  *Object = entry.object;
  return STATUS_SUCCESS;
}

}  // extern "C"
