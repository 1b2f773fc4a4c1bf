// The build matrix (driverxilinx/products.tsv) as the suites read it: one
// row per product, the columns the tests check.
#pragma once

#include <cstdint>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "interface/ioctl.h"

namespace support {

struct Product {
  std::string name;
  bool familyA;
  uint32_t maxTransfer, commonBuffer;
};

inline void PrintTo(const Product& p, std::ostream* os) { *os << p.name; }

inline std::vector<Product> Matrix() {
  std::vector<Product> rows;
  std::ifstream in(PRODUCT_MATRIX_PATH);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, family, max, common;
    std::getline(fields, name, '\t');
    std::getline(fields, family, '\t');
    std::getline(fields, max, '\t');
    std::getline(fields, common, '\t');
    rows.push_back({name, family == "A", static_cast<uint32_t>(std::stoul(max, nullptr, 16)),
                    static_cast<uint32_t>(std::stoul(common, nullptr, 16))});
  }
  return rows;
}

// Whether `product` is of family A (the long parameter block, the pool
// commands).
inline bool FamilyA(const std::string& product) {
  for (const Product& p : Matrix()) {
    if (p.name == product) return p.familyA;
  }
  return true;
}

// The parameter block of `product`'s family.
inline uint32_t BlockSize(const std::string& product) {
  return FamilyA(product) ? IOCTL_BUFFER_SIZE_A : IOCTL_BUFFER_SIZE_B;
}

}  // namespace support
