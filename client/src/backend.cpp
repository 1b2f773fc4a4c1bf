#include "capture/backend.h"

#include "capture/products.h"

#include <string>

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

Result<void*> Backend::AllocateLow(size_t size) {
  return Error::Client("allocate " + std::to_string(size) + " bytes below 4 GiB",
                       "the " + std::string(Name()) + " back end has no user memory");
}

Status Backend::FreeLow(void*) { return Error::Client("free user memory", "the " + std::string(Name()) + " back end has no user memory"); }

}  // namespace capture
