// Checks of a Windows x64 kernel driver image (PE32+) before it is packaged:
// what the Windows loader insists on for a kernel image, and that the image
// is the product it is named for. Standard library only; every read is
// bounds-checked, so any file can be given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pecheck {

struct Check {
  std::string name;  // "machine", "subsystem", "checksum", ...
  bool ok = false;
  std::string detail;
};

struct Import {
  std::string dll;
  std::vector<std::string> functions;  // "#N" for an import by ordinal
};

struct Options {
  std::string product;  // base name of the device names; empty: not checked
  std::string banner;   // text DriverEntry prints; empty: not checked
};

struct Report {
  std::vector<Check> checks;
  std::vector<Import> imports;
  uint32_t storedChecksum = 0;
  uint32_t computedChecksum = 0;
  bool ok() const;
  const Check* find(const std::string& name) const;
};

// The driver's banner (driverxilinx/driver.cpp, DriverEntry).
inline constexpr const char* kDefaultBanner = "qm4200.sys:  [version 1.507] DriverEntry complete\n";

// The file offset of the optional header's CheckSum field, if the file has
// the headers to hold one.
std::optional<size_t> ChecksumOffset(std::span<const uint8_t> image);

// The PE checksum as the loader verifies it: the 16-bit one's-complement sum
// of the file's little-endian words (an odd last byte padded with zero),
// with the 4 bytes at checksumOffset counted as zero, plus the file length.
uint32_t ComputeChecksum(std::span<const uint8_t> image, size_t checksumOffset);

Report CheckImage(std::span<const uint8_t> image, const Options& options);

// {"file":..., "product":..., "ok":..., "size":..., "checksum":..., "checks":[...], "imports":{dll:[...]}}
std::string ToJson(const Report& report, const std::string& file, const Options& options);
// One line per check, then the imports.
std::string ToText(const Report& report, const std::string& file);

}  // namespace pecheck
