// User mode of a simulated process: a handle table and the Win32 calls that
// reach a driver. Each call runs the I/O manager's work in the calling
// thread at PASSIVE_LEVEL, as a system call does.
//
// Notes:
//  1. For METHOD_BUFFERED the system buffer beyond the input is filled with
//     0xCD, standing in for the stale pool contents Windows leaves there, so
//     a driver that returns bytes it never wrote is caught by the tests.
//  2. Output is copied back only for success and warning statuses, and never
//     more than the output buffer's length; a driver whose Information
//     exceeds that length is reported (Windows would overrun the caller).
//  3. Opening a device whose stack was surprise-removed fails with
//     STATUS_DELETE_PENDING, as on Windows. The check and the new file
//     object are one step under the PnP guard: otherwise a close elsewhere
//     could send the remove request while this open's requests still run
//     (found by the PnP stress test: a close request outstanding at deletion).
#include <cstring>
#include <map>
#include <vector>

#include "internal.h"
#include "user/process_impl.h"

namespace wdmsim {

namespace {

thread_local uint32_t tLastError = ERROR_SUCCESS;
constexpr UCHAR kStaleSystemBufferByte = 0xCD;

void SetLastError(uint32_t error) { tLastError = error; }

// "\\.\X" is "\??\X" in the object manager's namespace.
std::u16string NtPathOf(std::u16string_view win32Path) {
  if (win32Path.starts_with(u"\\\\.\\")) return u"\\??\\" + std::u16string(win32Path.substr(4));
  return std::u16string(win32Path);
}

thread_local Process* tCurrentProcess = nullptr;

// The process a system call runs in, for the duration of the call.
class ProcessContext {
 public:
  explicit ProcessContext(Process* p) : previous_(tCurrentProcess) { tCurrentProcess = p; }
  ~ProcessContext() { tCurrentProcess = previous_; }

