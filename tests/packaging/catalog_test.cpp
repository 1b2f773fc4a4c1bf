// Package catalogs: every package's catalog read back with a plain DER
// walk (not the templates that wrote it) and compared with the files; the
// Authenticode digest against osslsigncode's; and the signing chain end to
// end with a fresh test certificate, down to a tampered image that must fail.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "catalog.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Outcome {
  int code = -1;
  std::string output;  // stdout and stderr
};

Outcome Sh(const std::string& command) {
  Outcome run;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// The build's osslsigncode, or another one to try (OSSLSIGNCODE=/path/to/it).
std::string Osslsigncode() {
  const char* other = std::getenv("OSSLSIGNCODE");
  return other != nullptr && *other != 0 ? other : OSSLSIGNCODE_PATH;
}

std::string Digest(const Bytes& bytes, const char* algorithm) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &length, EVP_get_digestbyname(algorithm), nullptr);
  return packaging::Hex({out, length});
}

// --- a plain DER walk -----------------------------------------------------------

struct Tlv {
  int tag = -1, cls = -1;
  bool constructed = false;
  const uint8_t* begin = nullptr;  // whole encoding
  const uint8_t* content = nullptr;
  long length = 0;
  size_t size() const { return static_cast<size_t>(content + length - begin); }
};

std::vector<Tlv> Children(const uint8_t* p, long length) {
  std::vector<Tlv> out;
  const uint8_t* end = p + length;
  while (p < end) {
    Tlv t;
    t.begin = p;
    long len = 0;
    const int flags = ASN1_get_object(&p, &len, &t.tag, &t.cls, end - p);
    if (flags & 0x80) return {};
    t.constructed = flags & V_ASN1_CONSTRUCTED;
    t.content = p;
    t.length = len;
    p += len;
    out.push_back(t);
  }
  return out;
}
std::vector<Tlv> Children(const Tlv& t) { return Children(t.content, t.length); }

std::string Oid(const Tlv& t) {
  const unsigned char* p = t.begin;
  ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(t.size()));
  char text[128] = {};
  if (object != nullptr) OBJ_obj2txt(text, sizeof(text), object, 1);
  ASN1_OBJECT_free(object);
  return text;
}

std::string Utf16(const Tlv& t, bool bigEndian) {
  std::string out;
  for (long i = 0; i + 1 < t.length; i += 2) {
    const unsigned c = bigEndian ? t.content[i] << 8 | t.content[i + 1] : t.content[i] | t.content[i + 1] << 8;
    if (c == 0) break;
    out += static_cast<char>(c);
  }
  return out;
}

struct Member {
  std::string tag, file, osAttr, subjectGuid, indirectType, algorithm, digest;
  bool tagTerminated = false;
};

struct Walked {
  std::string contentType;
  bool hasSigner = false;
  std::string subjectAlgorithm;
  std::map<std::string, std::string> attributes;
  std::vector<Member> members;
  std::string error;
};

// name/value pair: SEQUENCE { BMPString name, INTEGER flags, OCTET STRING UTF-16LE value }
std::optional<std::pair<std::string, std::string>> NameValue(const Tlv& sequence) {
  const auto f = Children(sequence);
  if (f.size() != 3 || f[0].tag != V_ASN1_BMPSTRING || f[1].tag != V_ASN1_INTEGER || f[2].tag != V_ASN1_OCTET_STRING) {
    return std::nullopt;
  }
  return std::pair{Utf16(f[0], true), Utf16(f[2], false)};
}

