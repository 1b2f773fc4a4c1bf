// The products the driver is built for, generated at configure time from the
// build matrix (driverxilinx/products.tsv), and their device names.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/result.h"

namespace capture {

// The control-code family decides the size of the parameter block.
enum class Family { kA, kB };

struct Product {
  std::string_view name;  // base name, as in "\\.\Talvrex_v100-0"
  Family family;
  uint32_t maxTransfer;   // bytes of one DMA transfer at most
  uint32_t commonBuffer;  // bytes of the driver's common buffer
  // The DMA start registers of the card's firmware, where the build matrix
  // knows them (capture-tool's transfers).
  std::optional<uint32_t> captureStart;
  std::optional<uint32_t> playoutStart;
  std::optional<uint32_t> loopbackStart;
  uint32_t BlockSize() const;
  char FamilyLetter() const { return family == Family::kA ? 'A' : 'B'; }
};

constexpr unsigned kMaxInstances = 64;  // instances 0..63 per product

std::span<const Product> Products();
// Case-insensitive, as Windows compares device names; null when unknown.
const Product* FindProduct(std::string_view name);

// One card's device: a product and an instance number.
struct DeviceName {
  const Product* product = nullptr;
  unsigned instance = 0;

  std::string Link() const;            // "Talvrex_v100-0"
  std::string Win32Path() const;       // "\\.\Talvrex_v100-0"
  std::u16string Win32PathW() const;
  bool operator==(const DeviceName&) const = default;
};

// Accepts "Talvrex_v100-0", "\\.\Talvrex_v100-0" and "\DosDevices\Talvrex_v100-0".
Result<DeviceName> ParseDeviceName(std::string_view text);
Result<DeviceName> ParseDeviceName(std::u16string_view text);  // names are ASCII
Result<DeviceName> MakeDeviceName(std::string_view product, unsigned instance);

}  // namespace capture
