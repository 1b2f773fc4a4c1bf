// Mapping a PE32+ kernel image (ldr/pe_image.h).
#include "ldr/pe_image.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "wdmsim/ntddk.h"

namespace wdmsim::ldr {

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kDirExceptions = 3, kDirImports = 1, kDirRelocations = 5;
constexpr uint32_t kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;
constexpr uint16_t kRelAbsolute = 0, kRelDir64 = 10;
constexpr size_t kMaxImportDescriptors = 64, kMaxImportsPerDll = 4096;

std::string HexText(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

// Little-endian fields of a byte range, every read bounds-checked.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size, const std::string& label) : data_(data), size_(size), label_(label) {}
  bool Has(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }
  void Need(uint64_t offset, uint64_t length, const char* what) const {
    if (!Has(offset, length)) Fail(std::string(what) + " lies outside the image");
  }
  template <class T>
  T Get(uint64_t offset, const char* what) const {
    Need(offset, sizeof(T), what);
    T value;
    std::memcpy(&value, data_ + offset, sizeof(T));
    return value;
  }
  std::string String(uint64_t offset, const char* what) const {
    std::string s;
    for (uint64_t i = offset;; ++i) {
      if (i >= size_ || s.size() > 256) Fail(std::string(what) + " is not a terminated name");
      if (data_[i] == 0) return s;
      s.push_back(static_cast<char>(data_[i]));
    }
  }
  [[noreturn]] void Fail(const std::string& why) const { throw std::runtime_error(label_ + ": " + why); }

 private:
  const uint8_t* data_;
  size_t size_;
  const std::string& label_;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

}  // namespace

PeImage::~PeImage() {
  if (base_ != nullptr) munmap(base_, size_);
}

std::unique_ptr<PeImage> PeImage::Map(std::span<const uint8_t> fileBytes, const std::string& label,
                                      const ImportResolver& resolve) {
  const Bytes file(fileBytes.data(), fileBytes.size(), label);
  // Headers (note 1).
  if (!file.Has(0, 64) || file.Get<uint16_t>(0, "the DOS header") != 0x5A4D) file.Fail("not an image (no MZ header)");
  const uint32_t pe = file.Get<uint32_t>(0x3C, "the PE header offset");
  if (file.Get<uint32_t>(pe, "the PE signature") != 0x00004550) file.Fail("not an image (no PE signature)");
  const uint64_t coff = pe + 4ull;
  const uint16_t machine = file.Get<uint16_t>(coff, "the COFF header");
  if (machine != kMachineAmd64) file.Fail("not an x64 image (machine " + HexText(machine) + ")");
  const uint16_t sectionCount = file.Get<uint16_t>(coff + 2, "the COFF header");
  const uint16_t optionalSize = file.Get<uint16_t>(coff + 16, "the COFF header");
  const uint64_t opt = coff + 20;
  file.Need(opt, optionalSize, "the optional header");
  if (optionalSize < 112 || file.Get<uint16_t>(opt, "the optional header") != kMagicPe32Plus) {
    file.Fail("not a PE32+ image");
  }
  const uint32_t entryRva = file.Get<uint32_t>(opt + 16, "the entry point");
  const uint64_t preferred = file.Get<uint64_t>(opt + 24, "the image base");
  const uint32_t sectionAlignment = file.Get<uint32_t>(opt + 32, "the section alignment");
  const uint32_t imageSize = file.Get<uint32_t>(opt + 56, "the image size");
  const uint32_t headerSize = file.Get<uint32_t>(opt + 60, "the header size");
  const uint32_t directoryCount =
      std::min<uint32_t>(file.Get<uint32_t>(opt + 108, "the directory count"), (optionalSize - 112) / 8);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (sectionAlignment < page) file.Fail("section alignment " + HexText(sectionAlignment) + " is below a page");
  if (imageSize == 0 || headerSize == 0 || headerSize > imageSize || !file.Has(0, headerSize)) {
    file.Fail("image size " + HexText(imageSize) + " or header size " + HexText(headerSize) + " is wrong");
  }
  if (entryRva == 0 || entryRva >= imageSize) file.Fail("entry point " + HexText(entryRva) + " is outside the image");
  const uint64_t sectionTable = opt + optionalSize;
  file.Need(sectionTable, uint64_t{sectionCount} * 40, "the section table");
  auto directory = [&](uint32_t index) {
    if (index >= directoryCount) return Directory{};
    const uint64_t d = opt + 112 + 8ull * index;
    return Directory{file.Get<uint32_t>(d, "a data directory"), file.Get<uint32_t>(d + 4, "a data directory")};
  };

  std::unique_ptr<PeImage> image(new PeImage());
  image->size_ = (imageSize + page - 1) / page * page;
  void* mapping = mmap(nullptr, image->size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) file.Fail("cannot map " + HexText(image->size_) + " bytes");
  image->base_ = static_cast<uint8_t*>(mapping);
  image->preferredBase_ = preferred;
  image->entryRva_ = entryRva;
  uint8_t* const base = image->base_;
  std::memcpy(base, fileBytes.data(), headerSize);

  // Sections at their RVAs; what the file does not hold stays zero.
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const uint64_t s = sectionTable + 40ull * i;
    char name[9] = {};
    std::memcpy(name, fileBytes.data() + s, 8);
    const uint32_t virtualSize = file.Get<uint32_t>(s + 8, "a section header");
    const uint32_t rva = file.Get<uint32_t>(s + 12, "a section header");
    const uint32_t rawSize = file.Get<uint32_t>(s + 16, "a section header");
    const uint32_t rawOffset = file.Get<uint32_t>(s + 20, "a section header");
    const uint32_t flags = file.Get<uint32_t>(s + 36, "a section header");
    const uint32_t span = virtualSize != 0 ? virtualSize : rawSize;
    if (rva % page != 0 || rva < headerSize || uint64_t{rva} + span > imageSize) {
      file.Fail(std::string("section ") + name + " at " + HexText(rva) + " does not fit the image");
    }
    const uint32_t copy = std::min(rawSize, span);
    if (copy != 0) {
      file.Need(rawOffset, copy, "a section's data");
      std::memcpy(base + rva, fileBytes.data() + rawOffset, copy);
    }
    Section section{name, rva, static_cast<uint32_t>((span + page - 1) / page * page), (flags & kScnRead) != 0,
                    (flags & kScnWrite) != 0, (flags & kScnExecute) != 0};
    if (section.write && section.execute) file.Fail(std::string("section ") + name + " is writable and executable");
    image->sections_.push_back(section);
  }
  const Bytes mapped(base, imageSize, label);

