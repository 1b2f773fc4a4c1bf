// User mode of a simulated process: a handle table and the Win32 calls that
// reach a driver. Each call runs the I/O manager's work in the calling
// thread at PASSIVE_LEVEL, as a system call does.
#include <map>

#include "internal.h"

namespace wdmsim {

namespace {

thread_local uint32_t tLastError = ERROR_SUCCESS;

void SetLastError(uint32_t error) { tLastError = error; }

// "\\.\X" is "\??\X" in the object manager's namespace.
std::u16string NtPathOf(std::u16string_view win32Path) {
  if (win32Path.starts_with(u"\\\\.\\")) return u"\\??\\" + std::u16string(win32Path.substr(4));
  return std::u16string(win32Path);
}

}  // namespace

struct Process::Impl {
  std::mutex lock;
  std::map<HANDLE, PFILE_OBJECT> handles;
  uintptr_t nextHandle = 4;
};

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
    for (auto& [handle, file] : impl_->handles) open.push_back(handle);
  }
  for (HANDLE h : open) CloseHandle(h);
}

std::unique_ptr<Process> Kernel::CreateProcess() {
  return std::make_unique<Process>(std::make_unique<Process::Impl>());
}

uint32_t Process::GetLastError() const { return tLastError; }

HANDLE Process::CreateFileW(std::u16string_view path) {
  KernelState& k = K();
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
  ob::Insert(file, std::move(info));

  PDEVICE_OBJECT top = io::AttachedTop(device);
  PIRP irp = io::AllocateTrackedIrp(top, IRP_MJ_CREATE, 0, "IRP_MJ_CREATE");
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  NTSTATUS status = io::SendSynchronous(top, irp);
  if (!NT_SUCCESS(status)) {
    ob::Dereference(file);
    ob::Dereference(device);
    SetLastError(NtStatusToWin32Error(status));
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard lock(impl_->lock);
  auto handle = reinterpret_cast<HANDLE>(impl_->nextHandle);
  impl_->nextHandle += 4;
  impl_->handles[handle] = file;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

bool Process::CloseHandle(HANDLE handle) {
  PFILE_OBJECT file;
  {
    std::lock_guard lock(impl_->lock);
    auto it = impl_->handles.find(handle);
    if (it == impl_->handles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    file = it->second;
    impl_->handles.erase(it);
  }
  // The last handle to a file object: cleanup, then close. Their statuses
  // do not reach the caller.
  PDEVICE_OBJECT device = file->DeviceObject;
  for (UCHAR major : {static_cast<UCHAR>(IRP_MJ_CLEANUP), static_cast<UCHAR>(IRP_MJ_CLOSE)}) {
    PDEVICE_OBJECT top = io::AttachedTop(device);
    PIRP irp = io::AllocateTrackedIrp(top, major, 0, nullptr);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    io::SendSynchronous(top, irp);
  }
  ob::Dereference(file);
  ob::Dereference(device);
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace wdmsim
