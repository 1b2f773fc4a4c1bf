#include "numbers.h"

#include <charconv>

#include <fmt/format.h>

namespace capture_tool {

std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  } else if (text.size() > 1 && text[0] == '0') {
    return std::nullopt;  // a leading zero would read as octal elsewhere: refuse it
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc{} || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

std::string CheckNumber(const std::string& text, uint32_t max) {
  if (ParseNumber(text, max)) return "";
  std::string range = max > 0xFFFF ? fmt::format("0x{:X}", max) : fmt::format("{}", max);
  return fmt::format("'{}' is not a number from 0 to {} (decimal, or hexadecimal with 0x)", text, range);
}

}  // namespace capture_tool
