// A Windows x64 kernel-mode image (PE32+, AMD64) mapped into the host
// process the way the kernel's loader maps a .sys: headers and sections at
// their RVAs in one private mapping, base relocations applied for wherever
// the mapping landed, every import bound by name through a resolver, and
// then each section given the protection its characteristics ask for.
//
// Notes:
//  1. Everything the file says is checked against the file and the image
//     before it is used: a truncated or malformed image is refused with a
//     message that says what is wrong, never read past its end.
//  2. Imports are bound by name only. An import by ordinal, or one the
//     resolver does not know, refuses the image; the message names every
//     such routine ("ntoskrnl.exe!Foo"), so that what wdmsim lacks is
//     seen at once.
//  3. Sections are aligned to pages (SectionAlignment at least 4 KiB), so
//     each page has one protection. Writable and executable at once is
//     refused, as a driver built with the kit's defaults never asks it.
//  4. Nothing here calls into the image: calling the entry point is the
//     caller's business.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace wdmsim::ldr {

// Returns where an import goes (wdmsim's routine, or for a data import the
// kernel variable itself), or null when wdmsim does not provide it. `dll`
// is as the image spells it.
using ImportResolver = std::function<void*(const std::string& dll, const std::string& name)>;

// A symbol as a reader wants it: a C++ name demangled, without its
// parameters ("AddDevice"); any other name as it is.
std::string FunctionName(const std::string& symbol);

// The modules a kernel driver imports from: ntoskrnl.exe and HAL.dll, in
// any case.
bool IsKernelModule(const std::string& dll);

// wdmsim's own definition of a kernel export: a routine, or for a data
// import the kernel variable; null for anything wdmsim does not define
// (a name the C library happens to have included).
void* KernelExport(const std::string& dll, const std::string& name);

// The compiler runtime routines the kernel exports (memcpy, memset,
// _vsnwprintf, __C_specific_handler), with the Windows x64 convention;
// null for any other name.
void* RuntimeExport(const std::string& name);

class PeImage {
 public:
  struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0;  // bytes of the image it spans, page-rounded
    bool read = false, write = false, execute = false;
  };
  struct Import {
    std::string dll, name;
    uint32_t slotRva = 0;  // its entry in the import address table
    void* target = nullptr;
  };
  struct Directory {
    uint32_t rva = 0, size = 0;
  };

  // Maps `file`; throws std::runtime_error("<label>: what is wrong").
  static std::unique_ptr<PeImage> Map(std::span<const uint8_t> file, const std::string& label,
                                      const ImportResolver& resolve);
  ~PeImage();
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  uint8_t* base() const { return base_; }
  size_t size() const { return size_; }
  uint64_t preferredBase() const { return preferredBase_; }
  void* entryPoint() const { return base_ + entryRva_; }
  bool Contains(const void* address) const {
    auto* p = static_cast<const uint8_t*>(address);
    return p >= base_ && p < base_ + size_;
  }
  const std::vector<Section>& sections() const { return sections_; }
  const std::vector<Import>& imports() const { return imports_; }
  size_t relocationsApplied() const { return relocations_; }
  // The exception directory (.pdata): the unwind data of every function.
  Directory exceptions() const { return exceptions_; }

  // The functions the linker's map (GNU ld's -Map) places in the image's
  // code: the image is stripped, the map is kept beside it. Returns how
  // many were read; a missing map reads none.
  size_t LoadMap(const std::string& path);
  // "Function+0x12" for an address inside a function the map names, ""
  // otherwise (before the first, or outside the object file's code that
  // holds the nearest one).
  std::string FunctionAt(const void* address) const;

 private:
  PeImage() = default;

  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  uint64_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  std::vector<Section> sections_;
  std::vector<Import> imports_;
  size_t relocations_ = 0;
  Directory exceptions_;
  struct Symbol {
    uint32_t rva;
    std::string name;
  };
  struct Contribution {  // one object file's .text
    uint32_t rva, size;
  };
  std::vector<Symbol> symbols_;
  std::vector<Contribution> contributions_;
};

}  // namespace wdmsim::ldr