  // Base relocations: only the 64-bit kind a PE32+ image carries.
  const int64_t delta = static_cast<int64_t>(reinterpret_cast<uintptr_t>(base) - preferred);
  const Directory relocations = directory(kDirRelocations);
  mapped.Need(relocations.rva, relocations.size, "the relocation directory");
  for (uint64_t block = relocations.rva; block + 8 <= uint64_t{relocations.rva} + relocations.size;) {
    const uint32_t pageRva = mapped.Get<uint32_t>(block, "a relocation block");
    const uint32_t blockSize = mapped.Get<uint32_t>(block + 4, "a relocation block");
    if (blockSize < 8 || blockSize % 2 != 0) file.Fail("relocation block at " + HexText(block) + " is malformed");
    mapped.Need(block, blockSize, "a relocation block");
    for (uint64_t e = block + 8; e < block + blockSize; e += 2) {
      const uint16_t entry = mapped.Get<uint16_t>(e, "a relocation");
      const uint16_t type = entry >> 12;
      if (type == kRelAbsolute) continue;  // padding
      const uint64_t target = uint64_t{pageRva} + (entry & 0xFFF);
      if (type != kRelDir64) file.Fail("relocation type " + std::to_string(type) + " at " + HexText(target));
      const uint64_t value = mapped.Get<uint64_t>(target, "a relocated address") + static_cast<uint64_t>(delta);
      std::memcpy(base + target, &value, sizeof value);
      ++image->relocations_;
    }
    block += blockSize;
  }

  // Imports, by name (note 2).
  const Directory imports = directory(kDirImports);
  std::vector<std::string> missing;
  if (imports.rva != 0) {
    for (size_t d = 0;; ++d) {
      if (d == kMaxImportDescriptors) file.Fail("the import directory has no end");
      const uint64_t desc = uint64_t{imports.rva} + 20 * d;
      const uint32_t lookup = mapped.Get<uint32_t>(desc, "an import descriptor");
      const uint32_t nameRva = mapped.Get<uint32_t>(desc + 12, "an import descriptor");
      const uint32_t slots = mapped.Get<uint32_t>(desc + 16, "an import descriptor");
      if (lookup == 0 && nameRva == 0 && slots == 0) break;
      const std::string dll = mapped.String(nameRva, "an imported module's name");
      for (size_t t = 0;; ++t) {
        if (t == kMaxImportsPerDll) file.Fail(dll + ": the import list has no end");
        const uint64_t entry = mapped.Get<uint64_t>(uint64_t{lookup != 0 ? lookup : slots} + 8 * t, "an import");
        if (entry == 0) break;
        const uint32_t slotRva = static_cast<uint32_t>(slots + 8 * t);
        mapped.Need(slotRva, 8, "an import address slot");
        if ((entry >> 63) != 0) {
          missing.push_back(dll + "!#" + std::to_string(entry & 0xFFFF) + " (by ordinal)");
          continue;
        }
        const std::string name = mapped.String((entry & 0x7FFFFFFF) + 2, "an imported name");
        void* target = resolve(dll, name);
        if (target == nullptr) {
          missing.push_back(dll + "!" + name);
          continue;
        }
        std::memcpy(base + slotRva, &target, sizeof target);
        image->imports_.push_back({dll, name, slotRva, target});
      }
    }
  }
  if (!missing.empty()) {
    std::string list;
    for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
    file.Fail("imports what wdmsim does not provide: " + list);
  }
  image->exceptions_ = directory(kDirExceptions);
  mapped.Need(image->exceptions_.rva, image->exceptions_.size, "the exception directory");

