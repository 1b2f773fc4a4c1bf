// The image loader: a driver built for wdmsim is a shared object, loaded as
// the I/O manager loads a .sys. Each load maps a private copy of the file, so
// that it has its own globals even when the same product is loaded again.
// The INF beside the image stands for the device installation that put the
// driver's settings in the registry: what its hardware section sets is kept
// with the image and applied to each device stack (pnp/device_properties.cpp).
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "hal/hal.h"
#include "ldr/trap.h"
#include "internal.h"
#include "pnp/inf.h"
#include "se/security.h"

namespace wdmsim {

namespace {

std::atomic<unsigned> gLoadCounter{0};

// The address range of the loaded object that holds `symbol`.
void FindImageRange(const void* symbol, const void** begin, const void** end) {
  Dl_info info{};
  dladdr(symbol, &info);
  struct Search {
    const void* base;
    uintptr_t lo = 0, hi = 0;
  } search{info.dli_fbase};
  dl_iterate_phdr(
      [](dl_phdr_info* phdr, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        uintptr_t first = UINTPTR_MAX, last = 0;
        for (int i = 0; i < phdr->dlpi_phnum; ++i) {
          const auto& ph = phdr->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          first = std::min<uintptr_t>(first, phdr->dlpi_addr + ph.p_vaddr);
          last = std::max<uintptr_t>(last, phdr->dlpi_addr + ph.p_vaddr + ph.p_memsz);
        }
        if (first == reinterpret_cast<uintptr_t>(s->base) ||
            (reinterpret_cast<uintptr_t>(s->base) >= first && reinterpret_cast<uintptr_t>(s->base) < last)) {
          s->lo = first;
          s->hi = last;
          return 1;
        }
        return 0;
      },
      &search);
  *begin = reinterpret_cast<const void*>(search.lo);
  *end = reinterpret_cast<const void*>(search.hi);
}

// Reads what the INF sets for the devices it installs. A descriptor that
// cannot be parsed fails the load: it must never end up granting access.
void InstallFromInf(auto& impl, const std::string& infPath) {  // a DriverImage::Impl
  pnp::InfDeviceSettings settings = pnp::ReadInfDeviceSettings(infPath);
  if (settings.security) {
    impl.security = std::make_shared<const se::SecurityDescriptor>(se::ParseSddl(*settings.security));
    impl.securitySddl = settings.security;
  }
  impl.deviceCharacteristics = settings.characteristics.value_or(0);
  impl.msiSupported = settings.msiSupported;
}

// A .sys.so: a private copy of the file, opened as a shared object.
PDRIVER_INITIALIZE OpenSharedObject(auto& impl,  // a DriverImage::Impl
                                     const std::string& path) {
  auto dir = std::filesystem::temp_directory_path() / "wdmsim-images";
  std::filesystem::create_directories(dir);
  impl.loadedPath = (dir / (impl.name + "-" + std::to_string(getpid()) + "-" +
                             std::to_string(gLoadCounter++) + ".so"))
                         .string();
  std::filesystem::copy_file(path, impl.loadedPath, std::filesystem::copy_options::overwrite_existing);
  impl.handle = dlopen(impl.loadedPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (impl.handle == nullptr) {
    std::string error = dlerror();
    std::filesystem::remove(impl.loadedPath);
    throw std::runtime_error("wdmsim: cannot load " + path + ": " + error);
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(impl.handle, "DriverEntry"));
  if (entry == nullptr) {
    dlclose(impl.handle);
    std::filesystem::remove(impl.loadedPath);
    throw std::runtime_error("wdmsim: " + path + " has no DriverEntry");
  }
  FindImageRange(reinterpret_cast<const void*>(entry), &impl.codeBegin, &impl.codeEnd);
  return entry;
}

// A .sys: mapped as the kernel's loader maps it, every routine it imports
// bound to a thunk that records the boundary (ldr/imports.h).
PDRIVER_INITIALIZE MapPe(auto& image,  // a DriverImage::Impl
                          const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  image.thunks = std::make_unique<ldr::ImportThunks>(&image);
  auto resolve = [&](const std::string& dll, const std::string& name) -> void* {
    void* target = ldr::KernelExport(dll, name);
    if (target == nullptr || name == "ExEventObjectType") return target;  // a data import: no thunk
    return image.thunks->Make(target);
  };
  try {
    image.pe = ldr::PeImage::Map(file, std::filesystem::path(path).filename().string(), resolve);
  } catch (const std::runtime_error& e) {
    image.thunks.reset();
    throw std::runtime_error(std::string("wdmsim: cannot load ") + e.what());
  }
  image.thunks->Seal();
  image.pe->LoadMap(std::filesystem::path(path).replace_extension(".map").string());
  ldr::RegisterImageCode(image.pe->base(), image.pe->size(), image.name.c_str(), image.pe.get());
  image.codeBegin = image.pe->base();
  image.codeEnd = image.pe->base() + image.pe->size();
  return reinterpret_cast<PDRIVER_INITIALIZE>(image.pe->entryPoint());
}

bool IsPeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[2] = {};
  in.read(magic, 2);
  return in && magic[0] == 'M' && magic[1] == 'Z';
}

}  // namespace

std::string KernelState::CodeName(const void* address) {
  DriverImage* image = ImageForAddress(address);
  if (image == nullptr || !image->impl().Contains(address)) return "0x" + Hex(reinterpret_cast<uintptr_t>(address));
  const auto& impl = image->impl();
  char where[64];
  std::snprintf(where, sizeof where, "+0x%lX",
                static_cast<unsigned long>(static_cast<const char*>(address) - static_cast<const char*>(impl.codeBegin)));
  std::string function;
  if (impl.pe) {
    function = impl.pe->FunctionAt(address);
  } else if (Dl_info info{}; dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
    char offset[24];
    std::snprintf(offset, sizeof offset, "+0x%lX",
                  static_cast<unsigned long>(static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr)));
    function = ldr::FunctionName(info.dli_sname) + offset;
  }
  return impl.name + where + (function.empty() ? "" : " (" + function + ")");
}

