// The ranges of a PE image that its Authenticode digest covers.
#include "authenticode.h"

namespace packaging {
namespace {

uint32_t Le32(std::span<const uint8_t> b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
uint16_t Le16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

constexpr size_t kCertificateDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY

}  // namespace

bool LooksLikePe(std::span<const uint8_t> image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
  const size_t pe = Le32(image, 0x3C);
  return pe + 4 <= image.size() && image[pe] == 'P' && image[pe + 1] == 'E' && image[pe + 2] == 0 && image[pe + 3] == 0;
}

HashedRanges AuthenticodeRanges(std::span<const uint8_t> image) {
  HashedRanges out;
  if (!LooksLikePe(image)) {
    out.error = "not a PE image";
    return out;
  }
  const size_t optional = size_t{Le32(image, 0x3C)} + 24;  // after "PE\0\0" and the file header
  if (optional + 2 > image.size()) {
    out.error = "no optional header";
    return out;
  }
  // PE32 and PE32+ differ in where the data directories start.
  const uint16_t magic = Le16(image, optional);
  size_t countField = 0, directories = 0;
  if (magic == 0x20B) {
    countField = optional + 108;
    directories = optional + 112;
  } else if (magic == 0x10B) {
    countField = optional + 92;
    directories = optional + 96;
  } else {
    out.error = "unknown optional header magic";
    return out;
  }
  if (directories > image.size() || Le32(image, countField) <= kCertificateDirectory ||
      directories + 8 * (kCertificateDirectory + 1) > image.size()) {
    out.error = "no certificate table directory entry";
    return out;
  }
  const size_t checksum = optional + 64;
  const size_t certEntry = directories + 8 * kCertificateDirectory;
  // The certificate table's entry holds a file offset, not an RVA.
  const size_t certOffset = Le32(image, certEntry), certSize = Le32(image, certEntry + 4);
  size_t end = image.size();
  if (certSize != 0) {
    if (certOffset < certEntry + 8 || certOffset > image.size() || certSize > image.size() - certOffset) {
      out.error = "certificate table outside the file";
      return out;
    }
    if (certOffset + certSize != image.size()) {
      out.error = "data after the certificate table";
      return out;
    }
    end = certOffset;
  }
  out.ranges = {{0, checksum}, {checksum + 4, certEntry}, {certEntry + 8, end}};
  return out;
}

}  // namespace packaging
