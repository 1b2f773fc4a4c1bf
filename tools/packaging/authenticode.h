// The Authenticode digest of a PE image: the hash Windows recomputes to
// check an embedded signature or a catalog member. It covers the whole file
// except the optional header's CheckSum, the certificate table's directory
// entry and the certificate table itself, which signing changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace packaging {

// The byte ranges [begin, end) of `image` that are hashed, in file order;
// empty with `error` set when the file is not a PE image whose headers and
// certificate table lie inside it.
struct HashedRanges {
  std::vector<std::pair<size_t, size_t>> ranges;
  std::string error;
};
HashedRanges AuthenticodeRanges(std::span<const uint8_t> image);

// True when the file starts like a PE image ("MZ" and a "PE\0\0" header).
bool LooksLikePe(std::span<const uint8_t> image);

}  // namespace packaging
