#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace pecheck {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kDllDynamicBase = 0x0040;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kDirImport = 1, kDirBaseReloc = 5;
constexpr size_t kMaxImports = 4096;  // descriptors, and names per descriptor

// Offsets in the PE32+ optional header.
constexpr size_t kOptEntry = 16, kOptChecksum = 64, kOptSubsystem = 68, kOptDllCharacteristics = 70,
                 kOptDirectoryCount = 108, kOptDirectories = 112;

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool has(size_t offset, size_t length) const { return offset <= bytes_.size() && length <= bytes_.size() - offset; }
  uint16_t u16(size_t o) const { return has(o, 2) ? uint16_t(bytes_[o] | bytes_[o + 1] << 8) : 0; }
  uint32_t u32(size_t o) const { return has(o, 4) ? uint32_t(u16(o)) | uint32_t(u16(o + 2)) << 16 : 0; }
  uint64_t u64(size_t o) const { return has(o, 8) ? uint64_t(u32(o)) | uint64_t(u32(o + 4)) << 32 : 0; }
  // A NUL-terminated string of at most `limit` characters, if it ends in the file.
  std::optional<std::string> cstr(size_t o, size_t limit = 512) const {
    std::string s;
    for (size_t i = o; i < bytes_.size() && s.size() <= limit; ++i) {
      if (bytes_[i] == 0) return s;
      s.push_back(static_cast<char>(bytes_[i]));
    }
    return std::nullopt;
  }
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  std::span<const uint8_t> bytes_;
};

struct Section {
  uint32_t virtualAddress, virtualSize, rawSize, rawOffset;
};

struct Headers {
  size_t coff = 0;      // the COFF file header
  size_t optional = 0;  // the optional header
  uint16_t machine = 0, characteristics = 0, magic = 0;
  std::vector<Section> sections;
  uint32_t directoryCount = 0;
};

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// Parses the headers; returns an error text if the file is not a PE image.
std::optional<std::string> ParseHeaders(const Reader& r, Headers& h) {
  if (!r.has(0, 64) || r.u16(0) != 0x5A4D) return "no MZ header";
  const size_t pe = r.u32(0x3C);
  if (!r.has(pe, 24) || r.u32(pe) != 0x00004550) return "no PE signature";
  h.coff = pe + 4;
  h.machine = r.u16(h.coff);
  const uint16_t sectionCount = r.u16(h.coff + 2);
  const uint16_t optionalSize = r.u16(h.coff + 16);
  h.characteristics = r.u16(h.coff + 18);
  h.optional = h.coff + 20;
  if (!r.has(h.optional, optionalSize)) return "optional header runs past the end of the file";
  h.magic = r.u16(h.optional);
  if (h.magic != kMagicPe32Plus) return "not a PE32+ image (optional header magic " + Hex(h.magic) + ")";
  if (optionalSize < kOptDirectories) return "optional header too short";
  h.directoryCount = std::min<uint32_t>(r.u32(h.optional + kOptDirectoryCount), (optionalSize - kOptDirectories) / 8);
  const size_t table = h.optional + optionalSize;
  if (!r.has(table, size_t(sectionCount) * 40)) return "section table runs past the end of the file";
  for (size_t i = 0; i < sectionCount; ++i) {
    const size_t s = table + 40 * i;
    h.sections.push_back({r.u32(s + 12), r.u32(s + 8), r.u32(s + 16), r.u32(s + 20)});
  }
  return std::nullopt;
}

// The file offset of an RVA, if the bytes it names are in the file.
std::optional<size_t> Offset(const Reader& r, const Headers& h, uint32_t rva, size_t length = 1) {
  for (const Section& s : h.sections) {
    const uint64_t extent = std::max(s.virtualSize, s.rawSize);
    if (rva < s.virtualAddress || rva - uint64_t(s.virtualAddress) >= extent) continue;
    const uint64_t delta = rva - s.virtualAddress;
    if (delta + length > s.rawSize) return std::nullopt;  // not backed by file bytes
    const uint64_t offset = uint64_t(s.rawOffset) + delta;
    if (!r.has(offset, length)) return std::nullopt;
    return static_cast<size_t>(offset);
  }
  return std::nullopt;
}

struct Directory {
  uint32_t rva = 0, size = 0;
};
Directory DataDirectory(const Reader& r, const Headers& h, uint32_t index) {
  if (index >= h.directoryCount) return {};
  const size_t d = h.optional + kOptDirectories + 8 * index;
  return {r.u32(d), r.u32(d + 4)};
}

