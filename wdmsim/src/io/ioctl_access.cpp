// IoValidateDeviceIoControlAccess: whether the caller's handle was granted
// the access a control request needs ("WdmlibIoValidateDeviceIoControlAccess
// function (wdmsec.h)"). The I/O manager records what the handle was
// granted in the request's stack location (user/process.cpp).
#include "internal.h"

using namespace wdmsim;

extern "C" {

// Callable at any IRQL: it reads only the request.
NTSTATUS IoValidateDeviceIoControlAccess(PIRP Irp, ULONG RequiredAccess) {
  constexpr ULONG kReadWrite = FILE_READ_ACCESS | FILE_WRITE_ACCESS;
  if (RequiredAccess == 0 || (RequiredAccess & ~kReadWrite) != 0) return STATUS_INVALID_PARAMETER;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL && stack->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->RequestorMode == KernelMode) return STATUS_SUCCESS;
  if ((RequiredAccess & FILE_READ_ACCESS) && !(stack->Flags & SL_READ_ACCESS_GRANTED)) return STATUS_ACCESS_DENIED;
  if ((RequiredAccess & FILE_WRITE_ACCESS) && !(stack->Flags & SL_WRITE_ACCESS_GRANTED)) return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

}  // extern "C"