Walked Walk(const Bytes& der) {
  Walked w;
  const auto top = Children(der.data(), static_cast<long>(der.size()));
  if (top.size() != 1) return w.error = "not one DER value", w;
  const auto info = Children(top[0]);
  if (info.size() != 2 || Oid(info[0]) != "1.2.840.113549.1.7.2") return w.error = "not SignedData", w;
  const auto signedData = Children(Children(info[1]).at(0));
  // version, digestAlgorithms, contentInfo, [certificates], signerInfos
  if (signedData.size() < 4) return w.error = "SignedData too short", w;
  w.hasSigner = !Children(signedData.back()).empty();
  const auto content = Children(signedData[2]);
  w.contentType = Oid(content.at(0));
  const auto list = Children(Children(content.at(1)).at(0));
  if (list.size() < 5) return w.error = "trust list too short", w;
  w.subjectAlgorithm = Oid(Children(list[3]).at(0));
  for (const Tlv& subject : Children(list[4])) {
    const auto s = Children(subject);
    Member m;
    m.tag = Utf16(s.at(0), false);
    m.tagTerminated = s[0].length >= 2 && s[0].content[s[0].length - 1] == 0 && s[0].content[s[0].length - 2] == 0;
    for (const Tlv& attribute : Children(s.at(1))) {
      const auto a = Children(attribute);
      const std::string type = Oid(a.at(0));
      const Tlv value = Children(a.at(1)).at(0);
      if (type == "1.3.6.1.4.1.311.12.2.1") {
        if (auto nv = NameValue(value)) (nv->first == "File" ? m.file : m.osAttr) = nv->second;
      } else if (type == "1.3.6.1.4.1.311.12.2.2") {
        m.subjectGuid = Utf16(Children(value).at(0), true);
      } else if (type == "1.3.6.1.4.1.311.2.1.4") {
        const auto idc = Children(value);
        m.indirectType = Oid(Children(idc.at(0)).at(0));
        const auto digestInfo = Children(idc.at(1));
        m.algorithm = OBJ_nid2sn(OBJ_txt2nid(Oid(Children(digestInfo.at(0)).at(0)).c_str()));
        m.digest = packaging::Hex({digestInfo.at(1).content, static_cast<size_t>(digestInfo.at(1).length)});
      }
    }
    w.members.push_back(m);
  }
  if (list.size() > 5) {
    // [0] { SEQUENCE OF Extension { OID, OCTET STRING { name/value } } }
    for (const Tlv& extension : Children(Children(list[5]).at(0))) {
      const auto e = Children(extension);
      const auto inner = Children(e.back());
      if (Oid(e.at(0)) == "1.3.6.1.4.1.311.12.2.1" && inner.size() == 1) {
        if (auto nv = NameValue(inner[0])) w.attributes[nv->first] = nv->second;
      }
    }
  }
  return w;
}

// --- every package's catalog ------------------------------------------------------

struct Product {
  std::string name, hardwareId;
};
void PrintTo(const Product& p, std::ostream* os) { *os << p.name; }

std::vector<Product> Products() {
  std::vector<Product> out;
  std::ifstream in(PRODUCT_MATRIX_PATH);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream f(line);
    std::vector<std::string> fields;
    for (std::string field; std::getline(f, field, '\t');) fields.push_back(field);
    out.push_back({fields.at(0), fields.at(4)});
  }
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

constexpr const char* kPeSip = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
constexpr const char* kFlatSip = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";

class PackageCatalog : public ::testing::TestWithParam<Product> {};

