// Reading an INF as device installation does, for the values that end up on
// the device objects ("Setting Device Object Registry Properties During
// Installation", "INF AddReg Directive").
//
// Notes:
//  1. Lexing follows "General Syntax Rules for INF Files": lines end in CRLF
//     (a bare LF is taken too), ';' starts a comment outside quotes, a
//     backslash ending a line continues it, '""' inside quotes is one quote,
//     and unquoted whitespace around a field is dropped. Section names,
//     keys and registry value names are case-insensitive. A field that is
//     exactly %key% is replaced from [Strings].
//  2. The hardware section is the one of the install section each model
//     of [Manufacturer] names, decorated as on x64: <install>.NTamd64 over
//     <install>.NT over <install>, then ".HW". An INF without
//     [Manufacturer] has all its *.HW sections read, in order. The first
//     value found for each name wins.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "pnp/inf.h"

namespace wdmsim::pnp {

namespace {

struct InfLine {
  std::string key;  // "" when the line has no '='
  std::vector<std::string> fields;
};

struct Inf {
  std::map<std::string, std::vector<InfLine>> sections;  // by lower-cased name
  std::vector<std::string> order;                        // lower-cased names as they appear
  const std::vector<InfLine>* Find(const std::string& name) const {
    auto it = sections.find(name);
    return it == sections.end() ? nullptr : &it->second;
  }
};

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One field as it is lexed: unquoted blanks at either end are dropped.
struct FieldBuilder {
  std::string text;
  size_t keepUpTo = 0;   // one past the last character that is not unquoted blank
  bool started = false;  // a character other than a leading unquoted blank was seen
  void Add(char c, bool quoted) {
    if (!quoted && IsBlank(c) && !started) return;
    started = true;
    text.push_back(c);
    if (quoted || !IsBlank(c)) keepUpTo = text.size();
  }
  std::string Take() {
    std::string out = text.substr(0, keepUpTo);
    *this = {};
    return out;
  }
};

// Note 1. Returns the logical lines of each section.
Inf Lex(std::string_view text) {
  Inf inf;
  std::vector<InfLine>* section = nullptr;
  size_t i = 0;
  while (i < text.size()) {
    // One logical line.
    InfLine line;
    FieldBuilder field;
    bool inQuotes = false, any = false, header = false;
    std::string headerName;
    for (; i < text.size(); ++i) {
      char c = text[i];
      if (c == '\n') {
        ++i;
        break;
      }
      if (c == '\r') continue;
      if (inQuotes) {
        if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
          field.Add('"', true);
          ++i;
        } else if (c == '"') {
          inQuotes = false;
        } else {
          field.Add(c, true);
        }
        continue;
      }
      if (!any && IsBlank(c)) continue;
      if (!any && c == '[') {
        size_t close = text.find(']', i);
        size_t eol = text.find('\n', i);
        if (close != std::string_view::npos && close < eol) {
          header = true;
          headerName = std::string(text.substr(i + 1, close - i - 1));
          i = close;
          any = true;
          continue;
        }
      }
      if (c == ';') {
        // Up to the line feed, which the next round ends the line with.
        size_t eol = text.find('\n', i);
        i = (eol == std::string_view::npos ? text.size() : eol) - 1;
        continue;
      }
      if (c == '\\') {
        // A continuation when only blanks (or a comment) follow on this line.
        size_t j = i + 1;
        while (j < text.size() && (IsBlank(text[j]) || text[j] == '\r')) ++j;
        if (j >= text.size() || text[j] == '\n' || text[j] == ';') {
          size_t eol = text.find('\n', j);
          i = eol == std::string_view::npos ? text.size() - 1 : eol;
          any = true;
          continue;
        }
      }
      any = true;
      if (header) continue;  // text after a section header is ignored
      if (c == '"') {
        inQuotes = true;
        field.started = true;
      } else if (c == '=' && line.key.empty() && line.fields.empty()) {
        line.key = field.Take();
        if (line.key.empty()) line.key = "=";  // "= value": keep the line keyed
      } else if (c == ',') {
        line.fields.push_back(field.Take());
      } else {
        field.Add(c, false);
      }
    }
    if (header) {
      std::string name = Lower(headerName);
      name.erase(0, name.find_first_not_of(" \t"));
      name.erase(name.find_last_not_of(" \t") + 1);
      if (inf.sections.count(name) == 0) inf.order.push_back(name);
      section = &inf.sections[name];  // a section that appears twice is one section
      continue;
    }
    if (!any || section == nullptr) continue;
    line.fields.push_back(field.Take());
    section->push_back(std::move(line));
  }
  return inf;
}

void SubstituteStrings(Inf& inf) {
  const auto* strings = inf.Find("strings");
  if (strings == nullptr) return;
  std::map<std::string, std::string> values;
  for (const auto& line : *strings) {
    if (!line.key.empty() && !line.fields.empty()) values.emplace(Lower(line.key), line.fields[0]);
  }
  for (auto& [name, lines] : inf.sections) {
    if (name == "strings") continue;
    for (auto& line : lines) {
      for (auto& field : line.fields) {
        if (field.size() > 2 && field.front() == '%' && field.back() == '%') {
          auto it = values.find(Lower(std::string_view(field).substr(1, field.size() - 2)));
          if (it != values.end()) field = it->second;
        }
      }
    }
  }
}

// Note 2.
std::vector<std::string> HardwareSections(const Inf& inf) {
  std::vector<std::string> out;
  auto add = [&](const std::string& name) {
    if (inf.Find(name) != nullptr && std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
  };
  const auto* manufacturer = inf.Find("manufacturer");
  if (manufacturer == nullptr) {
    for (const auto& name : inf.order) {
      if (name.ends_with(".hw")) add(name);
    }
    return out;
  }
  for (const auto& entry : *manufacturer) {
    if (entry.fields.empty() || entry.fields[0].empty()) continue;
    std::string models = Lower(entry.fields[0]);
    if (entry.fields.size() > 1) {
      auto decoration = std::find_if(entry.fields.begin() + 1, entry.fields.end(),
                                     [](const std::string& d) { return Lower(d).starts_with("ntamd64"); });
      if (decoration == entry.fields.end()) continue;  // no models for x64
      models += "." + Lower(*decoration);
    }
    const auto* modelLines = inf.Find(models);
    if (modelLines == nullptr) continue;
    for (const auto& model : *modelLines) {
      if (model.fields.empty() || model.fields[0].empty()) continue;
      const std::string install = Lower(model.fields[0]);
      for (const std::string& decorated : {install + ".ntamd64", install + ".nt", install}) {
        if (inf.Find(decorated) != nullptr) {
          add(decorated + ".hw");
          break;
        }
      }
    }
  }
  return out;
}

uint32_t ParseNumber(const std::string& text, const std::string& where) {
  std::string_view digits = text;
  int base = 10;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    digits.remove_prefix(2);
    base = 16;
  }
  uint32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw std::runtime_error("wdmsim: " + where + ": registry value \"" + text + "\" is not a number");
  }
  return value;
}

}  // namespace

