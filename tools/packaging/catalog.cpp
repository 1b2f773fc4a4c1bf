// Catalog structure: OpenSSL's ASN.1 templates encode and decode it; this
// file only declares its shape and fills it in.
#include "catalog.h"

#include <openssl/asn1t.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <memory>

#include "authenticode.h"

namespace packaging {
namespace cat {

// CatNameValue ::= SEQUENCE { tag BMPString, flags INTEGER, value OCTET STRING (UTF-16LE, NUL-terminated) }
struct CatNameValue {
  ASN1_BMPSTRING* tag;
  ASN1_INTEGER* flags;
  ASN1_OCTET_STRING* value;
};
DECLARE_ASN1_FUNCTIONS(CatNameValue)
ASN1_SEQUENCE(CatNameValue) = {
  ASN1_SIMPLE(CatNameValue, tag, ASN1_BMPSTRING),
  ASN1_SIMPLE(CatNameValue, flags, ASN1_INTEGER),
  ASN1_SIMPLE(CatNameValue, value, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(CatNameValue)
IMPLEMENT_ASN1_FUNCTIONS(CatNameValue)

// CatMemberInfo ::= SEQUENCE { subjectGuid BMPString, certVersion INTEGER }
struct CatMemberInfo {
  ASN1_BMPSTRING* subjectGuid;
  ASN1_INTEGER* certVersion;
};
DECLARE_ASN1_FUNCTIONS(CatMemberInfo)
ASN1_SEQUENCE(CatMemberInfo) = {
  ASN1_SIMPLE(CatMemberInfo, subjectGuid, ASN1_BMPSTRING),
  ASN1_SIMPLE(CatMemberInfo, certVersion, ASN1_INTEGER),
} ASN1_SEQUENCE_END(CatMemberInfo)
IMPLEMENT_ASN1_FUNCTIONS(CatMemberInfo)

// SpcString ::= CHOICE { unicode [0] IMPLICIT BMPString, ascii [1] IMPLICIT IA5String }
struct SpcString {
  int type;
  union {
    ASN1_BMPSTRING* unicode;
    ASN1_IA5STRING* ascii;
  } value;
};
DECLARE_ASN1_FUNCTIONS(SpcString)
ASN1_CHOICE(SpcString) = {
  ASN1_IMP_OPT(SpcString, value.unicode, ASN1_BMPSTRING, 0),
  ASN1_IMP_OPT(SpcString, value.ascii, ASN1_IA5STRING, 1),
} ASN1_CHOICE_END(SpcString)
IMPLEMENT_ASN1_FUNCTIONS(SpcString)

// SpcLink ::= CHOICE { url [0] IMPLICIT IA5String, moniker [1] ..., file [2] EXPLICIT SpcString }
// (the moniker, which only page hashes use, is not written here)
struct SpcLink {
  int type;
  union {
    ASN1_IA5STRING* url;
    SpcString* file;
  } value;
};
DECLARE_ASN1_FUNCTIONS(SpcLink)
ASN1_CHOICE(SpcLink) = {
  ASN1_IMP_OPT(SpcLink, value.url, ASN1_IA5STRING, 0),
  ASN1_EXP_OPT(SpcLink, value.file, SpcString, 2),
} ASN1_CHOICE_END(SpcLink)
IMPLEMENT_ASN1_FUNCTIONS(SpcLink)
constexpr int kSpcLinkFile = 1;  // index of `file` in the choice

// SpcPeImageData ::= SEQUENCE { flags BIT STRING, file [0] EXPLICIT SpcLink OPTIONAL }
struct SpcPeImageData {
  ASN1_BIT_STRING* flags;
  SpcLink* file;
};
DECLARE_ASN1_FUNCTIONS(SpcPeImageData)
ASN1_SEQUENCE(SpcPeImageData) = {
  ASN1_SIMPLE(SpcPeImageData, flags, ASN1_BIT_STRING),
  ASN1_EXP_OPT(SpcPeImageData, file, SpcLink, 0),
} ASN1_SEQUENCE_END(SpcPeImageData)
IMPLEMENT_ASN1_FUNCTIONS(SpcPeImageData)

// SpcAttributeTypeAndOptionalValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY OPTIONAL }
struct SpcAttributeTypeAndOptionalValue {
  ASN1_OBJECT* type;
  ASN1_TYPE* value;
};
DECLARE_ASN1_FUNCTIONS(SpcAttributeTypeAndOptionalValue)
ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) = {
  ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type, ASN1_OBJECT),
  ASN1_OPT(SpcAttributeTypeAndOptionalValue, value, ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue)
IMPLEMENT_ASN1_FUNCTIONS(SpcAttributeTypeAndOptionalValue)

// DigestInfo ::= SEQUENCE { digestAlgorithm AlgorithmIdentifier, digest OCTET STRING }
struct DigestInfo {
  X509_ALGOR* digestAlgorithm;
  ASN1_OCTET_STRING* digest;
};
DECLARE_ASN1_FUNCTIONS(DigestInfo)
ASN1_SEQUENCE(DigestInfo) = {
  ASN1_SIMPLE(DigestInfo, digestAlgorithm, X509_ALGOR),
  ASN1_SIMPLE(DigestInfo, digest, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(DigestInfo)
IMPLEMENT_ASN1_FUNCTIONS(DigestInfo)

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }
struct SpcIndirectDataContent {
  SpcAttributeTypeAndOptionalValue* data;
  DigestInfo* messageDigest;
};
DECLARE_ASN1_FUNCTIONS(SpcIndirectDataContent)
ASN1_SEQUENCE(SpcIndirectDataContent) = {
  ASN1_SIMPLE(SpcIndirectDataContent, data, SpcAttributeTypeAndOptionalValue),
  ASN1_SIMPLE(SpcIndirectDataContent, messageDigest, DigestInfo),
} ASN1_SEQUENCE_END(SpcIndirectDataContent)
IMPLEMENT_ASN1_FUNCTIONS(SpcIndirectDataContent)

// TrustedSubject ::= SEQUENCE { subjectIdentifier OCTET STRING, subjectAttributes SET OF Attribute }
struct TrustedSubject {
  ASN1_OCTET_STRING* identifier;
  STACK_OF(X509_ATTRIBUTE)* attributes;
};
DECLARE_ASN1_FUNCTIONS(TrustedSubject)
ASN1_SEQUENCE(TrustedSubject) = {
  ASN1_SIMPLE(TrustedSubject, identifier, ASN1_OCTET_STRING),
  ASN1_SET_OF(TrustedSubject, attributes, X509_ATTRIBUTE),
} ASN1_SEQUENCE_END(TrustedSubject)
IMPLEMENT_ASN1_FUNCTIONS(TrustedSubject)
DEFINE_STACK_OF(TrustedSubject)

// The certificate trust list as catalogs use it: no version, sequence number
// or next update, which are optional.
//   SEQUENCE { subjectUsage SEQUENCE OF OID, listIdentifier OCTET STRING, effectiveDate UTCTime,
//              subjectAlgorithm AlgorithmIdentifier, trustedSubjects SEQUENCE OF TrustedSubject,
//              extensions [0] EXPLICIT Extensions OPTIONAL }
struct CatalogList {
  STACK_OF(ASN1_OBJECT)* subjectUsage;
  ASN1_OCTET_STRING* listIdentifier;
  ASN1_UTCTIME* effectiveDate;
  X509_ALGOR* subjectAlgorithm;
  STACK_OF(TrustedSubject)* trustedSubjects;
  STACK_OF(X509_EXTENSION)* extensions;
};
DECLARE_ASN1_FUNCTIONS(CatalogList)
ASN1_SEQUENCE(CatalogList) = {
  ASN1_SEQUENCE_OF(CatalogList, subjectUsage, ASN1_OBJECT),
  ASN1_SIMPLE(CatalogList, listIdentifier, ASN1_OCTET_STRING),
  ASN1_SIMPLE(CatalogList, effectiveDate, ASN1_UTCTIME),
  ASN1_SIMPLE(CatalogList, subjectAlgorithm, X509_ALGOR),
  ASN1_SEQUENCE_OF(CatalogList, trustedSubjects, TrustedSubject),
  ASN1_EXP_SEQUENCE_OF_OPT(CatalogList, extensions, X509_EXTENSION, 0),
} ASN1_SEQUENCE_END(CatalogList)
IMPLEMENT_ASN1_FUNCTIONS(CatalogList)

}  // namespace cat

namespace {

constexpr const char* kCtl = "1.3.6.1.4.1.311.10.1";
constexpr const char* kCatalogList = "1.3.6.1.4.1.311.12.1.1";
constexpr const char* kCatalogListMember = "1.3.6.1.4.1.311.12.1.2";
constexpr const char* kNameValue = "1.3.6.1.4.1.311.12.2.1";
constexpr const char* kMemberInfo = "1.3.6.1.4.1.311.12.2.2";
constexpr const char* kIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kPeImageData = "1.3.6.1.4.1.311.2.1.15";
constexpr const char* kFlatData = "1.3.6.1.4.1.311.2.1.25";
// The subject interface packages that hash a member when Windows checks it.
constexpr const char* kPeImageSip = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
constexpr const char* kFlatSip = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
constexpr long kMemberInfoVersion = 512;
// CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII
constexpr long kNameValueFlags = 0x10010001;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using Object = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
Object Oid(const char* text) { return Object(OBJ_txt2obj(text, 1)); }

std::string OidText(const ASN1_OBJECT* object) {
  char buffer[128] = {};
  OBJ_obj2txt(buffer, sizeof(buffer), object, 1);
  return buffer;
}

std::vector<uint8_t> Utf16Le(const std::string& ascii, bool terminated) {
  std::vector<uint8_t> out;
  for (unsigned char c : ascii) {
    out.push_back(c);
    out.push_back(0);
  }
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

// UTF-16 text of ASCII characters back to ASCII; stops at a NUL.
std::string Ascii(const unsigned char* data, int length, bool bigEndian) {
  std::string out;
  for (int i = 0; i + 1 < length; i += 2) {
    const unsigned c = bigEndian ? (data[i] << 8 | data[i + 1]) : (data[i] | data[i + 1] << 8);
    if (c == 0) break;
    out += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return out;
}

ASN1_BMPSTRING* Bmp(const std::string& ascii) {
  ASN1_STRING* out = nullptr;
  ASN1_mbstring_copy(&out, reinterpret_cast<const unsigned char*>(ascii.data()), static_cast<int>(ascii.size()),
                     MBSTRING_ASC, B_ASN1_BMPSTRING);
  return out;
}

ASN1_OCTET_STRING* Octets(std::span<const uint8_t> bytes) {
  ASN1_OCTET_STRING* out = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(out, bytes.data(), static_cast<int>(bytes.size()));
  return out;
}

// DER of an item, through the template that describes it.
template <typename T>
std::vector<uint8_t> Der(const T* value, const ASN1_ITEM* item) {
  unsigned char* out = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(value), &out, item);
  if (length <= 0) return {};
  std::vector<uint8_t> der(out, out + length);
  OPENSSL_free(out);
  return der;
}

// An attribute with one value, given as its whole DER encoding (a SEQUENCE).
X509_ATTRIBUTE* Attribute(const char* oid, const std::vector<uint8_t>& valueDer) {
  Object type = Oid(oid);
  return X509_ATTRIBUTE_create_by_OBJ(nullptr, type.get(), V_ASN1_SEQUENCE, valueDer.data(),
                                      static_cast<int>(valueDer.size()));
}

std::vector<uint8_t> NameValueDer(const std::string& name, const std::string& value) {
  Owned<cat::CatNameValue, cat::CatNameValue_free> nv(cat::CatNameValue_new());
  ASN1_BMPSTRING_free(nv->tag);
  nv->tag = Bmp(name);
  ASN1_INTEGER_set(nv->flags, kNameValueFlags);
  const auto text = Utf16Le(value, true);
  ASN1_OCTET_STRING_set(nv->value, text.data(), static_cast<int>(text.size()));
  return Der(nv.get(), ASN1_ITEM_rptr(cat::CatNameValue));
}

std::vector<uint8_t> MemberInfoDer(MemberKind kind) {
  Owned<cat::CatMemberInfo, cat::CatMemberInfo_free> info(cat::CatMemberInfo_new());
  ASN1_BMPSTRING_free(info->subjectGuid);
  info->subjectGuid = Bmp(kind == MemberKind::kPeImage ? kPeImageSip : kFlatSip);
  ASN1_INTEGER_set(info->certVersion, kMemberInfoVersion);
  return Der(info.get(), ASN1_ITEM_rptr(cat::CatMemberInfo));
}

// SpcLink naming a file: the obsolete-file marker the signing tools write.
cat::SpcLink* FileLink(const std::string& text) {
  auto* link = cat::SpcLink_new();
  link->type = cat::kSpcLinkFile;
  link->value.file = cat::SpcString_new();
  link->value.file->type = 0;
  link->value.file->value.unicode = Bmp(text);
  return link;
}

std::vector<uint8_t> IndirectDataDer(MemberKind kind, int digestNid, std::span<const uint8_t> digest) {
  Owned<cat::SpcIndirectDataContent, cat::SpcIndirectDataContent_free> idc(cat::SpcIndirectDataContent_new());
  ASN1_OBJECT_free(idc->data->type);
  std::vector<uint8_t> valueDer;
  if (kind == MemberKind::kPeImage) {
    idc->data->type = Oid(kPeImageData).release();
    Owned<cat::SpcPeImageData, cat::SpcPeImageData_free> pe(cat::SpcPeImageData_new());
    pe->file = FileLink("<<<Obsolete>>>");
    valueDer = Der(pe.get(), ASN1_ITEM_rptr(cat::SpcPeImageData));
  } else {
    idc->data->type = Oid(kFlatData).release();
    Owned<cat::SpcLink, cat::SpcLink_free> link(FileLink(""));
    valueDer = Der(link.get(), ASN1_ITEM_rptr(cat::SpcLink));
  }
  // ANY holding a whole encoding: a SEQUENCE for the PE data, a context tag for the link.
  idc->data->value = ASN1_TYPE_new();
  ASN1_STRING* encoded = ASN1_STRING_new();
  ASN1_STRING_set(encoded, valueDer.data(), static_cast<int>(valueDer.size()));
  ASN1_TYPE_set(idc->data->value, kind == MemberKind::kPeImage ? V_ASN1_SEQUENCE : V_ASN1_OTHER, encoded);
  X509_ALGOR_set0(idc->messageDigest->digestAlgorithm, OBJ_nid2obj(digestNid), V_ASN1_NULL, nullptr);
  ASN1_OCTET_STRING_set(idc->messageDigest->digest, digest.data(), static_cast<int>(digest.size()));
  return Der(idc.get(), ASN1_ITEM_rptr(cat::SpcIndirectDataContent));
}

struct OsVersion {
  const char* name;     // as Inf2Cat's /os: takes it
  const char* osValue;  // catalog "OS" attribute
  const char* osAttr;   // member "OSAttr" attribute
};
constexpr OsVersion kOsVersions[] = {
    {"7_X64", "7X64", "2:6.1"},
    {"8_X64", "8X64", "2:6.2"},
    {"6_3_X64", "_v63_X64", "2:6.3"},
    {"10_X64", "_v100_X64", "2:10.0"},
};

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : ",") + p;
  return out;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

std::string Hex(std::span<const uint8_t> bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

MemberKind KindOf(std::span<const uint8_t> bytes) {
  return LooksLikePe(bytes) ? MemberKind::kPeImage : MemberKind::kFlat;
}

std::vector<uint8_t> MemberDigest(std::span<const uint8_t> bytes, MemberKind kind, const std::string& algorithm,
                                  std::string* error) {
  const EVP_MD* md = EVP_get_digestbyname(algorithm.c_str());
  if (md == nullptr) {
    *error = "unknown digest " + algorithm;
    return {};
  }
  std::vector<std::pair<size_t, size_t>> ranges{{0, bytes.size()}};
  if (kind == MemberKind::kPeImage) {
    HashedRanges hashed = AuthenticodeRanges(bytes);
    if (!hashed.error.empty()) {
      *error = hashed.error;
      return {};
    }
    ranges = std::move(hashed.ranges);
  }
  Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
  EVP_DigestInit_ex(ctx.get(), md, nullptr);
  for (auto [begin, end] : ranges) EVP_DigestUpdate(ctx.get(), bytes.data() + begin, end - begin);
  std::vector<uint8_t> digest(EVP_MD_get_size(md));
  EVP_DigestFinal_ex(ctx.get(), digest.data(), nullptr);
  return digest;
}

std::vector<uint8_t> BuildCatalog(const CatalogInput& input, std::string* error) {
  std::vector<std::string> osValues, osAttrs;
  for (const auto& name : input.osVersions) {
    auto it = std::find_if(std::begin(kOsVersions), std::end(kOsVersions),
                           [&](const OsVersion& v) { return name == v.name; });
    if (it == std::end(kOsVersions)) {
      *error = "unknown Windows version " + name + " (known: 7_X64, 8_X64, 6_3_X64, 10_X64)";
      return {};
    }
    osValues.push_back(it->osValue);
    osAttrs.push_back(it->osAttr);
  }
  if (osValues.empty()) {
    *error = "no Windows version given";
    return {};
  }

  Owned<cat::CatalogList, cat::CatalogList_free> list(cat::CatalogList_new());
  sk_ASN1_OBJECT_push(list->subjectUsage, Oid(kCatalogList).release());
  X509_ALGOR_set0(list->subjectAlgorithm, Oid(kCatalogListMember).release(), V_ASN1_NULL, nullptr);
  ASN1_UTCTIME_set(list->effectiveDate, static_cast<time_t>(input.effectiveTime));

  // Members sorted by tag, so that the same files always give the same catalog.
  std::map<std::string, cat::TrustedSubject*> members;
  Owned<EVP_MD_CTX, EVP_MD_CTX_free> identity(EVP_MD_CTX_new());
  EVP_DigestInit_ex(identity.get(), EVP_sha256(), nullptr);
  const std::string osAttr = Join(osAttrs);
  for (const MemberFile& file : input.files) {
    for (auto [nid, digest] : {std::pair{NID_sha256, &file.sha256}, std::pair{NID_sha1, &file.sha1}}) {
      if (digest->size() != static_cast<size_t>(EVP_MD_get_size(EVP_get_digestbynid(nid)))) {
        *error = file.name + ": missing " + OBJ_nid2sn(nid) + " digest";
        for (auto& [tag, member] : members) cat::TrustedSubject_free(member);
        return {};
      }
      const std::string tag = Hex(*digest);
      EVP_DigestUpdate(identity.get(), tag.data(), tag.size());
      auto* member = cat::TrustedSubject_new();
      const auto tagText = Utf16Le(tag, true);
      ASN1_OCTET_STRING_set(member->identifier, tagText.data(), static_cast<int>(tagText.size()));
      sk_X509_ATTRIBUTE_push(member->attributes, Attribute(kNameValue, NameValueDer("File", file.name)));
      sk_X509_ATTRIBUTE_push(member->attributes, Attribute(kNameValue, NameValueDer("OSAttr", osAttr)));
      sk_X509_ATTRIBUTE_push(member->attributes, Attribute(kMemberInfo, MemberInfoDer(file.kind)));
      sk_X509_ATTRIBUTE_push(member->attributes, Attribute(kIndirectData, IndirectDataDer(file.kind, nid, *digest)));
      if (auto old = members.find(tag); old != members.end()) cat::TrustedSubject_free(old->second);
      members[tag] = member;
    }
  }
  for (auto& [tag, member] : members) sk_TrustedSubject_push(list->trustedSubjects, member);

  // The list identifier (a GUID in the kit's catalogs) is derived from the
  // members, so a rebuild of the same files gives the same bytes.
  uint8_t id[EVP_MAX_MD_SIZE];
  EVP_DigestFinal_ex(identity.get(), id, nullptr);
  ASN1_OCTET_STRING_set(list->listIdentifier, id, 16);

  list->extensions = sk_X509_EXTENSION_new_null();
  std::vector<std::pair<std::string, std::string>> attributes{{"OS", Join(osValues)}};
  for (size_t i = 0; i < input.hardwareIds.size(); ++i) {
    attributes.emplace_back("HWID" + std::to_string(i + 1), Lower(input.hardwareIds[i]));
  }
  for (const auto& [name, value] : attributes) {
    const auto der = NameValueDer(name, value);
    Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> data(Octets(der));
    Object type = Oid(kNameValue);
    sk_X509_EXTENSION_push(list->extensions, X509_EXTENSION_create_by_OBJ(nullptr, type.get(), 0, data.get()));
  }
  const std::vector<uint8_t> listDer = Der(list.get(), ASN1_ITEM_rptr(cat::CatalogList));

  // SignedData with the list as its content and, so far, no signer.
  Owned<PKCS7, PKCS7_free> p7(PKCS7_new());
  PKCS7_set_type(p7.get(), NID_pkcs7_signed);
  PKCS7* content = PKCS7_new();
  content->type = Oid(kCtl).release();
  content->d.other = ASN1_TYPE_new();
  ASN1_STRING* encoded = ASN1_STRING_new();
  ASN1_STRING_set(encoded, listDer.data(), static_cast<int>(listDer.size()));
  ASN1_TYPE_set(content->d.other, V_ASN1_SEQUENCE, encoded);
  PKCS7_set_content(p7.get(), content);
  std::vector<uint8_t> out = Der(p7.get(), ASN1_ITEM_rptr(PKCS7));
  if (out.empty()) *error = "encoding the catalog failed";
  return out;
}

std::optional<CatalogContents> ReadCatalog(std::span<const uint8_t> der, std::string* error) {
  const unsigned char* p = der.data();
  Owned<PKCS7, PKCS7_free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (!p7 || !PKCS7_type_is_signed(p7.get())) {
    *error = "not a PKCS#7 SignedData";
    return std::nullopt;
  }
  PKCS7* content = p7->d.sign->contents;
  if (content == nullptr || OidText(content->type) != kCtl || content->d.other == nullptr ||
      content->d.other->type != V_ASN1_SEQUENCE) {
    *error = "the content is not a certificate trust list";
    return std::nullopt;
  }
  CatalogContents out;
  out.signedByAnyone = sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())) > 0;
  const ASN1_STRING* listDer = content->d.other->value.sequence;
  p = listDer->data;
  Owned<cat::CatalogList, cat::CatalogList_free> list(cat::d2i_CatalogList(nullptr, &p, listDer->length));
  if (!list || sk_ASN1_OBJECT_num(list->subjectUsage) != 1 ||
      OidText(sk_ASN1_OBJECT_value(list->subjectUsage, 0)) != kCatalogList) {
    *error = "the trust list is not a catalog list";
    return std::nullopt;
  }
  const ASN1_OBJECT* algorithm = nullptr;
  X509_ALGOR_get0(&algorithm, nullptr, nullptr, list->subjectAlgorithm);
  out.subjectAlgorithm = OidText(algorithm);
  out.effectiveDate.assign(reinterpret_cast<const char*>(list->effectiveDate->data), list->effectiveDate->length);

  auto readNameValue = [](const ASN1_STRING* encoded) -> std::optional<std::pair<std::string, std::string>> {
    const unsigned char* q = encoded->data;
    Owned<cat::CatNameValue, cat::CatNameValue_free> nv(cat::d2i_CatNameValue(nullptr, &q, encoded->length));
    if (!nv) return std::nullopt;
    return std::pair{Ascii(nv->tag->data, nv->tag->length, true), Ascii(nv->value->data, nv->value->length, false)};
  };
  for (int i = 0; i < sk_X509_EXTENSION_num(list->extensions); ++i) {
    X509_EXTENSION* extension = sk_X509_EXTENSION_value(list->extensions, i);
    if (OidText(X509_EXTENSION_get_object(extension)) != kNameValue) continue;
    if (auto nv = readNameValue(X509_EXTENSION_get_data(extension))) out.attributes.push_back(*nv);
  }

  for (int i = 0; i < sk_TrustedSubject_num(list->trustedSubjects); ++i) {
    const cat::TrustedSubject* subject = sk_TrustedSubject_value(list->trustedSubjects, i);
    CatalogMember member;
    member.tag = Ascii(subject->identifier->data, subject->identifier->length, false);
    for (int j = 0; j < sk_X509_ATTRIBUTE_num(subject->attributes); ++j) {
      X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(subject->attributes, j);
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
      if (value == nullptr || value->type != V_ASN1_SEQUENCE) continue;
      const std::string type = OidText(X509_ATTRIBUTE_get0_object(attribute));
      const ASN1_STRING* encoded = value->value.sequence;
      const unsigned char* q = encoded->data;
      if (type == kNameValue) {
        if (auto nv = readNameValue(encoded)) {
          if (nv->first == "File") member.file = nv->second;
          if (nv->first == "OSAttr") member.osAttr = nv->second;
        }
      } else if (type == kMemberInfo) {
        Owned<cat::CatMemberInfo, cat::CatMemberInfo_free> info(cat::d2i_CatMemberInfo(nullptr, &q, encoded->length));
        if (info) member.subjectGuid = Ascii(info->subjectGuid->data, info->subjectGuid->length, true);
      } else if (type == kIndirectData) {
        Owned<cat::SpcIndirectDataContent, cat::SpcIndirectDataContent_free> idc(
            cat::d2i_SpcIndirectDataContent(nullptr, &q, encoded->length));
        if (!idc) continue;
        member.indirectType = OidText(idc->data->type);
        const ASN1_OBJECT* md = nullptr;
        X509_ALGOR_get0(&md, nullptr, nullptr, idc->messageDigest->digestAlgorithm);
        member.digestAlgorithm = OBJ_nid2sn(OBJ_obj2nid(md));
        std::transform(member.digestAlgorithm.begin(), member.digestAlgorithm.end(), member.digestAlgorithm.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        member.digest.assign(idc->messageDigest->digest->data,
                             idc->messageDigest->digest->data + idc->messageDigest->digest->length);
      }
    }
    out.members.push_back(std::move(member));
  }
  return out;
}

}  // namespace packaging