  // Protections last: relocations and imports wrote into read-only sections.
  mprotect(base, (headerSize + page - 1) / page * page, PROT_READ);
  for (const Section& s : image->sections_) {
    const int protection = (s.read ? PROT_READ : 0) | (s.write ? PROT_WRITE : 0) | (s.execute ? PROT_EXEC : 0);
    if (s.size != 0 && mprotect(base + s.rva, s.size, protection) != 0) {
      file.Fail("cannot protect section " + s.name);
    }
  }
  return image;
}

bool IsKernelModule(const std::string& dll) {
  const std::string name = Lower(dll);
  return name == "ntoskrnl.exe" || name == "hal.dll";
}

void* KernelExport(const std::string& dll, const std::string& name) {
  if (!IsKernelModule(dll)) return nullptr;
  // A data import's slot holds the address of the kernel's variable. The
  // kit declares ExEventObjectType as a pointer to that variable, and so
  // does wdmsim: its value is where the slot must point.
  if (name == "ExEventObjectType") return reinterpret_cast<void*>(ExEventObjectType);
  if (void* routine = RuntimeExport(name)) return routine;
  static const void* const self = [] {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&KeSetEvent), &info);
    return info.dli_fbase;
  }();
  void* symbol = dlsym(RTLD_DEFAULT, name.c_str());
  Dl_info where{};
  if (symbol == nullptr || dladdr(symbol, &where) == 0 || where.dli_fbase != self) return nullptr;
  return symbol;  // defined by wdmsim itself, not by a library it uses
}

std::string FunctionName(const std::string& name) {
  int status = 0;
  char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (plain == nullptr) return name;
  std::string result = plain;
  std::free(plain);
  return result.substr(0, result.find('('));
}

size_t PeImage::LoadMap(const std::string& path) {
  std::ifstream in(path);
  const uint64_t end = preferredBase_ + size_;
  auto rvaOf = [&](uint64_t address, uint32_t* rva) {
    if (address < preferredBase_ || address >= end) return false;
    *rva = static_cast<uint32_t>(address - preferredBase_);
    return true;
  };
  for (std::string line; std::getline(in, line);) {
    // " .text  0x0000000140001000  0x1a2  file.o" (a contribution) and
    // "        0x0000000140001000  Name" (a symbol in it).
    std::istringstream fields(line);
    std::string first, second, third;
    fields >> first >> second;
    if (first == ".text" && second.starts_with("0x") && (fields >> third) && third.starts_with("0x")) {
      uint32_t rva = 0;
      if (rvaOf(std::stoull(second, nullptr, 16), &rva)) {
        contributions_.push_back({rva, static_cast<uint32_t>(std::stoull(third, nullptr, 16))});
      }
    } else if (first.starts_with("0x") && !second.empty() && !(fields >> third)) {
      uint32_t rva = 0;
      if (rvaOf(std::stoull(first, nullptr, 16), &rva) && second.find('=') == std::string::npos) {
        symbols_.push_back({rva, second});
      }
    }
  }
  std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
  return symbols_.size();
}

std::string PeImage::FunctionAt(const void* address) const {
  if (!Contains(address)) return "";
  const auto rva = static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_);
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                             [](uint32_t value, const Symbol& s) { return value < s.rva; });
  if (it == symbols_.begin()) return "";
  --it;
  // The nearest name must lie in the same object file's code as the
  // address: a static function after it has no name in the map.
  for (const Contribution& c : contributions_) {
    const bool holdsAddress = rva >= c.rva && rva < c.rva + c.size;
    const bool holdsName = it->rva >= c.rva && it->rva < c.rva + c.size;
    if (holdsAddress) {
      if (!holdsName) return "";
      char offset[24];
      std::snprintf(offset, sizeof offset, "+0x%X", rva - it->rva);
      return FunctionName(it->name) + offset;
    }
  }
  return "";
}

}  // namespace wdmsim::ldr