TEST_P(PackageCatalog, ListsTheImageAndTheInfUnderBothDigestsAndVerifiesWhenSigned) {
  const Product& p = GetParam();
  const fs::path dir = fs::path(PACKAGE_DIR) / p.name;
  const Bytes sys = ReadBytes(dir / (p.name + ".sys")), inf = ReadBytes(dir / (p.name + ".inf"));
  const Walked w = Walk(ReadBytes(dir / (p.name + ".cat")));
  ASSERT_EQ(w.error, "");
  EXPECT_EQ(w.contentType, "1.3.6.1.4.1.311.10.1");
  EXPECT_EQ(w.subjectAlgorithm, "1.3.6.1.4.1.311.12.1.2");
  EXPECT_EQ(w.hasSigner, PACKAGES_SIGNED);
  EXPECT_EQ(w.attributes, (std::map<std::string, std::string>{{"OS", "_v100_X64"}, {"HWID1", Lower(p.hardwareId)}}));

  // The image by its Authenticode digest (checked against osslsigncode's
  // below), the INF by the digest of its bytes.
  std::string error;
  struct Expected {
    std::string file, algorithm, digest, sip, indirectType;
  };
  std::vector<Expected> expected;
  for (const char* algorithm : {"sha256", "sha1"}) {
    expected.push_back({p.name + ".sys", algorithm,
                        packaging::Hex(packaging::MemberDigest(sys, packaging::MemberKind::kPeImage, algorithm, &error)),
                        kPeSip, "1.3.6.1.4.1.311.2.1.15"});
    expected.push_back({p.name + ".inf", algorithm, Digest(inf, algorithm), kFlatSip, "1.3.6.1.4.1.311.2.1.25"});
  }
  ASSERT_EQ(w.members.size(), expected.size());
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.file + " " + e.algorithm);
    auto m = std::find_if(w.members.begin(), w.members.end(), [&](const Member& m) { return m.digest == e.digest; });
    ASSERT_NE(m, w.members.end());
    EXPECT_EQ(m->tag, e.digest);
    EXPECT_TRUE(m->tagTerminated);
    EXPECT_EQ(Lower(m->algorithm), e.algorithm);
    EXPECT_EQ(m->file, e.file);
    EXPECT_EQ(m->osAttr, "2:10.0");
    EXPECT_EQ(m->subjectGuid, e.sip);
    EXPECT_EQ(m->indirectType, e.indirectType);
  }

  // A signed build: the catalog, the image, and the image against the catalog.
  if (PACKAGES_SIGNED) {
    const std::string verify = Osslsigncode() + " verify -CAfile " + Q(SIGN_VERIFY_CA) + " -in ";
    const std::string sysPath = Q(dir / (p.name + ".sys")), catPath = Q(dir / (p.name + ".cat"));
    for (const std::string& args : {catPath, sysPath, sysPath + " -catalog " + catPath}) {
      const Outcome r = Sh(verify + args);
      EXPECT_EQ(r.code, 0) << args << "\n" << r.output;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Products, PackageCatalog, ::testing::ValuesIn(Products()),
                         [](const ::testing::TestParamInfo<Product>& info) { return info.param.name; });

// --- signing, end to end ----------------------------------------------------------

// A scratch folder with a fresh test certificate from scripts/make-test-cert.sh,
// shared by the tests below (one key pair per run).
class Signing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("catalog-test-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    certificate_ = Sh("sh " + Q(MAKE_TEST_CERT_PATH) + " " + Q(dir_ / "cert"));
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static std::string Tool() { return Osslsigncode(); }
  static fs::path Cert(const char* name) { return dir_ / "cert" / name; }

  // The Talvrex package, as the build stages it before signing.
  void SetUp() override {
    ASSERT_EQ(certificate_.code, 0) << certificate_.output;
    work_ = dir_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(work_);
    fs::copy_file(GOOD_IMAGE, work_ / "Talvrex.unsigned.sys");
    fs::copy_file(fs::path(PACKAGE_DIR) / "Talvrex" / "Talvrex.inf", work_ / "Talvrex.inf");
  }

  // Signs the image, makes the catalog of image and INF, signs it: what the
  // build does with SIGN_CERT. `key` is the osslsigncode key arguments.
  void SignPackage(const std::string& key) {
    Outcome r = Sh(Tool() + " sign " + key + " -h sha256 -in " + Q(work_ / "Talvrex.unsigned.sys") + " -out " +
               Q(work_ / "Talvrex.sys"));
    ASSERT_EQ(r.code, 0) << r.output;
    r = Sh(std::string(MAKECAT_PATH) + " --out " + Q(work_ / "unsigned.cat") + " --time 1700000000 " +
           Q(work_ / "Talvrex.sys") + " " + Q(work_ / "Talvrex.inf"));
    ASSERT_EQ(r.code, 0) << r.output;
    r = Sh(Tool() + " sign " + key + " -h sha256 -in " + Q(work_ / "unsigned.cat") + " -out " + Q(work_ / "Talvrex.cat"));
    ASSERT_EQ(r.code, 0) << r.output;
  }

  Outcome Verify(const std::string& args) { return Sh(Tool() + " verify -CAfile " + Q(Cert("cert.pem")) + " -in " + args); }
  std::string Sys() const { return Q(work_ / "Talvrex.sys"); }
  std::string Cat() const { return Q(work_ / "Talvrex.cat"); }

  static inline fs::path dir_;
  static inline Outcome certificate_;
  fs::path work_;
};

TEST_F(Signing, AFreshTestCertificateSignsAPackageThatVerifies) {
  for (const std::string& key : {"-certs " + Q(Cert("cert.pem")) + " -key " + Q(Cert("key.pem")),
                                 "-pkcs12 " + Q(Cert("cert.pfx")) + " -readpass " + Q(Cert("pfx-password.txt"))}) {
    SCOPED_TRACE(key);
    fs::remove(work_ / "Talvrex.sys");
    fs::remove(work_ / "unsigned.cat");
    fs::remove(work_ / "Talvrex.cat");
    ASSERT_NO_FATAL_FAILURE(SignPackage(key));
    for (const std::string& args : {Cat(), Sys(), Sys() + " -catalog " + Cat()}) {
      const Outcome r = Verify(args);
      EXPECT_EQ(r.code, 0) << args << "\n" << r.output;
    }
    EXPECT_TRUE(Walk(ReadBytes(work_ / "Talvrex.cat")).hasSigner);
    // The digest leaves the embedded signature out, so the catalog covers
    // the image before it was signed as well.
    const Outcome unsignedImage = Verify(Q(work_ / "Talvrex.unsigned.sys") + " -catalog " + Cat());
    EXPECT_EQ(unsignedImage.code, 0) << unsignedImage.output;
    const Outcome r = Sh(std::string(MAKECAT_PATH) + " --check " + Cat() + " " + Q(work_ / "Talvrex.unsigned.sys") + " " +
                     Q(work_ / "Talvrex.inf"));
    EXPECT_EQ(r.code, 1) << "listed as Talvrex.sys, not Talvrex.unsigned.sys\n" << r.output;
  }
}

TEST_F(Signing, ChangedFilesAndForeignCatalogsFail) {
  ASSERT_NO_FATAL_FAILURE(SignPackage("-certs " + Q(Cert("cert.pem")) + " -key " + Q(Cert("key.pem"))));
  // One byte of code changed: neither the embedded signature nor the catalog holds.
  Bytes tampered = ReadBytes(work_ / "Talvrex.sys");
  tampered[tampered.size() / 2] ^= 0x55;
  fs::create_directories(work_ / "t");
  const std::string tamperedSys = Q(work_ / "t" / "Talvrex.sys");
  WriteBytes(work_ / "t" / "Talvrex.sys", tampered);
  EXPECT_EQ(Verify(tamperedSys + " -catalog " + Cat()).code, 1);
  EXPECT_EQ(Verify(tamperedSys).code, 1);
  const std::string check = std::string(MAKECAT_PATH) + " --check " + Cat() + " ";
  EXPECT_EQ(Sh(check + Sys() + " " + Q(work_ / "Talvrex.inf")).code, 0);
  EXPECT_EQ(Sh(check + tamperedSys + " " + Q(work_ / "Talvrex.inf")).code, 1);

  // The INF, which osslsigncode cannot check, changed by one character.
  std::string inf;
  for (uint8_t b : ReadBytes(work_ / "Talvrex.inf")) inf += static_cast<char>(b);
  inf.replace(inf.find("StartType     = 3"), 17, "StartType     = 2");
  WriteBytes(work_ / "t" / "Talvrex.inf", Bytes(inf.begin(), inf.end()));
  EXPECT_EQ(Sh(check + Sys() + " " + Q(work_ / "t" / "Talvrex.inf")).code, 1);

  // Another product's catalog does not list this image.
  const std::string other = Q(fs::path(PACKAGE_DIR) / "Vinsko" / "Vinsko.cat");
  const Outcome r = Verify(Sys() + " -catalog " + other);
  EXPECT_NE(r.code, 0) << r.output;
  // An unsigned catalog is no signature at all to osslsigncode (hence the DER walk above).
  EXPECT_NE(Verify(Q(work_ / "unsigned.cat")).code, 0);
}

// makecat --check: the catalog must list exactly the given files.
TEST_F(Signing, CheckWantsExactlyTheGivenFiles) {
  const std::string makecat = MAKECAT_PATH, sys = Q(work_ / "Talvrex.unsigned.sys"), inf = Q(work_ / "Talvrex.inf");
  ASSERT_EQ(Sh(makecat + " --out " + Q(work_ / "both.cat") + " " + sys + " " + inf).code, 0);
  ASSERT_EQ(Sh(makecat + " --out " + Q(work_ / "image.cat") + " " + sys).code, 0);
  struct Case {
    const char* what;
    std::string catalog, files;
    int code;
  } cases[] = {
      {"both files", "both.cat", sys + " " + inf, 0},
      {"a member too many", "both.cat", sys, 1},
      {"a file not listed", "image.cat", sys + " " + inf, 1},
      {"not a catalog", "Talvrex.inf", sys, 1},
      {"no such file", "both.cat", Q(work_ / "missing.sys"), 2},
  };
  for (const Case& c : cases) {
    const Outcome r = Sh(makecat + " --check " + Q(work_ / c.catalog) + " " + c.files);
    EXPECT_EQ(r.code, c.code) << c.what << "\n" << r.output;
  }
  EXPECT_EQ(Sh(makecat + " --out " + Q(work_ / "x.cat") + " --os 11_ARM64 " + sys).code, 1) << "unknown Windows version";
}

// The Authenticode digest makecat records is the one osslsigncode computes
// when it verifies an embedded signature made with the same algorithm.
TEST_F(Signing, AuthenticodeDigestIsOsslsigncodes) {
  const Bytes image = ReadBytes(GOOD_IMAGE);
  for (const char* algorithm : {"sha1", "sha256"}) {
    SCOPED_TRACE(algorithm);
    const fs::path signedImage = work_ / (std::string(algorithm) + ".sys");
    Outcome r = Sh(Tool() + " sign -certs " + Q(Cert("cert.pem")) + " -key " + Q(Cert("key.pem")) + " -h " + algorithm +
               " -in " + Q(GOOD_IMAGE) + " -out " + Q(signedImage));
    ASSERT_EQ(r.code, 0) << r.output;
    r = Verify(Q(signedImage));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.output, m, std::regex("Calculated message digest *: *([0-9A-F]+)"))) << r.output;
    std::string error;
    EXPECT_EQ(packaging::Hex(packaging::MemberDigest(image, packaging::MemberKind::kPeImage, algorithm, &error)), m[1]);
    EXPECT_EQ(packaging::Hex(packaging::MemberDigest(ReadBytes(signedImage), packaging::MemberKind::kPeImage,
                                                     algorithm, &error)),
              m[1]);
  }
}

