// The security reference monitor's part that the I/O manager needs: the
// descriptors of device objects, read from SDDL, the groups of the
// simulated processes' tokens, and the access check of an open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wdmsim/kernel.h"

namespace wdmsim::se {

constexpr uint32_t READ_CONTROL = 0x00020000;
constexpr uint32_t FILE_GENERIC_READ = 0x00120089;
constexpr uint32_t FILE_GENERIC_WRITE = 0x00120116;
constexpr uint32_t FILE_GENERIC_EXECUTE = 0x001200A0;
constexpr uint32_t FILE_ALL_ACCESS = 0x001F01FF;

struct Ace {
  bool allow = true;          // an access-allowed ACE, else access-denied
  bool inheritOnly = false;   // for children only: not checked on the object itself
  uint32_t mask = 0;          // as written: generic bits are mapped at the check
  std::string sid;            // "S-1-5-18"
};

struct SecurityDescriptor {
  std::string sddl;  // as given
  // No DACL at all ("D:NO_ACCESS_CONTROL"): every access is granted. An
  // empty DACL grants nothing.
  std::optional<std::vector<Ace>> dacl;
};

// Parses the DACL part of an SDDL string (an owner or group part before it
// is read and ignored). Anything it does not understand raises
// std::runtime_error naming the text: a descriptor is never guessed.
SecurityDescriptor ParseSddl(std::string_view sddl);

// What IoCreateDevice gives a named device object when nobody sets another.
std::shared_ptr<const SecurityDescriptor> DefaultDeviceDescriptor();

// The generic mapping of file and device objects.
uint32_t MapGenericFileAccess(uint32_t mask);

// The group SIDs a token holds.
const std::vector<std::string>& GroupsOf(Token token);

struct AccessResult {
  NTSTATUS status = STATUS_ACCESS_DENIED;
  uint32_t granted = 0;
};
// SeAccessCheck for `desired` (generic bits allowed) against `descriptor`;
// null means no descriptor at all.
AccessResult AccessCheck(const SecurityDescriptor* descriptor, Token token, uint32_t desired);

}  // namespace wdmsim::se
