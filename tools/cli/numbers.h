// Numbers on the command line: hexadecimal with 0x, or decimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace capture_tool {

// "0x2000", "0X2000" or "8192"; nothing else (no sign, no octal, no spaces).
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max = UINT32_MAX);

// "" when `text` is a number no larger than `max`, else why not (for CLI11).
std::string CheckNumber(const std::string& text, uint32_t max = UINT32_MAX);

}  // namespace capture_tool