DriverImage* KernelState::ImageForAddress(const void* address) {
  for (auto& image : images) {
    if (image->impl().Contains(address)) return image.get();
  }
  // A PE image that tail-called a kernel routine left its own caller's
  // return address on the stack; the thunk it went through still knows it.
  if (const ldr::ImportBoundary* call = ldr::InnermostImportCall(); call != nullptr && call->returnAddress == address) {
    for (auto& image : images) {
      if (&image->impl() == call->image) return image.get();
    }
  }
  return nullptr;
}

void DriverImage::Impl::Unmap() {
  if (pe) ldr::UnregisterImageCode(pe->base());
  pe.reset();
  thunks.reset();
  if (handle == nullptr) return;
  dlclose(handle);
  handle = nullptr;
  std::error_code ignored;
  std::filesystem::remove(loadedPath, ignored);
}

DriverImage::DriverImage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DriverImage::~DriverImage() = default;
const std::string& DriverImage::name() const { return impl_->name; }
PDRIVER_OBJECT DriverImage::driverObject() const { return &impl_->driverObject; }
std::optional<std::string> DriverImage::securitySddl() const { return impl_->securitySddl; }
uint32_t DriverImage::deviceCharacteristics() const { return impl_->deviceCharacteristics; }

std::string DriverImage::DbgOutput() const {
  std::lock_guard lock(impl_->dbgLock);
  return impl_->dbg;
}

