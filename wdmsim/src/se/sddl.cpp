// Security descriptors written in SDDL, as an INF sets them for a device
// ("Security Descriptor String Format", "SDDL for Device Objects"): the
// DACL part, its flags and ACEs of the allow and deny types.
//
// Notes:
//  1. Whatever is not understood fails loudly. A descriptor read wrongly
//     could open a device to callers its INF meant to keep out.
//  2. Owner and group parts are read (their SIDs must be valid) and then
//     ignored: owner rights are not modelled. A SACL part is refused.
#include <charconv>
#include <map>
#include <stdexcept>

#include "se/security.h"

namespace wdmsim::se {

namespace {

[[noreturn]] void Fail(std::string_view sddl, const std::string& why) {
  throw std::runtime_error("wdmsim: cannot parse the security descriptor \"" + std::string(sddl) + "\": " + why);
}

// The SID aliases a device's SDDL may use.
const std::map<std::string, std::string, std::less<>>& SidAliases() {
  static const std::map<std::string, std::string, std::less<>> aliases = {
      {"SY", "S-1-5-18"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},
      {"AU", "S-1-5-11"},     {"IU", "S-1-5-4"},      {"RC", "S-1-5-12"},
  };
  return aliases;
}

const std::map<std::string, uint32_t, std::less<>>& RightNames() {
  static const std::map<std::string, uint32_t, std::less<>> rights = {
      {"GA", GENERIC_ALL},     {"GR", GENERIC_READ},        {"GW", GENERIC_WRITE},
      {"GX", GENERIC_EXECUTE}, {"FA", FILE_ALL_ACCESS},     {"FR", FILE_GENERIC_READ},
      {"FW", FILE_GENERIC_WRITE}, {"FX", FILE_GENERIC_EXECUTE}, {"RC", READ_CONTROL},
      {"SD", 0x00010000},      {"WD", 0x00040000},          {"WO", 0x00080000},
  };
  return rights;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string ParseSid(std::string_view sddl, std::string_view text) {
  if (auto it = SidAliases().find(text); it != SidAliases().end()) return it->second;
  if (text.size() > 4 && (text[0] == 'S' || text[0] == 's') && text.substr(1, 3) == "-1-") {
    // S-1-<authority>[-<sub-authority>]...
    std::string_view rest = text.substr(4);
    for (size_t start = 0;;) {
      size_t dash = rest.find('-', start);
      if (!AllDigits(rest.substr(start, dash == std::string_view::npos ? dash : dash - start))) break;
      if (dash == std::string_view::npos) return "S" + std::string(text.substr(1));
      start = dash + 1;
    }
  }
  Fail(sddl, "unknown SID \"" + std::string(text) + "\"");
}

uint32_t ParseRights(std::string_view sddl, std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    uint32_t mask = 0;
    auto digits = text.substr(2);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), mask, 16);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
      Fail(sddl, "bad access mask \"" + std::string(text) + "\"");
    }
    return mask;
  }
  if (text.empty() || text.size() % 2 != 0) Fail(sddl, "bad access rights \"" + std::string(text) + "\"");
  uint32_t mask = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto it = RightNames().find(text.substr(i, 2));
    if (it == RightNames().end()) Fail(sddl, "unknown access right \"" + std::string(text.substr(i, 2)) + "\"");
    mask |= it->second;
  }
  return mask;
}

