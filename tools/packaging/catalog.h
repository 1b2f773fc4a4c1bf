// Driver package catalogs (.cat), built on Linux.
//
// A catalog is a PKCS#7 SignedData whose content (type 1.3.6.1.4.1.311.10.1)
// is a certificate trust list of the package's files. Each file appears as
// two members: one under its SHA-256 digest and one under its SHA-1 digest,
// which is the one older Windows versions look up. A member's tag is the
// digest in upper-case hex (UTF-16LE, NUL-terminated, as the catalog database
// indexes it); its attributes are the file name ("File"), the Windows versions
// it is for ("OSAttr"), the subject interface package that hashes it (PE
// image or flat file) and the digest itself in an SPC_INDIRECT_DATA value: the
// Authenticode digest for a PE image, the digest of the whole file otherwise.
// The catalog carries the "OS" attribute and one "HWID<n>" attribute per
// hardware id, as the kit's catalog tool writes them.
//
// The catalog is built unsigned (a SignedData with no signer); signing it is
// osslsigncode's job (`osslsigncode sign -in P.cat`), which keeps the content
// and adds the signer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace packaging {

enum class MemberKind { kPeImage, kFlat };

struct MemberFile {
  std::string name;  // file name inside the package, no directory
  MemberKind kind = MemberKind::kFlat;
  std::vector<uint8_t> sha1, sha256;
};

struct CatalogInput {
  std::vector<MemberFile> files;
  std::vector<std::string> osVersions;   // "10_X64", "6_3_X64", "8_X64", "7_X64"
  std::vector<std::string> hardwareIds;  // written lower-case, as HWID1, HWID2, ...
  int64_t effectiveTime = 0;             // seconds since 1970 (UTC)
};

// The digest of a file as its catalog member records it: the Authenticode
// digest of a PE image, or the digest of all its bytes. `algorithm` is
// "sha1" or "sha256". Empty, with `error` set, for a malformed PE image.
std::vector<uint8_t> MemberDigest(std::span<const uint8_t> bytes, MemberKind kind, const std::string& algorithm,
                                  std::string* error);

// A PE image (by its headers) is hashed as one, anything else as a flat file.
MemberKind KindOf(std::span<const uint8_t> bytes);

// The DER of the unsigned catalog; empty, with `error` set, when an OS
// version is unknown or a digest is missing.
std::vector<uint8_t> BuildCatalog(const CatalogInput& input, std::string* error);

// A catalog as read back (for listing and checking).
struct CatalogMember {
  std::string tag;
  std::string file;            // "File" attribute
  std::string osAttr;          // "OSAttr" attribute
  std::string subjectGuid;     // from the member info
  std::string indirectType;    // OID of the indirect data (PE image or flat file)
  std::string digestAlgorithm; // "sha1", "sha256"
  std::vector<uint8_t> digest;
};

struct CatalogContents {
  bool signedByAnyone = false;
  std::string subjectAlgorithm;  // OID
  std::string effectiveDate;     // as written (UTCTime)
  std::vector<std::pair<std::string, std::string>> attributes;  // catalog name/values
  std::vector<CatalogMember> members;
};

std::optional<CatalogContents> ReadCatalog(std::span<const uint8_t> der, std::string* error);

std::string Hex(std::span<const uint8_t> bytes);

}  // namespace packaging