InfDeviceSettings ParseInfDeviceSettings(std::string_view text, const std::string& where) {
  Inf inf = Lex(text);
  SubstituteStrings(inf);
  InfDeviceSettings settings;
  for (const auto& hw : HardwareSections(inf)) {
    for (const auto& directive : *inf.Find(hw)) {
      if (Lower(directive.key) != "addreg") continue;
      for (const auto& addRegName : directive.fields) {
        const auto* addReg = inf.Find(Lower(addRegName));
        if (addReg == nullptr) continue;
        for (const auto& entry : *addReg) {
          // HKR,<subkey>,<value name>,<flags>,<value>: the device's own key only.
          if (!entry.key.empty() || entry.fields.size() < 5) continue;
          if (Lower(entry.fields[0]) != "hkr") continue;
          if (Lower(entry.fields[1]) == "interrupt management\\messagesignaledinterruptproperties") {
            if (Lower(entry.fields[2]) == "msisupported") settings.msiSupported = ParseNumber(entry.fields[4], where) != 0;
            continue;
          }
          if (!entry.fields[1].empty()) continue;
          const std::string name = Lower(entry.fields[2]);
          if (name == "security" && !settings.security) {
            if (entry.fields[4].empty()) throw std::runtime_error("wdmsim: " + where + ": empty Security value");
            settings.security = entry.fields[4];
          } else if (name == "devicecharacteristics" && !settings.characteristics) {
            settings.characteristics = ParseNumber(entry.fields[4], where);
          }
        }
      }
    }
  }
  return settings;
}

InfDeviceSettings ReadInfDeviceSettings(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("wdmsim: cannot read " + path);
  std::stringstream buffer;
  buffer << file.rdbuf();
  std::string bytes = buffer.str();
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    // UTF-16LE: what an INF needs here is ASCII; anything else becomes '?'.
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
      text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
  } else if (bytes.starts_with("\xEF\xBB\xBF")) {
    text = bytes.substr(3);
  } else {
    text = std::move(bytes);
  }
  return ParseInfDeviceSettings(text, path);
}

std::string InfPathBeside(const std::string& imagePath) {
  std::filesystem::path path(imagePath);
  std::string name = path.filename().string();
  if (Lower(name).ends_with(".so")) name.resize(name.size() - 3);
  if (Lower(name).ends_with(".sys")) name.resize(name.size() - 4);
  return (path.parent_path() / (name + ".inf")).string();
}

}  // namespace wdmsim::pnp
