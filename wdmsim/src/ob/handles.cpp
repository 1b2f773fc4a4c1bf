// Object references by handle: the handle table of the process whose
// request the calling thread runs.
//
// Notes:
//  1. With UserMode the access the caller asks for must have been granted
//     to the handle, or the reference fails with STATUS_ACCESS_DENIED
//     ("ObReferenceObjectByHandle function (wdm.h)"). With KernelMode no
//     access is checked.
//  2. A driver that references a handle from a user-mode request with
//     KernelMode skips that check, and lets the caller hand it a handle it
//     may not use: Driver Verifier stops such a driver (0xC4, 0xF6). Here
//     it is a finding.
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
  if (AccessMode == UserMode && (DesiredAccess & ~entry.access) != 0) return STATUS_ACCESS_DENIED;  // note 1
  if (AccessMode == KernelMode) {  // note 2: a user handle, since the kernel bit is clear
    KernelState& k = K();
    DriverImage* image = k.ImageForAddress(WDMSIM_CALLER());
    k.Finding((image != nullptr ? image->name() + ": " : std::string()) +
              "ObReferenceObjectByHandle of a user-mode handle with KernelMode, which skips the access check "
              "(Driver Verifier stops with 0xC4, 0xF6), called from " + k.CodeName(WDMSIM_CALLER()));
  }
  ob::Reference(entry.object);
  ob::CountDriverReference(entry.object, WDMSIM_CALLER(), +1);
  *Object = entry.object;
  return STATUS_SUCCESS;
}

}  // extern "C"