std::vector<std::string> DriverImage::DbgLines() const {
  std::vector<std::string> lines;
  std::string text = DbgOutput();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void DriverImage::ClearDbgOutput() {
  std::lock_guard lock(impl_->dbgLock);
  impl_->dbg.clear();
}

DriverImage& Kernel::LoadDriver(const std::string& path, const std::string& serviceName) {
  ClockScope scope(*state_);
  KernelState& k = *state_;
  auto impl = std::make_unique<DriverImage::Impl>();
  impl->originalPath = path;
  impl->name = serviceName.empty() ? std::filesystem::path(path).stem().string() : serviceName;
  // Strip the ".sys" of "<Product>.sys.so".
  if (auto dot = impl->name.find('.'); serviceName.empty() && dot != std::string::npos) {
    impl->name.resize(dot);
  }
  if (std::string inf = pnp::InfPathBeside(path); std::filesystem::exists(inf)) InstallFromInf(*impl, inf);

  PDRIVER_INITIALIZE entry = IsPeFile(path) ? MapPe(*impl, path) : OpenSharedObject(*impl, path);


  DRIVER_OBJECT& driver = impl->driverObject;
  driver.Type = 4;
  driver.Size = sizeof(DRIVER_OBJECT);
  driver.DriverExtension = &impl->driverExtension;
  impl->driverExtension.DriverObject = &driver;
  impl->driverName = u"\\Driver\\" + Widen(impl->name);
  driver.DriverName.Buffer = reinterpret_cast<PWSTR>(impl->driverName.data());
  driver.DriverName.Length = static_cast<USHORT>(impl->driverName.size() * 2);
  driver.DriverName.MaximumLength = driver.DriverName.Length;
  driver.DriverStart = const_cast<void*>(impl->codeBegin);
  driver.DriverSize = static_cast<ULONG>(static_cast<const char*>(impl->codeEnd) -
                                         static_cast<const char*>(impl->codeBegin));
  driver.DriverInit = entry;
  for (auto& major : driver.MajorFunction) major = io::InvalidDeviceRequest;

  k.images.push_back(std::unique_ptr<DriverImage>(new DriverImage(std::move(impl))));
  DriverImage& image = *k.images.back();

  std::u16string registryPath =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(image.name());
  UNICODE_STRING registry{static_cast<USHORT>(registryPath.size() * 2),
                          static_cast<USHORT>(registryPath.size() * 2),
                          reinterpret_cast<PWSTR>(registryPath.data())};
  NTSTATUS status = ldr::CallDriver(entry, &image.impl().driverObject, &registry);
  if (!NT_SUCCESS(status)) {
    UnloadDriver(image);
    throw std::runtime_error("wdmsim: DriverEntry of " + path + " failed with 0x" + Hex(static_cast<ULONG>(status)));
  }
  return image;
}

// A driver whose code is part of the calling program (a test's own small
// driver): it has a driver object and DriverEntry runs as for an image, but
// there is nothing to map, so no code range and no private globals.
DriverImage& Kernel::LoadBuiltInDriver(const std::string& name, PDRIVER_INITIALIZE driverEntry,
                                       const std::string& infPath) {
  ClockScope scope(*state_);
  KernelState& k = *state_;
  auto impl = std::make_unique<DriverImage::Impl>();
  impl->name = name;
  if (!infPath.empty()) InstallFromInf(*impl, infPath);
  DRIVER_OBJECT& driver = impl->driverObject;
  driver.Type = 4;
  driver.Size = sizeof(DRIVER_OBJECT);
  driver.DriverExtension = &impl->driverExtension;
  impl->driverExtension.DriverObject = &driver;
  impl->driverName = u"\\Driver\\" + Widen(name);
  driver.DriverName.Buffer = reinterpret_cast<PWSTR>(impl->driverName.data());
  driver.DriverName.Length = static_cast<USHORT>(impl->driverName.size() * 2);
  driver.DriverName.MaximumLength = driver.DriverName.Length;
  driver.DriverInit = driverEntry;
  for (auto& major : driver.MajorFunction) major = io::InvalidDeviceRequest;
  k.images.push_back(std::unique_ptr<DriverImage>(new DriverImage(std::move(impl))));
  DriverImage& image = *k.images.back();

  std::u16string registryPath =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(name);
  UNICODE_STRING registry{static_cast<USHORT>(registryPath.size() * 2),
                          static_cast<USHORT>(registryPath.size() * 2),
                          reinterpret_cast<PWSTR>(registryPath.data())};
  NTSTATUS status = driverEntry(&image.impl().driverObject, &registry);
  if (!NT_SUCCESS(status)) {
    UnloadDriver(image);
    throw std::runtime_error("wdmsim: DriverEntry of " + name + " failed with 0x" + Hex(static_cast<ULONG>(status)));
  }
  return image;
}

std::string Kernel::UnloadDriver(DriverImage& image) {
  ClockScope scope(*state_);
  KernelState& k = *state_;
  auto& impl = image.impl();
  PDRIVER_OBJECT driver = &impl.driverObject;
  {
    std::lock_guard lock(k.objects);
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
      k.Finding(image.name() + ": unloaded while device " +
                Narrow(ob::Find(d) ? ob::Find(d)->name : u"(unnamed)") + " still exists");
    }
    // A deleted device whose memory is still there: someone kept a
    // reference (IoGetAttachedDeviceReference without ObDereferenceObject).
    for (const auto& [object, info] : k.objectTable) {
      if (info.type == ObjectType::Device && info.deleted && info.owner == &image) {
        k.Finding(image.name() + ": unloaded while deleted device " + Narrow(info.name) + " still has " +
                  std::to_string(info.references) + " reference(s)");
      }
    }
    for (auto& [name, link] : k.links) {
      if (link.creator == &image) {
        k.Finding(image.name() + ": unloaded with symbolic link " + Narrow(name) + " still present");
      }
    }
  }
  if (driver->DriverUnload != nullptr && driver->DeviceObject == nullptr) {
    ldr::CallDriver(driver->DriverUnload, driver);
  }
  for (const auto& leak : ke::ForgetTimersAndDpcsWithCodeIn(impl.codeBegin, impl.codeEnd)) {
    k.Finding(image.name() + ": unloaded with " + leak);
  }
  for (const auto& leak : hal::LeaksForImage(image)) k.Finding(leak);
  for (const auto& held : ob::ReferencesHeldBy(image)) k.Finding(image.name() + ": unloaded with " + held);
  {
    // A driver that raised the timer resolution withdraws it before it
    // unloads ("ExSetTimerResolution function (wdm.h)": every call with
    // SetResolution TRUE is matched by one with FALSE); the request stays,
    // as the clock stays fast on Windows. A built-in driver's requests are
    // unattributed, like its references.
    std::lock_guard lock(k.resolutionLock);
    const void* requester = impl.codeBegin == nullptr ? nullptr : &image;
    if (k.resolutionRequests.count(requester) != 0) {
      k.Finding(image.name() + ": unloaded with its ExSetTimerResolution request still held (SetResolution FALSE "
                               "missing)");
    }
  }
  bool stillUsed = driver->DeviceObject != nullptr;
  if (!stillUsed) impl.Unmap();
  std::string output = image.DbgOutput();
  for (auto it = k.images.begin(); it != k.images.end(); ++it) {
    if (it->get() == &image) {
      if (stillUsed) {
        // Its code is still reachable through the devices: keep it mapped.
        it->release();
      }
      k.images.erase(it);
      break;
    }
  }
  return output;
}

}  // namespace wdmsim