// Reads the import descriptors; returns an error text if they are malformed.
std::optional<std::string> ReadImports(const Reader& r, const Headers& h, std::vector<Import>& imports) {
  const Directory dir = DataDirectory(r, h, kDirImport);
  if (dir.rva == 0) return std::nullopt;
  for (size_t i = 0;; ++i) {
    if (i == kMaxImports) return "import directory has no terminator";
    const auto d = Offset(r, h, uint32_t(dir.rva + 20 * i), 20);
    if (!d) return "import descriptor " + std::to_string(i) + " is outside the file";
    const uint32_t lookup = r.u32(*d), nameRva = r.u32(*d + 12), iat = r.u32(*d + 16);
    if (lookup == 0 && nameRva == 0 && iat == 0) break;
    const auto nameOffset = Offset(r, h, nameRva);
    const auto name = nameOffset ? r.cstr(*nameOffset) : std::nullopt;
    if (!name) return "import descriptor " + std::to_string(i) + " has no readable DLL name";
    Import import{*name, {}};
    const uint32_t thunks = lookup != 0 ? lookup : iat;
    for (size_t t = 0;; ++t) {
      if (t == kMaxImports) return *name + ": import list has no terminator";
      const auto e = Offset(r, h, uint32_t(thunks + 8 * t), 8);
      if (!e) return *name + ": import list is outside the file";
      const uint64_t entry = r.u64(*e);
      if (entry == 0) break;
      if (entry >> 63) {
        import.functions.push_back("#" + std::to_string(entry & 0xFFFF));
        continue;
      }
      const auto hint = Offset(r, h, uint32_t(entry), 3);
      const auto function = hint ? r.cstr(*hint + 2) : std::nullopt;
      if (!function) return *name + ": import " + std::to_string(t) + " has no readable name";
      import.functions.push_back(*function);
    }
    imports.push_back(std::move(import));
  }
  return std::nullopt;
}

bool Contains(std::span<const uint8_t> hay, const std::vector<uint8_t>& needle) {
  return !needle.empty() && std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

std::vector<uint8_t> Utf16Le(const std::string& ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);  // the terminator: a longer name with this one as its start does not count
  out.push_back(0);
  return out;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

}  // namespace

bool Report::ok() const {
  return !checks.empty() && std::all_of(checks.begin(), checks.end(), [](const Check& c) { return c.ok; });
}

