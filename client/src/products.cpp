#include "capture/products.h"

#include <algorithm>
#include <charconv>

#include "interface/ioctl.h"

namespace capture {

namespace {

constexpr Product kProducts[] = {
#include "capture/product_table.inc"
};

constexpr std::string_view kVersionInfix = "_v100-";
constexpr std::string_view kPrefixes[] = {"\\\\.\\", "\\DosDevices\\", "\\??\\"};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return Lower(x) == Lower(y);
         });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

Result<DeviceName> Make(std::string_view product, unsigned instance, const std::string& operation) {
  const Product* p = FindProduct(product);
  if (p == nullptr) return Error::Client(operation, "unknown product '" + std::string(product) + "'");
  if (instance >= kMaxInstances) {
    return Error::Client(operation, "instance " + std::to_string(instance) + " out of range (0.." +
                                        std::to_string(kMaxInstances - 1) + ")");
  }
  return DeviceName{p, instance};
}

}  // namespace

uint32_t Product::BlockSize() const { return family == Family::kA ? IOCTL_BUFFER_SIZE_A : IOCTL_BUFFER_SIZE_B; }

std::span<const Product> Products() { return kProducts; }

const Product* FindProduct(std::string_view name) {
  for (const Product& p : kProducts) {
    if (EqualsIgnoringCase(p.name, name)) return &p;
  }
  return nullptr;
}

std::string DeviceName::Link() const {
  return std::string(product->name) + std::string(kVersionInfix) + std::to_string(instance);
}

std::string DeviceName::Win32Path() const { return "\\\\.\\" + Link(); }

std::u16string DeviceName::Win32PathW() const {
  std::string narrow = Win32Path();  // ASCII: product names come from the build matrix
  return std::u16string(narrow.begin(), narrow.end());
}

Result<DeviceName> MakeDeviceName(std::string_view product, unsigned instance) {
  return Make(product, instance, "card " + std::string(product) + " " + std::to_string(instance));
}

Result<DeviceName> ParseDeviceName(std::string_view text) {
  const std::string operation = "card " + std::string(text);
  std::string_view rest = text;
  for (std::string_view prefix : kPrefixes) {
    if (StartsWithIgnoringCase(rest, prefix)) {
      rest.remove_prefix(prefix.size());
      break;
    }
  }
  // The product name may itself contain underscores: split at the last infix.
  size_t infix = std::string_view::npos;
  for (size_t at = rest.find('_'); at != std::string_view::npos; at = rest.find('_', at + 1)) {
    if (StartsWithIgnoringCase(rest.substr(at), kVersionInfix)) infix = at;
  }
  if (infix == std::string_view::npos) {
    return Error::Client(operation, "not a card name (expected <Product>_v100-<n>)");
  }
  std::string_view number = rest.substr(infix + kVersionInfix.size());
  unsigned instance = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), instance);
  if (number.empty() || ec != std::errc{} || end != number.data() + number.size() ||
      (number.size() > 1 && number[0] == '0')) {
    return Error::Client(operation, "not a card name (bad instance number)");
  }
  return Make(rest.substr(0, infix), instance, operation);
}

Result<DeviceName> ParseDeviceName(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return ParseDeviceName(narrow);
}

}  // namespace capture
