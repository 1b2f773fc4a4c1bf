#include "capture/backend.h"

#include "capture/products.h"

namespace capture {

std::vector<std::u16string> Backend::CandidatePaths() const {
  std::vector<std::u16string> paths;
  for (const Product& product : Products()) {
    for (unsigned instance = 0; instance < kMaxInstances; ++instance) {
      paths.push_back(DeviceName{&product, instance}.Win32PathW());
    }
  }
  return paths;
}

}  // namespace capture
