// Tokens and the access check, as SeAccessCheck makes it for an open
// ("How DACLs Control Access to an Object").
//
// Notes:
//  1. The DACL is walked in order. A deny ACE of a group the token holds
//     refuses the request as soon as it names a bit not yet granted; allow
//     ACEs grant bits. Whatever is still missing at the end refuses it.
//  2. A request for no access at all is refused, whatever the descriptor:
//     there is nothing to grant (SeAccessCheck behaves so). CreateFile never
//     asks for nothing, as it always adds SYNCHRONIZE | FILE_READ_ATTRIBUTES.
//  3. Owner rights, privileges, restricted tokens and MAXIMUM_ALLOWED are not
//     modelled; simulated tokens hold no restricting SIDs, so RC ACEs never
//     apply.
#include <algorithm>

#include "se/security.h"

namespace wdmsim::se {

uint32_t MapGenericFileAccess(uint32_t mask) {
  uint32_t mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (mask & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (mask & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (mask & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
  return mapped;
}

const std::vector<std::string>& GroupsOf(Token token) {
  static const std::vector<std::string> system = {"S-1-5-18", "S-1-5-32-544", "S-1-1-0", "S-1-5-11"};
  static const std::vector<std::string> administrator = {"S-1-5-32-544", "S-1-5-32-545", "S-1-1-0", "S-1-5-11",
                                                         "S-1-5-4"};
  static const std::vector<std::string> standardUser = {"S-1-5-32-545", "S-1-1-0", "S-1-5-11", "S-1-5-4"};
  switch (token) {
    case Token::System: return system;
    case Token::Administrator: return administrator;
    case Token::StandardUser: break;
  }
  return standardUser;
}

AccessResult AccessCheck(const SecurityDescriptor* descriptor, Token token, uint32_t desired) {
  const uint32_t wanted = MapGenericFileAccess(desired);
  if (wanted == 0) return {STATUS_ACCESS_DENIED, 0};  // note 2
  if (descriptor == nullptr || !descriptor->dacl) return {STATUS_SUCCESS, wanted};
  const auto& groups = GroupsOf(token);
  uint32_t missing = wanted;
  for (const Ace& ace : *descriptor->dacl) {  // note 1
    if (ace.inheritOnly || std::find(groups.begin(), groups.end(), ace.sid) == groups.end()) continue;
    const uint32_t mask = MapGenericFileAccess(ace.mask);
    if (!ace.allow) {
      if (mask & missing) return {STATUS_ACCESS_DENIED, 0};
      continue;
    }
    missing &= ~mask;
    if (missing == 0) return {STATUS_SUCCESS, wanted};
  }
  return {STATUS_ACCESS_DENIED, 0};
}

}  // namespace wdmsim::se
