// makecat: builds the catalog (.cat) of a driver package on Linux, lists
// one, or checks one against the files it names.
//
//   makecat --out P.cat [--os 10_X64[,6_3_X64...]] [--hwid ID]... [--time UNIX-SECONDS] FILE...
//   makecat --list P.cat
//   makecat --check P.cat FILE...
//
// --out writes the catalog unsigned; `osslsigncode sign -in P.cat -out ...`
// signs it. A file that is a PE image is listed by its Authenticode digest,
// any other by the digest of its bytes; each under SHA-256 and SHA-1.
// --time sets the catalog's effective date (default: SOURCE_DATE_EPOCH, else
// now). --check reads the catalog back and recomputes every digest: each
// file must be listed, under both digests, with its name, and nothing else
// may be; it prints only what is wrong. Exit status: 0 success, 1 a check
// failed or a file is malformed, 2 bad arguments or an unreadable file.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "catalog.h"

namespace {

int Usage() {
  std::cerr << "usage: makecat --out CATALOG [--os LIST] [--hwid ID]... [--time SECONDS] FILE...\n"
               "       makecat --list CATALOG\n"
               "       makecat --check CATALOG FILE...\n";
  return 2;
}

bool Read(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    if (!part.empty()) out.push_back(part);
  }
  return out;
}

int List(const std::string& path) {
  std::vector<uint8_t> der;
  if (!Read(path, &der)) {
    std::cerr << "makecat: cannot read " << path << "\n";
    return 2;
  }
  std::string error;
  auto catalog = packaging::ReadCatalog(der, &error);
  if (!catalog) {
    std::cerr << "makecat: " << path << ": " << error << "\n";
    return 1;
  }
  std::cout << path << ": " << (catalog->signedByAnyone ? "signed" : "unsigned") << ", effective "
            << catalog->effectiveDate << ", member list " << catalog->subjectAlgorithm << "\n";
  for (const auto& [name, value] : catalog->attributes) std::cout << "  " << name << " = " << value << "\n";
  for (const auto& m : catalog->members) {
    std::cout << "  " << m.file << "  " << m.digestAlgorithm << " " << packaging::Hex(m.digest) << "  OSAttr "
              << m.osAttr << "  " << (m.subjectGuid == "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}" ? "PE image" : "flat")
              << "\n";
  }
  return 0;
}

int Check(const std::string& path, const std::vector<std::string>& files) {
  std::vector<uint8_t> der;
  if (!Read(path, &der)) {
    std::cerr << "makecat: cannot read " << path << "\n";
    return 2;
  }
  std::string error;
  auto catalog = packaging::ReadCatalog(der, &error);
  if (!catalog) {
    std::cerr << "makecat: " << path << ": " << error << "\n";
    return 1;
  }
  int failures = 0;
  auto fail = [&](const std::string& what) {
    std::cerr << "makecat: " << path << ": " << what << "\n";
    ++failures;
  };
  std::set<std::string> expected;
  for (const auto& file : files) {
    std::vector<uint8_t> bytes;
    if (!Read(file, &bytes)) {
      std::cerr << "makecat: cannot read " << file << "\n";
      return 2;
    }
    const std::string name = std::filesystem::path(file).filename().string();
    for (const char* algorithm : {"sha256", "sha1"}) {
      const auto digest = packaging::MemberDigest(bytes, packaging::KindOf(bytes), algorithm, &error);
      if (digest.empty()) {
        fail(file + ": " + error);
        continue;
      }
      expected.insert(packaging::Hex(digest));
      bool found = false;
      for (const auto& m : catalog->members) {
        if (m.digestAlgorithm == algorithm && m.digest == digest) {
          found = true;
          if (m.file != name) fail(name + " is listed as " + m.file);
          if (m.tag != packaging::Hex(digest)) fail(name + ": tag " + m.tag + " is not its digest");
        }
      }
      if (!found) fail(name + ": no " + algorithm + " member with its digest " + packaging::Hex(digest));
    }
  }
  for (const auto& m : catalog->members) {
    if (!expected.count(packaging::Hex(m.digest))) fail("member " + m.file + " (" + m.tag + ") is not a given file");
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, list, check, os = "10_X64";
  std::vector<std::string> hwids, files;
  int64_t time = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::exit(Usage());
      }
      return argv[++i];
    };
    if (arg == "--out") {
      out = value();
    } else if (arg == "--list") {
      list = value();
    } else if (arg == "--check") {
      check = value();
    } else if (arg == "--os") {
      os = value();
    } else if (arg == "--hwid") {
      hwids.push_back(value());
    } else if (arg == "--time") {
      const std::string text = value();
      char* end = nullptr;
      time = std::strtoll(text.c_str(), &end, 10);
      if (end == text.c_str() || *end != 0 || time < 0) return Usage();
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage();
    } else {
      files.push_back(arg);
    }
  }
  if (!list.empty()) return out.empty() && check.empty() && files.empty() ? List(list) : Usage();
  if (!check.empty()) return out.empty() && !files.empty() ? Check(check, files) : Usage();
  if (out.empty() || files.empty()) return Usage();

  if (time < 0) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    time = epoch != nullptr ? std::strtoll(epoch, nullptr, 10) : static_cast<int64_t>(std::time(nullptr));
  }
  packaging::CatalogInput input;
  input.osVersions = SplitCommas(os);
  input.hardwareIds = hwids;
  input.effectiveTime = time;
  std::string error;
  for (const auto& file : files) {
    std::vector<uint8_t> bytes;
    if (!Read(file, &bytes)) {
      std::cerr << "makecat: cannot read " << file << "\n";
      return 2;
    }
    packaging::MemberFile member;
    member.name = std::filesystem::path(file).filename().string();
    member.kind = packaging::KindOf(bytes);
    member.sha256 = packaging::MemberDigest(bytes, member.kind, "sha256", &error);
    member.sha1 = packaging::MemberDigest(bytes, member.kind, "sha1", &error);
    if (member.sha256.empty() || member.sha1.empty()) {
      std::cerr << "makecat: " << file << ": " << error << "\n";
      return 1;
    }
    input.files.push_back(std::move(member));
  }
  const auto der = packaging::BuildCatalog(input, &error);
  if (der.empty()) {
    std::cerr << "makecat: " << error << "\n";
    return 1;
  }
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  if (!file.flush()) {
    std::cerr << "makecat: cannot write " << out << "\n";
    return 2;
  }
  return 0;
}