const Check* Report::find(const std::string& name) const {
  for (const Check& c : checks) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::optional<size_t> ChecksumOffset(std::span<const uint8_t> image) {
  Reader r(image);
  Headers h;
  if (ParseHeaders(r, h)) return std::nullopt;
  return h.optional + kOptChecksum;
}

uint32_t ComputeChecksum(std::span<const uint8_t> image, size_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    uint32_t word = image[i];
    if (i + 1 < image.size()) word |= uint32_t(image[i + 1]) << 8;
    // The CheckSum field (4-byte aligned) counts as zero.
    if (i >= checksumOffset && i < checksumOffset + 4) word = 0;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

Report CheckImage(std::span<const uint8_t> image, const Options& options) {
  Report report;
  auto add = [&](std::string name, bool ok, std::string detail) {
    report.checks.push_back({std::move(name), ok, std::move(detail)});
  };
  Reader r(image);
  Headers h;
  if (auto error = ParseHeaders(r, h)) {
    add("format", false, *error);
    return report;
  }
  add("format", true, "PE32+ with " + std::to_string(h.sections.size()) + " sections");
  add("machine", h.machine == kMachineAmd64, "machine " + Hex(h.machine) + (h.machine == kMachineAmd64 ? " (AMD64)" : ", AMD64 (0x8664) expected"));

  const uint16_t subsystem = r.u16(h.optional + kOptSubsystem);
  add("subsystem", subsystem == kSubsystemNative,
      "subsystem " + std::to_string(subsystem) + (subsystem == kSubsystemNative ? " (native)" : ", native (1) expected"));

  const uint32_t entry = r.u32(h.optional + kOptEntry);
  add("entry point", entry != 0 && Offset(r, h, entry).has_value(),
      entry == 0 ? "no entry point" : "entry at RVA " + Hex(entry) + (Offset(r, h, entry) ? "" : ", outside every section"));

  const uint16_t dll = r.u16(h.optional + kOptDllCharacteristics);
  add("dynamic base", (dll & kDllDynamicBase) != 0, "DllCharacteristics " + Hex(dll));

  const Directory relocs = DataDirectory(r, h, kDirBaseReloc);
  const bool stripped = (h.characteristics & kFileRelocsStripped) != 0;
  const bool hasRelocs = relocs.rva != 0 && relocs.size != 0 && Offset(r, h, relocs.rva, relocs.size).has_value();
  add("relocations", hasRelocs && !stripped,
      stripped ? "relocations stripped (file characteristics " + Hex(h.characteristics) + ")"
               : hasRelocs ? std::to_string(relocs.size) + " bytes of base relocations" : "no base relocation directory");

  if (auto error = ReadImports(r, h, report.imports)) {
    add("imports", false, *error);
  } else {
    std::string detail, foreign;
    bool kernel = false;
    for (const Import& i : report.imports) {
      const std::string name = Lower(i.dll);
      kernel |= name == "ntoskrnl.exe";
      if (name != "ntoskrnl.exe" && name != "hal.dll") foreign += (foreign.empty() ? "" : ", ") + i.dll;
      detail += (detail.empty() ? "" : ", ") + i.dll + " (" + std::to_string(i.functions.size()) + ")";
    }
    if (!foreign.empty()) {
      add("imports", false, "imports from " + foreign + "; only ntoskrnl.exe and HAL.dll are allowed");
    } else if (!kernel) {
      add("imports", false, "no imports from ntoskrnl.exe");
    } else {
      add("imports", true, detail);
    }
  }

  report.storedChecksum = r.u32(h.optional + kOptChecksum);
  report.computedChecksum = ComputeChecksum(image, h.optional + kOptChecksum);
  add("checksum", report.storedChecksum == report.computedChecksum,
      "stored " + Hex(report.storedChecksum) + ", computed " + Hex(report.computedChecksum));

  if (!options.product.empty()) {
    const std::string device = "\\Device\\" + options.product + "_v%d%d%d-%d";
    const std::string link = "\\DosDevices\\" + options.product + "_v%d%d%d-%d";
    add("device name", Contains(image, Utf16Le(device)), "UTF-16LE \"" + device + "\"");
    add("link name", Contains(image, Utf16Le(link)), "UTF-16LE \"" + link + "\"");
  }
  if (!options.banner.empty()) {
    std::string shown = options.banner;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    add("banner", Contains(image, std::vector<uint8_t>(options.banner.begin(), options.banner.end())), "\"" + shown + "\"");
  }
  return report;
}

std::string ToJson(const Report& report, const std::string& file, const Options& options) {
  std::ostringstream out;
  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "0x%08X", report.storedChecksum);
  out << "{\"file\": " << JsonString(file) << ", \"product\": " << JsonString(options.product)
      << ", \"ok\": " << (report.ok() ? "true" : "false") << ", \"checksum\": \"" << checksum << "\",\n \"checks\": [";
  for (size_t i = 0; i < report.checks.size(); ++i) {
    const Check& c = report.checks[i];
    out << (i ? ",\n  " : "\n  ") << "{\"name\": " << JsonString(c.name) << ", \"ok\": " << (c.ok ? "true" : "false")
        << ", \"detail\": " << JsonString(c.detail) << "}";
  }
  out << "],\n \"imports\": {";
  for (size_t i = 0; i < report.imports.size(); ++i) {
    const Import& im = report.imports[i];
    out << (i ? ",\n  " : "\n  ") << JsonString(im.dll) << ": [";
    for (size_t f = 0; f < im.functions.size(); ++f) out << (f ? ", " : "") << JsonString(im.functions[f]);
    out << "]";
  }
  out << "}}\n";
  return out.str();
}

std::string ToText(const Report& report, const std::string& file) {
  std::ostringstream out;
  out << file << ":\n";
  for (const Check& c : report.checks) {
    out << "  " << (c.ok ? "ok    " : "FAIL  ") << c.name << ": " << c.detail << "\n";
  }
  for (const Import& im : report.imports) {
    out << "  imports from " << im.dll << ":";
    for (const std::string& f : im.functions) out << " " << f;
    out << "\n";
  }
  out << "  " << (report.ok() ? "PASSED" : "FAILED") << "\n";
  return out.str();
}

}  // namespace pecheck