// "(A;flags;rights;;;sid)" without the parentheses.
Ace ParseAce(std::string_view sddl, std::string_view text) {
  std::vector<std::string_view> fields;
  for (size_t start = 0;;) {
    size_t semicolon = text.find(';', start);
    fields.push_back(text.substr(start, semicolon == std::string_view::npos ? semicolon : semicolon - start));
    if (semicolon == std::string_view::npos) break;
    start = semicolon + 1;
  }
  if (fields.size() != 6) Fail(sddl, "an ACE has " + std::to_string(fields.size()) + " fields, not 6");
  Ace ace;
  if (fields[0] == "A") {
    ace.allow = true;
  } else if (fields[0] == "D") {
    ace.allow = false;
  } else {
    Fail(sddl, "unsupported ACE type \"" + std::string(fields[0]) + "\"");
  }
  std::string_view flags = fields[1];
  if (flags.size() % 2 != 0) Fail(sddl, "bad ACE flags \"" + std::string(flags) + "\"");
  for (size_t i = 0; i < flags.size(); i += 2) {
    std::string_view flag = flags.substr(i, 2);
    if (flag == "IO") {
      ace.inheritOnly = true;
    } else if (flag != "CI" && flag != "OI" && flag != "NP" && flag != "ID") {
      Fail(sddl, "unsupported ACE flag \"" + std::string(flag) + "\"");
    }
  }
  ace.mask = ParseRights(sddl, fields[2]);
  if (!fields[3].empty() || !fields[4].empty()) Fail(sddl, "object ACEs are not supported");
  ace.sid = ParseSid(sddl, fields[5]);
  return ace;
}

// Where the part that starts at `from` ends: at the next "O:", "G:", "D:"
// or "S:", or at the end. Only SIDs and ACEs lie between, and neither holds
// a colon.
size_t PartEnd(std::string_view text, size_t from) {
  for (size_t i = from; i + 1 < text.size(); ++i) {
    if (text[i + 1] == ':' && std::string_view("OGDS").find(text[i]) != std::string_view::npos) return i;
  }
  return text.size();
}

void ParseDacl(std::string_view sddl, std::string_view text, SecurityDescriptor& descriptor) {
  size_t i = 0;
  bool nullDacl = false;
  for (;;) {  // flags: P (protected), AI and AR (inheritance), NO_ACCESS_CONTROL
    if (text.substr(i).starts_with("NO_ACCESS_CONTROL")) {
      nullDacl = true;
      i += 17;
    } else if (text.substr(i).starts_with("AI") || text.substr(i).starts_with("AR")) {
      i += 2;
    } else if (text.substr(i).starts_with("P")) {
      i += 1;
    } else {
      break;
    }
  }
  std::vector<Ace> aces;
  while (i < text.size()) {
    size_t close = text.find(')', i);
    if (text[i] != '(' || close == std::string_view::npos) {
      Fail(sddl, "unexpected \"" + std::string(text.substr(i)) + "\" in the DACL");
    }
    aces.push_back(ParseAce(sddl, text.substr(i + 1, close - i - 1)));
    i = close + 1;
  }
  if (nullDacl && !aces.empty()) Fail(sddl, "NO_ACCESS_CONTROL with ACEs");
  if (!nullDacl) descriptor.dacl = std::move(aces);
}

}  // namespace

SecurityDescriptor ParseSddl(std::string_view sddl) {
  SecurityDescriptor descriptor;
  descriptor.sddl = std::string(sddl);
  bool sawDacl = false;
  for (size_t i = 0; i < sddl.size();) {
    if (i + 1 >= sddl.size() || sddl[i + 1] != ':') Fail(sddl, "expected O:, G: or D: at \"" + std::string(sddl.substr(i)) + "\"");
    const char part = sddl[i];
    const size_t end = PartEnd(sddl, i + 2);
    std::string_view body = sddl.substr(i + 2, end - i - 2);
    if (part == 'O' || part == 'G') {
      ParseSid(sddl, body);  // note 2
    } else if (part == 'D' && !sawDacl) {
      ParseDacl(sddl, body, descriptor);
      sawDacl = true;
    } else {
      Fail(sddl, std::string("unsupported part \"") + part + ":\"");
    }
    i = end;
  }
  if (!sawDacl) Fail(sddl, "no DACL (D:)");
  return descriptor;
}

std::shared_ptr<const SecurityDescriptor> DefaultDeviceDescriptor() {
  // The default descriptor of a named device object ("Securing Device
  // Objects", IoCreateDevice): the system and administrators have all
  // access, everyone reads, writes and executes, restricted code reads.
  static const auto descriptor = std::make_shared<const SecurityDescriptor>(
      ParseSddl("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGWGX;;;WD)(A;;GRGX;;;RC)"));
  return descriptor;
}

}  // namespace wdmsim::se