// Images the digest refuses rather than hash wrongly.
TEST(AuthenticodeDigest, RefusesMalformedImages) {
  const Bytes good = ReadBytes(GOOD_IMAGE);
  auto withCertificateTable = [&](uint32_t offset, uint32_t size) {
    Bytes b = good;
    const size_t optional = (b[0x3C] | b[0x3D] << 8) + 24;
    const size_t entry = optional + 112 + 8 * 4;
    for (int i = 0; i < 4; ++i) {
      b[entry + i] = static_cast<uint8_t>(offset >> (8 * i));
      b[entry + 4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    return b;
  };
  const uint32_t n = static_cast<uint32_t>(good.size());
  struct Case {
    const char* what;
    Bytes image;
    std::string error;
  } cases[] = {
      {"not a PE image", Bytes(good.begin() + 2, good.end()), "not a PE image"},
      {"table past the end", withCertificateTable(n - 8, 16), "certificate table outside the file"},
      {"data after the table", withCertificateTable(n - 16, 8), "data after the certificate table"},
      {"table in the headers", withCertificateTable(16, n - 16), "certificate table outside the file"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_TRUE(packaging::MemberDigest(c.image, packaging::MemberKind::kPeImage, "sha256", &error).empty()) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
  std::string error;
  EXPECT_EQ(packaging::KindOf(Bytes(good.begin() + 2, good.end())), packaging::MemberKind::kFlat);
  EXPECT_EQ(packaging::MemberDigest(withCertificateTable(n - 8, 8), packaging::MemberKind::kPeImage, "sha256", &error),
            packaging::MemberDigest(Bytes(good.begin(), good.end() - 8), packaging::MemberKind::kPeImage, "sha256",
                                    &error))
      << "a certificate table is left out of the digest";
}

}  // namespace
