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
//  4. An open is checked as the I/O manager checks it when it parses a
//     device's name ("Controlling Device Namespace Access"): against the
//     device object's descriptor when nothing follows the device's name, and
//     with a remaining name only if the device has FILE_DEVICE_SECURE_OPEN;
//     otherwise the remaining name is the driver's to judge. A refused open
//     sends no request. The handle keeps the access granted.
//  5. A control code names the access it needs in bits 14-15; a handle
//     without it is refused before any request is built. The request's stack
//     location carries what the handle was granted, for
//     IoValidateDeviceIoControlAccess (as NtDeviceIoControlFile does).
//  6. Every request a call sends is in the thread table while it runs, so
//     that CancelSynchronousIo from another thread reaches it.
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "internal.h"
#include "se/security.h"
#include "user/process_impl.h"

namespace wdmsim {

namespace {

thread_local uint32_t tLastError = ERROR_SUCCESS;
// The status the last failed system call of this thread ended with, as
// ntdll keeps it beside the Win32 error (RtlGetLastNtStatus).
thread_local NTSTATUS tLastStatus = STATUS_SUCCESS;
constexpr UCHAR kStaleSystemBufferByte = 0xCD;
constexpr uint32_t kEventAllAccess = 0x001F0003;

// A failure the I/O manager itself reports has no status of the driver's.
void SetLastError(uint32_t error) {
  tLastError = error;
  tLastStatus = STATUS_SUCCESS;
}
void SetLastStatus(NTSTATUS status) {
  tLastStatus = status;
  tLastError = NtStatusToWin32Error(status);
}

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

// The file object of an open; `remaining` is what followed the device's
// name, the FileName the driver sees.
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, std::u16string_view remaining) {
  auto* file = new FILE_OBJECT{};
  file->Type = 5;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  if (!remaining.empty()) {
    auto* buffer = new WCHAR[remaining.size() + 1];
    std::copy(remaining.begin(), remaining.end(), buffer);
    buffer[remaining.size()] = 0;
    file->FileName.Buffer = buffer;
    file->FileName.Length = static_cast<USHORT>(remaining.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = static_cast<USHORT>(file->FileName.Length + sizeof(WCHAR));
  }
  return file;
}

void DeleteFileObject(PFILE_OBJECT file) {
  delete[] file->FileName.Buffer;
  delete file;
}

// Note 6.
NTSTATUS SendForThread(const Process* process, PDEVICE_OBJECT top, PIRP irp, ULONG_PTR* information = nullptr) {
  io::BeginThreadIrp(irp, process);
  return io::SendSynchronous(top, irp, information);
}

// IRP_MJ_CLEANUP or IRP_MJ_CLOSE for a file object, from the process.
void SendFileRequest(const Process* process, PFILE_OBJECT file, UCHAR major) {
  PDEVICE_OBJECT top = io::AttachedTop(file->DeviceObject);
  PIRP irp = io::AllocateTrackedIrp(top, major, 0, nullptr);
  irp->RequestorMode = UserMode;
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  SendForThread(process, top, irp);
}

// The close request, and the file object and its device let go.
void CloseFile(const Process* process, PFILE_OBJECT file) {
  PDEVICE_OBJECT device = file->DeviceObject;
  SendFileRequest(process, file, IRP_MJ_CLOSE);
  ob::Dereference(file);
  pnp::HandleClosed(device);
  ob::Dereference(device);
}

// A request on `file` ends: the close it held back, if any, goes now.
void EndFileRequest(Process* process, void* file) {
  Process::Impl& impl = process->impl();
  {
    std::lock_guard lock(impl.lock);
    auto it = impl.fileUses.find(file);
    if (it == impl.fileUses.end() || --it->second.requests > 0) return;
    const bool closeDue = it->second.closeDue;
    impl.fileUses.erase(it);
    if (!closeDue) return;
  }
  CloseFile(process, static_cast<PFILE_OBJECT>(file));
}

}  // namespace

Process* CurrentProcess() { return tCurrentProcess; }

void AbandonHandles(Process& process) {
  std::lock_guard lock(process.impl().lock);
  process.impl().handles.clear();
}

Process::Process(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process() {
  std::optional<ClockScope> scope;
  if (KernelState* k = KOrNull()) scope.emplace(*k);
  // Handles still open when a process ends are closed by the system.
  std::vector<HANDLE> open;
  {
    std::lock_guard lock(impl_->lock);
    for (auto& [handle, entry] : impl_->handles) open.push_back(handle);
  }
  for (HANDLE h : open) CloseHandle(h);
  ReportLockedPagesAtExit(*this);
}

std::unique_ptr<Process> Kernel::CreateProcess(Token token) {
  auto impl = std::make_unique<Process::Impl>();
  impl->token = token;
  return std::make_unique<Process>(std::move(impl));
}

Token Process::token() const { return impl_->token; }

bool Process::CancelSynchronousIo(std::thread::id thread) {
  ClockScope scope(K());
  if (io::CancelThreadIo(this, thread)) return true;
  SetLastError(ERROR_NOT_FOUND);
  return false;
}

uint32_t Process::GetLastError() const { return tLastError; }
NTSTATUS Process::GetLastNtStatus() const { return tLastStatus; }

void Process::RunInContext(const std::function<void()>& work) {
  ClockScope scope(K());
  ProcessContext context(this);
  work();
}

HANDLE Process::Impl::Insert(ObjectType type, void* object, uint32_t access) {
  std::lock_guard guard(lock);
  auto handle = reinterpret_cast<HANDLE>(nextHandle);
  nextHandle += 4;
  handles[handle] = HandleEntry{type, object, access};
  return handle;
}

bool Process::Impl::Lookup(HANDLE handle, HandleEntry* entry) {
  std::lock_guard guard(lock);
  auto it = handles.find(handle);
  if (it == handles.end()) return false;
  *entry = it->second;
  return true;
}

HANDLE Process::CreateFileW(std::u16string_view path, uint32_t desiredAccess) {
  ClockScope scope(K());
  KernelState& k = K();
  ProcessContext context(this);
  // CreateFile asks for these whatever the caller asks for ("CreateFileW
  // function (fileapi.h)"): a handle opened with access 0 still has them.
  const uint32_t desired = se::MapGenericFileAccess(desiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
  PDEVICE_OBJECT device = nullptr;
  std::u16string remaining;
  uint32_t granted = desired;
  {
    std::lock_guard lock(k.objects);
    device = io::ResolveDeviceLocked(NtPathOf(path), &remaining);
    if (device == nullptr) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    // A device whose AddDevice is still running is not there yet (note in
    // pnp/manager.cpp); any other may have its flags changed by its driver.
    const ObjectInfo* made = ob::Find(device);
    if ((made != nullptr && made->inAddDevice) || (Glance(device->Flags) & DO_DEVICE_INITIALIZING)) {
      SetLastStatus(STATUS_NO_SUCH_DEVICE);
      return INVALID_HANDLE_VALUE;
    }
    if (remaining.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN)) {  // note 4
      const ObjectInfo* info = ob::Find(device);
      se::AccessResult check = se::AccessCheck(info != nullptr ? info->security.get() : nullptr, impl_->token, desired);
      if (!NT_SUCCESS(check.status)) {
        SetLastStatus(check.status);
        return INVALID_HANDLE_VALUE;
      }
      granted = check.granted;
    }
    ob::Reference(device);
  }

  PFILE_OBJECT file = NewFileObject(device, remaining);
  ObjectInfo info;
  info.type = ObjectType::File;
  info.free = [file] { DeleteFileObject(file); };
  {
    // Note 3: a surprise-removed stack takes no new opens, and the file
    // object is counted before the last close can decide on the removal.
    std::lock_guard guard(k.pnpLocksGuard);
    if (pnp::RemovalPendingLocked(device)) {
      DeleteFileObject(file);
      ob::Dereference(device);
      SetLastStatus(STATUS_DELETE_PENDING);
      return INVALID_HANDLE_VALUE;
    }
    ob::Insert(file, std::move(info));
  }

  PDEVICE_OBJECT top = io::AttachedTop(device);
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_CREATE, 0, "IRP_MJ_CREATE");
  irp->RequestorMode = UserMode;
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  NTSTATUS status = SendForThread(this, top, irp);
  if (!NT_SUCCESS(status)) {
    ob::Dereference(file);
    ob::Dereference(device);
    SetLastStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return impl_->Insert(ObjectType::File, file, granted);
}

bool Process::CloseHandle(HANDLE handle) {
  ClockScope scope(K());
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
  // The last handle to a file object: cleanup now, close once no request
  // holds the file object any more ("IRP_MJ_CLEANUP": a driver gets the
  // close only after every request on the file object has completed).
  // Their statuses do not reach the caller.
  auto* file = static_cast<PFILE_OBJECT>(entry.object);
  SendFileRequest(this, file, IRP_MJ_CLEANUP);
  {
    std::lock_guard lock(impl_->lock);
    auto it = impl_->fileUses.find(file);
    if (it != impl_->fileUses.end() && it->second.requests > 0) {
      it->second.closeDue = true;  // EndFileRequest sends it
      SetLastError(ERROR_SUCCESS);
      return true;
    }
    impl_->fileUses.erase(file);
  }
  CloseFile(this, file);
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool Process::DeviceIoControl(HANDLE device, uint32_t code, const void* in, uint32_t inLength, void* out,
                              uint32_t outLength, uint32_t* bytesReturned) {
  ClockScope scope(K());
  KernelState& k = K();
  ProcessContext context(this);
  HandleEntry entry;
  {
    // The request holds the file object from the handle's lookup on, so a
    // close of the handle meanwhile waits for it (CloseHandle).
    std::lock_guard lock(impl_->lock);
    auto it = impl_->handles.find(device);
    if (it == impl_->handles.end() || it->second.type != ObjectType::File) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    entry = it->second;
    ++impl_->fileUses[entry.object].requests;
  }
  struct Hold {
    Process* process;
    void* file;
    ~Hold() { EndFileRequest(process, file); }
  } hold{this, entry.object};
  const uint32_t required = (code >> 14) & 3;  // note 5
  if (((required & FILE_READ_ACCESS) && !(entry.access & FILE_READ_DATA)) ||
      ((required & FILE_WRITE_ACCESS) && !(entry.access & FILE_WRITE_DATA))) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    SetLastStatus(STATUS_ACCESS_DENIED);
    return false;
  }
  auto* file = static_cast<PFILE_OBJECT>(entry.object);
  PDEVICE_OBJECT top = io::AttachedTop(file->DeviceObject);
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_DEVICE_CONTROL, 0, "IRP_MJ_DEVICE_CONTROL");
  irp->RequestorMode = UserMode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Flags = static_cast<UCHAR>(((entry.access & FILE_READ_DATA) ? SL_READ_ACCESS_GRANTED : 0) |
                                    ((entry.access & FILE_WRITE_DATA) ? SL_WRITE_ACCESS_GRANTED : 0));
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
  NTSTATUS status = SendForThread(this, top, irp, &information);
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
    SetLastStatus(status);
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
  KernelState& k = K();
  {
    std::lock_guard lock(k.dispatcher);
    k.userEventSets[event] = 0;
  }
  info.free = [event] {
    if (KernelState* k = KOrNull()) {
      std::lock_guard lock(k->dispatcher);
      k->userEventSets.erase(event);
    }
    delete event;
  };
  ob::Insert(event, std::move(info));
  SetLastError(ERROR_SUCCESS);
  return impl_->Insert(ObjectType::Event, event, kEventAllAccess);
}

HANDLE Process::DuplicateEvent(HANDLE event, uint32_t access) {
  HandleEntry entry;
  if (!impl_->Lookup(event, &entry) || entry.type != ObjectType::Event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ob::Reference(entry.object);
  SetLastError(ERROR_SUCCESS);
  return impl_->Insert(ObjectType::Event, entry.object, access & entry.access);
}

uint64_t Process::TimesSet(HANDLE event) {
  HandleEntry entry;
  if (!impl_->Lookup(event, &entry) || entry.type != ObjectType::Event) return 0;
  KernelState& k = K();
  std::lock_guard lock(k.dispatcher);
  auto it = k.userEventSets.find(static_cast<const KEVENT*>(entry.object));
  return it == k.userEventSets.end() ? 0 : it->second;
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
  ClockScope scope(K());
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
