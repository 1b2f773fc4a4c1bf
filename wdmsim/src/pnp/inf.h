// The part of a driver's INF that the PnP manager applies to the device
// objects it installs: the hardware section's registry values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wdmsim::pnp {

// What the INF's [<install>.HW] AddReg sections write to the device's key.
struct InfDeviceSettings {
  std::optional<std::string> security;       // HKR,,Security: SDDL
  std::optional<uint32_t> characteristics;   // HKR,,DeviceCharacteristics
  // HKR,Interrupt Management\MessageSignaledInterruptProperties,MSISupported:
  // without it Windows grants the device no message interrupts.
  bool msiSupported = false;
};

// Parses INF text. Raises std::runtime_error, naming `where`, for a value it
// cannot read.
InfDeviceSettings ParseInfDeviceSettings(std::string_view text, const std::string& where);
// Reads an INF file (ANSI, UTF-8 or UTF-16 with its byte-order mark).
InfDeviceSettings ReadInfDeviceSettings(const std::string& path);
// The INF beside an image: "<dir>/X.inf" for "<dir>/X.sys.so" or "<dir>/X.sys".
std::string InfPathBeside(const std::string& imagePath);

}  // namespace wdmsim::pnp