 private:
  Process* previous_;
};

}  // namespace

Process* CurrentProcess() { return tCurrentProcess; }

void AbandonHandles(Process& process) {
  std::lock_guard lock(process.impl().lock);
  process.impl().handles.clear();
}

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process() {
  // Handles still open when a process ends are closed by the system.
  std::vector<HANDLE> open;
  {
    std::lock_guard lock(impl_->lock);
    for (auto& [handle, entry] : impl_->handles) open.push_back(handle);
  }
  for (HANDLE h : open) CloseHandle(h);
  ReportLockedPagesAtExit(*this);
}

std::unique_ptr<Process> Kernel::CreateProcess() {
  return std::make_unique<Process>(std::make_unique<Process::Impl>());
}

uint32_t Process::GetLastError() const { return tLastError; }

void Process::RunInContext(const std::function<void()>& work) {
  ProcessContext context(this);
  work();
}

HANDLE Process::Impl::Insert(ObjectType type, void* object) {
  std::lock_guard guard(lock);
  auto handle = reinterpret_cast<HANDLE>(nextHandle);
  nextHandle += 4;
  handles[handle] = HandleEntry{type, object};
  return handle;
}

bool Process::Impl::Lookup(HANDLE handle, HandleEntry* entry) {
  std::lock_guard guard(lock);
  auto it = handles.find(handle);
  if (it == handles.end()) return false;
  *entry = it->second;
  return true;
}

HANDLE Process::CreateFileW(std::u16string_view path) {
  KernelState& k = K();
  ProcessContext context(this);
  std::u16string ntPath = NtPathOf(path);
  PDEVICE_OBJECT device = nullptr;
  {
    std::lock_guard lock(k.objects);
    std::u16string key = NameKey(ntPath);
    if (auto link = k.links.find(key); link != k.links.end()) key = NameKey(link->second.target);
    if (auto it = k.deviceNames.find(key); it != k.deviceNames.end()) device = it->second;
    if (device == nullptr) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (device->Flags & DO_DEVICE_INITIALIZING) {
      SetLastError(NtStatusToWin32Error(STATUS_NO_SUCH_DEVICE));
      return INVALID_HANDLE_VALUE;
    }
    ob::Reference(device);
  }

  auto* file = new FILE_OBJECT{};
  file->Type = 5;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  ObjectInfo info;
  info.type = ObjectType::File;
  info.free = [file] { delete file; };
  {
    // Note 3: a surprise-removed stack takes no new opens, and the file
    // object is counted before the last close can decide on the removal.
    std::lock_guard guard(k.pnpLocksGuard);
    if (pnp::RemovalPendingLocked(device)) {
      delete file;
      ob::Dereference(device);
      SetLastError(NtStatusToWin32Error(STATUS_DELETE_PENDING));
      return INVALID_HANDLE_VALUE;
    }
    ob::Insert(file, std::move(info));
  }

  PDEVICE_OBJECT top = io::AttachedTop(device);
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_CREATE, 0, "IRP_MJ_CREATE");
  irp->RequestorMode = UserMode;
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  NTSTATUS status = io::SendSynchronous(top, irp);
  if (!NT_SUCCESS(status)) {
    ob::Dereference(file);
    ob::Dereference(device);
    SetLastError(NtStatusToWin32Error(status));
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return impl_->Insert(ObjectType::File, file);
}

bool Process::CloseHandle(HANDLE handle) {
  ProcessContext context(this);
  HandleEntry entry;
  {
    std::lock_guard lock(impl_->lock);
    auto it = impl_->handles.find(handle);
    if (it == impl_->handles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    entry = it->second;
    impl_->handles.erase(it);
  }
  if (entry.type == ObjectType::Event) {
    ob::Dereference(entry.object);
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  // The last handle to a file object: cleanup, then close. Their statuses
  // do not reach the caller.
  auto* file = static_cast<PFILE_OBJECT>(entry.object);
  PDEVICE_OBJECT device = file->DeviceObject;
  for (UCHAR major : {static_cast<UCHAR>(IRP_MJ_CLEANUP), static_cast<UCHAR>(IRP_MJ_CLOSE)}) {
    PDEVICE_OBJECT top = io::AttachedTop(device);
    PIRP irp = io::AllocateTrackedIrp(top, major, 0, nullptr);
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    io::SendSynchronous(top, irp);
  }
  ob::Dereference(file);
  pnp::HandleClosed(device);
  ob::Dereference(device);
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool Process::DeviceIoControl(HANDLE device, uint32_t code, const void* in, uint32_t inLength, void* out,
                              uint32_t outLength, uint32_t* bytesReturned) {
  KernelState& k = K();
  ProcessContext context(this);
  HandleEntry entry;
  if (!impl_->Lookup(device, &entry) || entry.type != ObjectType::File) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  auto* file = static_cast<PFILE_OBJECT>(entry.object);
  PDEVICE_OBJECT top = io::AttachedTop(file->DeviceObject);
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_DEVICE_CONTROL, 0, "IRP_MJ_DEVICE_CONTROL");
  irp->RequestorMode = UserMode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->FileObject = file;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  irp->Tail.Overlay.OriginalFileObject = file;

  const uint32_t method = code & 3;
  std::vector<UCHAR> systemBuffer;
  if (method == METHOD_BUFFERED) {
    size_t size = std::max(inLength, outLength);
    if (size != 0) {
      systemBuffer.assign(size, kStaleSystemBufferByte);  // note 1
      if (inLength != 0 && in != nullptr) std::memcpy(systemBuffer.data(), in, inLength);
      irp->AssociatedIrp.SystemBuffer = systemBuffer.data();
    }
  } else if (method == METHOD_NEITHER) {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
    irp->UserBuffer = out;
  } else {
    // Direct I/O: the input is buffered, the output is described by an MDL.
    if (inLength != 0 && in != nullptr) {
      systemBuffer.assign(inLength, 0);
      std::memcpy(systemBuffer.data(), in, inLength);
      irp->AssociatedIrp.SystemBuffer = systemBuffer.data();
    }
    if (outLength != 0 && out != nullptr) irp->MdlAddress = IoAllocateMdl(out, outLength, FALSE, FALSE, nullptr);
    irp->UserBuffer = out;
  }

  ULONG_PTR information = 0;
  PMDL mdl = irp->MdlAddress;
  NTSTATUS status = io::SendSynchronous(top, irp, &information);
  if (mdl != nullptr) IoFreeMdl(mdl);

  uint32_t returned = 0;
  if (!NT_ERROR(status)) {  // note 2
    if (method == METHOD_BUFFERED) {
      if (information > outLength) {
        k.Finding("IRP_MJ_DEVICE_CONTROL 0x" + Hex(code).substr(8) + " completed with Information " +
                  std::to_string(information) + " larger than the output buffer (" + std::to_string(outLength) +
                  " bytes)");
      }
      returned = static_cast<uint32_t>(std::min<ULONG_PTR>(information, outLength));
      if (returned != 0 && out != nullptr) std::memcpy(out, systemBuffer.data(), returned);
    } else {
      returned = static_cast<uint32_t>(information);
    }
  }
  if (bytesReturned != nullptr) *bytesReturned = returned;
  if (!NT_SUCCESS(status)) {
    SetLastError(NtStatusToWin32Error(status));
    return false;
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

HANDLE Process::CreateEventW(bool manualReset, bool initialState) {
  auto* event = new KEVENT;
  KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
  ObjectInfo info;
  info.type = ObjectType::Event;
  info.free = [event] { delete event; };
  ob::Insert(event, std::move(info));
  SetLastError(ERROR_SUCCESS);
  return impl_->Insert(ObjectType::Event, event);
}

bool Process::SetEvent(HANDLE event) {
  HandleEntry entry;
  if (!impl_->Lookup(event, &entry) || entry.type != ObjectType::Event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  KeSetEvent(static_cast<PKEVENT>(entry.object), IO_NO_INCREMENT, FALSE);
  return true;
}

bool Process::ResetEvent(HANDLE event) {
  HandleEntry entry;
  if (!impl_->Lookup(event, &entry) || entry.type != ObjectType::Event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  KeClearEvent(static_cast<PKEVENT>(entry.object));
  return true;
}

uint32_t Process::WaitForSingleObject(HANDLE handle, uint32_t milliseconds) {
  HandleEntry entry;
  if (!impl_->Lookup(handle, &entry) || entry.type != ObjectType::Event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  // Hold a reference for the wait: the handle may be closed meanwhile.
  ob::Reference(entry.object);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  NTSTATUS status = KeWaitForSingleObject(entry.object, UserRequest, UserMode, FALSE,
                                          milliseconds == INFINITE ? nullptr : &timeout);
  ob::Dereference(entry.object);
  return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

}  // namespace wdmsim
